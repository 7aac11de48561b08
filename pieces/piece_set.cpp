#include "pieces/piece_set.h"

#include <algorithm>
#include <map>
#include <utility>

#include "pieces/checksum_files.h"
#include "pieces/failure.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

template <typename Failure>
std::exception_ptr Refusal(const std::string& argument) {
    return std::make_exception_ptr(Failure(argument));
}

// The first refusal a fresh join's pieces give: a piece beyond a gap, a piece
// the manifest lists missing or one it does not list, then a size that does
// not fit the set: every piece but the last as large as the first, the last
// no larger.
std::exception_ptr PiecesRefusal(const PieceSetSurvey& survey, const std::string& picked) {
    const std::uint64_t missing = survey.pieces.size() + 1;
    bool laterPiece = false;
    ForEachPieceNameBeside(survey.base, [&](std::uint64_t number, const std::string& piece) {
        laterPiece = laterPiece || (number > missing && FileExists(piece));
    });
    if (laterPiece) {
        return Refusal<EMissingPiece>(SiblingPieceName(picked, missing));
    }
    if (const Manifest* sums = survey.PieceSums()) {
        const std::uint64_t listed = sums->pieces.size();
        if (missing <= listed) {
            return Refusal<EMissingPiece>(SiblingPieceName(picked, missing));
        }
        if (missing > listed + 1) {
            return Refusal<ENotInManifest>(SiblingPieceName(picked, listed + 1));
        }
    }
    for (std::size_t i = 1; i < survey.pieces.size(); ++i) {
        const std::int64_t size = survey.pieces[i].facts.size;
        if (i + 1 < survey.pieces.size() ? size != survey.pieceSize : size > survey.pieceSize) {
            return Refusal<EWrongSize>(survey.PathOf(survey.pieces[i]));
        }
    }
    return nullptr;
}

// Whether `destination` is one of the pieces under another name (a link).
bool IsOneOfThePieces(const PieceSetSurvey& survey, const std::string& destination) {
    const std::optional<FileFacts> facts = RegularFileFacts(destination);
    if (!facts) {
        return false;
    }
    const auto same = [&](const SurveyedPiece& piece) {
        return piece.facts.identity == facts->identity;
    };
    return std::any_of(survey.pieces.begin(), survey.pieces.end(), same) ||
           std::any_of(survey.held.begin(), survey.held.end(), same);
}

// A fresh join's last piece when it is as large as the others.
std::optional<std::string> FullLastPiece(const PieceSetSurvey& survey) {
    if (survey.pieces.size() < 2 || survey.pieces.back().facts.size != survey.pieceSize) {
        return std::nullopt;
    }
    return survey.PathOf(survey.pieces.back());
}

// Takes what stands of a join that `record` describes, stopped part-way: the
// pieces from the lowest number from which every piece up to the last stands
// are to append, those below it still standing are held (the destination has
// their bytes: they were appended, but could not be deleted). Every piece
// must have the size the record gives it, and the destination must hold the
// bytes of the pieces gone, and no more than the whole file.
void TakeRecordedPieces(PieceSetSurvey& survey, const JoinRecord& record, const std::string& picked,
                        const std::string& destination) {
    survey.pieceSize = record.pieceSize;
    survey.totalSize = record.total;
    std::map<std::uint64_t, SurveyedPiece> standing;
    std::optional<std::string> stranger, link;
    ForEachPieceNameBeside(survey.base, [&](std::uint64_t number, const std::string& path) {
        if (IsLink(path)) {
            link = link.value_or(path);
        } else if (const std::optional<FileFacts> facts = RegularFileFacts(path)) {
            if (number > record.pieces) {
                stranger = stranger.value_or(path);
            }
            standing[number] = {number, *facts};
        }
    });
    if (link) {
        survey.refusal = Refusal<ENotARegularFile>(*link);
        return;
    }
    if (stranger) {
        survey.refusal = std::make_exception_ptr(ENotInJoin(*stranger, destination));
        return;
    }
    for (const auto& [number, piece] : standing) {
        if (piece.facts.size != record.SizeOf(number)) {
            survey.refusal = Refusal<EWrongSize>(survey.PathOf(piece));
            return;
        }
    }
    std::uint64_t first = record.pieces + 1;
    while (standing.contains(first - 1)) {
        --first;
    }
    survey.firstNumber = first;
    survey.joined = first > record.pieces ? record.total
                                          : static_cast<std::int64_t>(first - 1) * record.pieceSize;
    for (const auto& [number, piece] : standing) {
        (number < first ? survey.held : survey.pieces).push_back(piece);
    }
    if (const Manifest* sums = survey.PieceSums(); sums && sums->pieces.size() != record.pieces) {
        survey.refusal = Refusal<EBadManifest>(sums->path);
        return;
    }
    survey.working = record.working;
    const std::string& named =
        SamePlace(record.working, destination) ? destination : record.working;
    survey.destination = RegularFileFacts(record.working);
    if (!survey.destination || IsLink(record.working)) {
        // The pieces gone were in it.
        survey.refusal = Refusal<EMissingPiece>(named);
        return;
    }
    const std::int64_t length = survey.destination->size;
    if (length < survey.joined) {
        // It ends before the first piece left: the bytes of those between are gone.
        survey.refusal = Refusal<EMissingPiece>(SiblingPieceName(
            picked,
            static_cast<std::uint64_t>(length / std::max<std::int64_t>(record.pieceSize, 1)) + 1));
    } else if (length > record.total) {
        survey.refusal = Refusal<EDamaged>(named);
    }
}

