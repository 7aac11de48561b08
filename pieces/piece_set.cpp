#include "pieces/piece_set.h"

#include <algorithm>
#include <utility>

#include "pieces/checksum_files.h"
#include "pieces/failure.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

// The pieces beside `base` from number 2 on, in number order.
std::vector<SurveyedPiece> LaterPieces(const std::string& base) {
    std::vector<std::uint64_t> numbers;
    ForEachPieceNameBeside(base, [&](std::uint64_t number, const std::string&) {
        if (number >= 2) {
            numbers.push_back(number);
        }
    });
    std::sort(numbers.begin(), numbers.end());
    std::vector<SurveyedPiece> pieces;
    for (const std::uint64_t number : numbers) {
        if (const std::optional<FileFacts> facts = RegularFileFacts(PieceName(base, number))) {
            pieces.push_back({number, *facts});
        }
    }
    return pieces;
}

template <typename Failure>
std::exception_ptr Refusal(const std::string& argument) {
    return std::make_exception_ptr(Failure(argument));
}

// The first refusal the pieces' names and sizes give: a gap, a piece the
// manifest lists missing or one it does not list, then a size that does not
// fit the set.
std::exception_ptr PiecesRefusal(const PieceSetSurvey& survey, const std::string& picked) {
    const std::uint64_t missing = survey.firstNumber + survey.pieces.size();
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
    // Every piece present but the highest has the set's piece size; the highest
    // is no larger. Without held pieces, the first one joined sets the size.
    const std::size_t count = survey.held.size() + survey.pieces.size();
    const auto present = [&](std::size_t i) -> const SurveyedPiece& {
        return i < survey.held.size() ? survey.held[i] : survey.pieces[i - survey.held.size()];
    };
    for (std::size_t i = 1; i < count; ++i) {
        const std::int64_t size = present(i).facts.size;
        if (i + 1 < count ? size != survey.pieceSize : size > survey.pieceSize) {
            return Refusal<EWrongSize>(survey.PathOf(present(i)));
        }
    }
    return nullptr;
}

