#include "pieces/piece_set.h"

#include <algorithm>
#include <limits>

#include "pieces/failure.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

constexpr std::uint64_t kNoPiece = std::numeric_limits<std::uint64_t>::max();

// The lowest number of a piece beside `base` from 2 on; kNoPiece when none.
std::uint64_t FirstLaterPiece(const std::string& base) {
    std::uint64_t lowest = kNoPiece;
    ForEachPieceNameBeside(base, [&](std::uint64_t number, const std::string& piece) {
        if (number >= 2 && number < lowest && FileExists(piece)) {
            lowest = number;
        }
    });
    return lowest;
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
    if (survey.manifest) {
        const std::uint64_t listed = survey.manifest->pieces.size();
        if (missing <= listed) {
            return Refusal<EMissingPiece>(SiblingPieceName(picked, missing));
        }
        if (missing > listed + 1) {
            return Refusal<ENotInManifest>(SiblingPieceName(picked, listed + 1));
        }
    }
    const std::size_t count = survey.pieces.size();
    for (std::size_t i = 1; i < count; ++i) {
        const std::int64_t size = survey.pieces[i].facts.size;
        if (i + 1 < count ? size != survey.pieceSize : size > survey.pieceSize) {
            return Refusal<EWrongSize>(survey.pieces[i].path);
        }
    }
    return nullptr;
}

// Whether the destination of a resumed join can hold the pieces gone: with the
// piece size known, at least their bytes and at most the whole file; with only
// the last piece left, as many pieces at least as large as it.
bool DestinationFits(const PieceSetSurvey& survey) {
    const std::int64_t length = survey.destination->size;
    const auto gone = static_cast<std::int64_t>(survey.firstNumber - 1);
    if (survey.joined) {
        return length >= *survey.joined && length - *survey.joined <= survey.PiecesSize();
    }
    const std::int64_t smallest = std::max<std::int64_t>(survey.pieces.back().facts.size, 1);
    return length / gone >= smallest;
}

}  // namespace

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

void ForEachPieceNameBeside(const std::string& base,
                            const std::function<void(std::uint64_t, const std::string&)>& visit) {
    ForEachEntryBeside(base, [&](const std::string& entry) {
        if (const std::uint64_t number = PieceNumberOf(entry, base); number != 0) {
            visit(number, entry);
        }
    });
}

bool JoinCanResume(const std::string& picked, const std::string& destination) {
    const std::uint64_t number = OwnPieceNumber(picked);
    const std::string base = ChangeExtension(picked, "");
    return number != 0 && !FileExists(SiblingPieceName(picked, 1)) && FileExists(destination) &&
           FirstLaterPiece(base) != kNoPiece;
}

PieceSetSurvey SurveyPieceSet(const std::string& picked, const std::string& destination) {
    const std::uint64_t pickedNumber = OwnPieceNumber(picked);
    if (pickedNumber == 0) {
        throw ENotFirstPiece(picked);
    }
    PieceSetSurvey survey;
    survey.base = ChangeExtension(picked, "");
    survey.manifest = ReadManifest(survey.base);
    if (FileExists(SiblingPieceName(picked, 1))) {
        if (pickedNumber != 1) {
            throw ENotFirstPiece(picked);
        }
    } else {
        survey.destination = RegularFileFacts(destination);
        survey.firstNumber = survey.destination ? FirstLaterPiece(survey.base) : kNoPiece;
        if (survey.firstNumber == kNoPiece) {
            if (pickedNumber == 1) {
                throw EFileNotFound();
            }
            throw ENotFirstPiece(picked);
        }
    }

    for (std::uint64_t number = survey.firstNumber;; ++number) {
        std::string piece = SiblingPieceName(picked, number);
        const std::optional<FileFacts> facts = RegularFileFacts(piece);
        if (!facts) {
            break;
        }
        survey.pieces.push_back({std::move(piece), *facts});
    }
    if (survey.pieces.empty()) {
        throw EFileNotFound();  // gone between the first look and the walk
    }
    const bool lastOnly = survey.Resumes() && survey.pieces.size() == 1;
    survey.pieceSize = lastOnly ? 0 : survey.pieces.front().facts.size;
    if (survey.Resumes() && !lastOnly) {
        survey.joined = static_cast<std::int64_t>(survey.firstNumber - 1) * survey.pieceSize;
    }
    if (survey.Resumes()) {
        const std::int64_t length = survey.destination->size;
        survey.totalSize =
            survey.joined.value_or(length - std::min(length, survey.pieces.back().facts.size));
    }
    survey.totalSize += survey.PiecesSize();

    survey.refusal = PiecesRefusal(survey, picked);
    if (!survey.refusal && survey.Resumes() && !DestinationFits(survey)) {
        survey.refusal = Refusal<ENotFirstPiece>(picked);
    }
    return survey;
}

std::optional<std::string> FirstDifference(const PieceSetSurvey& before,
                                           const PieceSetSurvey& after,
                                           const std::string& destination) {
    const std::size_t common = std::min(before.pieces.size(), after.pieces.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (before.pieces[i] != after.pieces[i]) {
            return before.pieces[i].path;
        }
    }
    if (before.pieces.size() != after.pieces.size() || before.firstNumber != after.firstNumber) {
        const PieceSetSurvey& longer = before.pieces.size() >= after.pieces.size() ? before : after;
        return longer.pieces.empty() ? destination : longer.pieces[common].path;
    }
    if (before.destination != after.destination) {
        return destination;
    }
    if (before.manifest != after.manifest) {
        return ManifestPath(before.base);
    }
    return std::nullopt;
}

}  // namespace morcelix