// With a whole file's size from the checksum file, the set must have it: one
// that is shorter and ends on a full piece lacks the next one; any other is
// damaged.
std::exception_ptr WholeSizeRefusal(const PieceSetSurvey& survey, const std::string& picked,
                                    const std::string& destination) {
    const Manifest* sums = survey.WholeSum();
    if (sums == nullptr || !sums->size || *sums->size == survey.totalSize) {
        return nullptr;
    }
    if (*sums->size > survey.totalSize && !survey.Resumes() &&
        survey.pieces.back().facts.size == survey.pieceSize) {
        return Refusal<EMissingPiece>(SiblingPieceName(picked, survey.pieces.size() + 1));
    }
    return Refusal<EDamaged>(destination.empty() ? survey.base : destination);
}

}  // namespace

std::string PieceSetSurvey::PathOf(const SurveyedPiece& piece) const {
    return PieceName(base, piece.number);
}

const Manifest* PieceSetSurvey::PieceSums() const {
    return manifest && manifest->VouchesForPieces() ? &*manifest : nullptr;
}

const Manifest* PieceSetSurvey::WholeSum() const {
    return manifest && !manifest->VouchesForPieces() ? &*manifest : nullptr;
}

std::int64_t PieceSetSurvey::PiecesSize() const {
    std::int64_t size = 0;
    for (const SurveyedPiece& piece : pieces) {
        size += piece.facts.size;
    }
    return size;
}

void PieceSetSurvey::Refuse() const {
    if (refusal) {
        std::rethrow_exception(refusal);
    }
}

std::unique_ptr<TFileStream> OpenUnchanged(const PieceSetSurvey& survey,
                                           const SurveyedPiece& piece) {
    const std::string path = survey.PathOf(piece);
    std::unique_ptr<TFileStream> input = TFileStream::OpenIfAvailable(path, OpenMode::Read);
    if (!input) {
        // Gone or replaced is a change; still there as it was, it is locked.
        if (RegularFileFacts(path) != piece.facts) {
            throw EChangedDuringJoin(path);
        }
        throw EFOpenError(path);
    }
    if (input->OpenedFacts() != piece.facts) {
        throw EChangedDuringJoin(path);
    }
    return input;
}

void ForEachPieceNameBeside(const std::string& base,
                            const std::function<void(std::uint64_t, const std::string&)>& visit) {
    ForEachEntryBeside(base, [&](const std::string& entry) {
        if (const std::uint64_t number = PieceNumberOf(entry, base); number != 0) {
            visit(number, entry);
        }
    });
}

void RemovePiecesAfter(const std::string& base, std::uint64_t count, ProgressSink& progress) {
    std::vector<std::string> stale;
    ForEachPieceNameBeside(base, [&](std::uint64_t number, const std::string& piece) {
        if (number > count && FileExists(piece)) {
            stale.push_back(piece);
        }
    });
    for (const std::string& piece : stale) {
        if (RemoveFile(piece)) {
            progress.FileDeleted(piece);
        }
    }
}