// Whether the destination of a resumed join can hold the pieces gone: with the
// piece size known, at least their bytes and at most the whole file (exactly
// as many pieces as the manifest lists, when every piece left is held); with
// only the last piece left, as many pieces at least as large as it.
bool DestinationFits(const PieceSetSurvey& survey) {
    const std::int64_t length = survey.destination->size;
    const auto gone = static_cast<std::int64_t>(survey.firstNumber - 1);
    if (survey.pieces.empty()) {
        if (survey.PieceSums()) {
            return length >= (gone - 1) * survey.pieceSize && length <= gone * survey.pieceSize;
        }
        // A shorter piece is the set's last: the destination ends with it.
        const SurveyedPiece& last = survey.held.back();
        return last.facts.size == survey.pieceSize ||
               length ==
                   static_cast<std::int64_t>(last.number - 1) * survey.pieceSize + last.facts.size;
    }
    if (survey.joined) {
        return length >= *survey.joined && length - *survey.joined <= survey.PiecesSize();
    }
    const std::int64_t smallest = std::max<std::int64_t>(survey.pieces.back().facts.size, 1);
    return length / gone >= smallest;
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

// EMissingEnd when the last piece known is as large as the others, naming
// the next one: the last to append, or with none left to append, the last
// held when the destination ends with it.
std::exception_ptr MissingEnd(const PieceSetSurvey& survey, const std::string& picked) {
    if (survey.pieceSize == 0) {
        return nullptr;  // one piece alone tells nothing of the set's size
    }
    std::uint64_t number = 0;
    const SurveyedPiece* last = nullptr;
    if (!survey.pieces.empty()) {
        if (survey.pieces.size() + survey.held.size() + (survey.firstNumber - 1) < 2) {
            return nullptr;
        }
        number = survey.firstNumber + survey.pieces.size() - 1;
        last = &survey.pieces.back();
    } else {
        const SurveyedPiece& held = survey.held.back();
        const auto end = static_cast<std::int64_t>(held.number) * survey.pieceSize;
        if (survey.destination->size != end) {
            return nullptr;
        }
        number = held.number;
        last = &held;
    }
    if (last->facts.size != survey.pieceSize) {
        return nullptr;
    }
    return std::make_exception_ptr(
        EMissingEnd(survey.PathOf(*last), SiblingPieceName(picked, number + 1)));
}

// Takes the pieces of a resumed join from `later`, the pieces present beyond
// the first: those the destination holds whole at their place (by their
// sizes) are held, the rest, from the first that it does not, are to join.
// With a single piece left, its size tells nothing of the set's: it is to join.
void TakeResumedPieces(PieceSetSurvey& survey, std::vector<SurveyedPiece> later) {
    const std::int64_t length = survey.destination->size;
    std::size_t firstToJoin = 0;
    if (later.size() >= 2) {
        survey.pieceSize = later.front().facts.size;
        const auto holds = [&](const SurveyedPiece& piece) {
            const auto before = static_cast<std::int64_t>(piece.number - 1);
            return survey.pieceSize > 0 && before <= length / survey.pieceSize &&
                   before * survey.pieceSize + piece.facts.size <= length;
        };
        while (firstToJoin < later.size() && holds(later[firstToJoin])) {
            survey.held.push_back(later[firstToJoin]);
            ++firstToJoin;
        }
    }
    if (firstToJoin == later.size()) {
        // Nothing left to append: the pieces gone are all the set's.
        survey.firstNumber = survey.PieceSums() ? survey.PieceSums()->pieces.size() + 1
                                                : survey.held.back().number + 1;
        survey.joined = length;
        return;
    }
    survey.firstNumber = later[firstToJoin].number;
    for (std::size_t i = firstToJoin;
         i < later.size() && later[i].number == survey.firstNumber + (i - firstToJoin); ++i) {
        survey.pieces.push_back(later[i]);
    }
    if (later.size() >= 2) {
        survey.joined = static_cast<std::int64_t>(survey.firstNumber - 1) * survey.pieceSize;
    }
}

// With a whole file's size from the checksum file, a set whose size is known
// (not a resume with only its last piece left) must have it: one that is
// shorter and ends on a full piece lacks the next one; any other is damaged.
std::exception_ptr WholeSizeRefusal(const PieceSetSurvey& survey, const std::string& picked,
                                    const std::string& destination) {
    const Manifest* sums = survey.WholeSum();
    if (sums == nullptr || !sums->size || *sums->size == survey.totalSize ||
        (survey.Resumes() && !survey.joined)) {
        return nullptr;
    }
    if (*sums->size > survey.totalSize && !survey.pieces.empty() &&
        survey.pieces.back().facts.size == survey.pieceSize) {
        return Refusal<EMissingPiece>(
            SiblingPieceName(picked, survey.firstNumber + survey.pieces.size()));
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

void PieceSetSurvey::Refuse(bool acceptFullLastPiece) const {
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    if (missingEnd && !acceptFullLastPiece) {
        std::rethrow_exception(missingEnd);
    }
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

// What stands of a set, enough to tell how a join starts: for a resume, the
// destination and the pieces beyond the first.
struct FirstLook {
    JoinStart start = JoinStart::None;
    std::optional<FileFacts> destination;
    std::vector<SurveyedPiece> later;
};

FirstLook LookAtSet(const std::string& picked, const std::string& destination) {
    FirstLook look;
    if (OwnPieceNumber(picked) == 0) {
        return look;
    }
    if (FileExists(SiblingPieceName(picked, 1))) {
        look.start = JoinStart::Fresh;
        return look;
    }
    look.destination = RegularFileFacts(destination);
    if (look.destination) {
        look.later = LaterPieces(ChangeExtension(picked, ""));
    }
    if (!look.later.empty()) {
        look.start = JoinStart::Resume;
    }
    return look;
}

}  // namespace

JoinStart StartOf(const std::string& picked, const std::string& destination) {
    return LookAtSet(picked, destination).start;
}

PieceSetSurvey SurveyPieceSet(const std::string& picked, const std::string& destination) {
    const std::uint64_t pickedNumber = OwnPieceNumber(picked);
    if (pickedNumber == 0) {
        throw ENotFirstPiece(picked);
    }
    PieceSetSurvey survey;
    survey.base = ChangeExtension(picked, "");
    survey.manifest = ReadChecksumFile(survey.base);
    FirstLook look = LookAtSet(picked, destination);
    if (look.start == JoinStart::None) {
        if (pickedNumber == 1) {
            throw EFileNotFound();
        }
        throw ENotFirstPiece(picked);
    }
    if (look.start == JoinStart::Fresh) {
        if (pickedNumber != 1) {
            throw ENotFirstPiece(picked);
        }
        // As many as there are names of pieces, at most: made room for once,
        // a set of many pieces is not copied as it grows.
        std::size_t names = 0;
        ForEachPieceNameBeside(survey.base, [&](std::uint64_t, const std::string&) { ++names; });
        survey.pieces.reserve(names);
        for (std::uint64_t number = 1;; ++number) {
            const std::optional<FileFacts> facts =
                RegularFileFacts(SiblingPieceName(picked, number));
            if (!facts) {
                break;
            }
            survey.pieces.push_back({number, *facts});
        }
        if (survey.pieces.empty()) {
            throw EFileNotFound();  // gone between the first look and the walk
        }
        survey.pieceSize = survey.pieces.front().facts.size;
    } else {
        survey.destination = look.destination;
        TakeResumedPieces(survey, std::move(look.later));
        const std::int64_t length = survey.destination->size;
        survey.totalSize = survey.joined.value_or(
            length - std::min(length, survey.pieces.empty() ? 0 : survey.pieces.back().facts.size));
    }
    survey.totalSize += survey.PiecesSize();

    survey.refusal = PiecesRefusal(survey, picked);
    if (!survey.refusal && survey.Resumes() && !DestinationFits(survey)) {
        const std::int64_t length = survey.destination->size;
        if (survey.joined && length < *survey.joined && survey.pieceSize > 0) {
            // The destination ends before the first piece left: those between are gone.
            survey.refusal = Refusal<EMissingPiece>(SiblingPieceName(
                picked, static_cast<std::uint64_t>(length / survey.pieceSize) + 1));
        } else {
            survey.refusal = Refusal<ENotFirstPiece>(picked);
        }
    }
    if (!survey.refusal && IsOneOfThePieces(survey, destination)) {
        survey.refusal = Refusal<EDestinationIsPiece>(destination);
    }
    if (!survey.refusal) {
        survey.refusal = WholeSizeRefusal(survey, picked, destination);
    }
    if (!survey.manifest) {
        survey.missingEnd = MissingEnd(survey, picked);
    }
    return survey;
}

std::optional<std::string> ChangedSince(const PieceSetSurvey& survey,
                                        const std::string& destination) {
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
    if (survey.Resumes() && RegularFileFacts(destination) != survey.destination) {
        return destination;
    }
    if (const std::optional<Manifest> sums = ReadChecksumFile(survey.base);
        sums != survey.manifest) {
        return survey.manifest ? survey.manifest->path : sums->path;
    }
    return std::nullopt;
}

}  // namespace morcelix