namespace {

// Whether the set's record says that a join into `destination` is under way.
bool JoinUnderWayInto(const RecordFound& record, const std::string& destination) {
    return record.Join() && !destination.empty() &&
           SamePlace(record.Join()->destination, destination);
}

StartOfJoin StartOf(const std::string& picked, const std::string& destination,
                    const RecordFound& record) {
    const std::uint64_t number = OwnPieceNumber(picked);
    const bool setName = number != 0 || IsRecordName(picked);
    const std::string first = setName ? SiblingPieceName(picked, 1) : PieceName(picked, 1);
    if (FileExists(first)) {
        return {number <= 1 && setName ? JoinStart::Fresh : JoinStart::OtherPiece, first};
    }
    if (setName && JoinUnderWayInto(record, destination)) {
        return {JoinStart::Resume, first};
    }
    return {JoinStart::None, first};
}

}  // namespace

StartOfJoin StartOf(const std::string& picked, const std::string& destination) {
    const std::string base =
        OwnPieceNumber(picked) != 0 || IsRecordName(picked) ? ChangeExtension(picked, "") : picked;
    return StartOf(picked, destination, ReadRecord(base));
}

PieceSetSurvey SurveyPieceSet(const std::string& picked, const std::string& destination) {
    const std::uint64_t pickedNumber = OwnPieceNumber(picked);
    if (pickedNumber == 0 && !IsRecordName(picked)) {
        throw ENotFirstPiece(picked);
    }
    PieceSetSurvey survey;
    survey.base = ChangeExtension(picked, "");
    survey.manifest = ReadChecksumFile(survey.base);
    survey.record = ReadRecord(survey.base);
    const JoinStart start = StartOf(picked, destination, survey.record).start;
    if (start == JoinStart::OtherPiece) {
        throw ENotFirstPiece(picked);
    }
    if (start == JoinStart::None) {
        if (pickedNumber <= 1) {
            throw EFileNotFound();
        }
        throw ENotFirstPiece(picked);
    }
    if (start == JoinStart::Fresh) {
        // As many as there are names of pieces, at most: made room for once,
        // a set of many pieces is not copied as it grows.
        std::size_t names = 0;
        ForEachPieceNameBeside(survey.base, [&](std::uint64_t, const std::string&) { ++names; });
        survey.pieces.reserve(names);
        std::optional<std::string> link;
        for (std::uint64_t number = 1;; ++number) {
            const std::string path = SiblingPieceName(picked, number);
            if (IsLink(path)) {
                link = path;  // its bytes may be anywhere: never joined, never deleted
                break;
            }
            const std::optional<FileFacts> facts = RegularFileFacts(path);
            if (!facts) {
                break;
            }
            survey.pieces.push_back({number, *facts});
        }
        if (link && survey.pieces.empty()) {
            throw ENotARegularFile(*link);
        }
        if (survey.pieces.empty()) {
            throw EFileNotFound();  // gone between the first look and the walk
        }
        survey.pieceSize = survey.pieces.front().facts.size;
        survey.totalSize = survey.PiecesSize();
        survey.destinationIsThisJoins = JoinUnderWayInto(survey.record, destination);
        survey.refusal = link ? Refusal<ENotARegularFile>(*link) : PiecesRefusal(survey, picked);
        if (!survey.manifest) {
            survey.fullLastPiece = FullLastPiece(survey);
        }
    } else {
        TakeRecordedPieces(survey, *survey.record.Join(), picked, destination);
    }
    if (!survey.refusal && IsOneOfThePieces(survey, destination)) {
        survey.refusal = Refusal<EDestinationIsPiece>(destination);
    }
    if (!survey.refusal) {
        survey.refusal = WholeSizeRefusal(survey, picked, destination);
    }
    return survey;
}

std::optional<std::string> ChangedSince(const PieceSetSurvey& survey) {
    for (const std::vector<SurveyedPiece>* pieces : {&survey.held, &survey.pieces}) {
        for (const SurveyedPiece& piece : *pieces) {
            const std::string path = survey.PathOf(piece);
            if (RegularFileFacts(path) != piece.facts) {
                return path;
            }
        }
    }
    const SurveyedPiece* last = !survey.pieces.empty() ? &survey.pieces.back()
                                : !survey.held.empty() ? &survey.held.back()
                                                       : nullptr;
    if (last != nullptr) {
        const std::string next = PieceName(survey.base, last->number + 1);
        if (FileExists(next)) {
            return next;
        }
    }
    if (survey.Resumes() && RegularFileFacts(survey.working) != survey.destination) {
        return survey.working;
    }
    if (const std::optional<Manifest> sums = ReadChecksumFile(survey.base);
        sums != survey.manifest) {
        return survey.manifest ? survey.manifest->path : sums->path;
    }
    if (ReadRecord(survey.base) != survey.record) {
        return RecordPath(survey.base);
    }
    return std::nullopt;
}

}  // namespace morcelix
