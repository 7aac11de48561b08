#include "pieces/join_plan.h"

#include <algorithm>
#include <vector>

#include "pieces/failure.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

constexpr std::int32_t kCompareBlock = 64 << 10;

// Whether the next `count` bytes of `a` and `b`, from their positions, are
// the same; false also when either holds fewer.
bool SameBytes(TStream& a, TStream& b, std::int64_t count) {
    std::vector<char> left(kCompareBlock), right(kCompareBlock);
    while (count > 0) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(count, kCompareBlock));
        if (a.Read(left.data(), block) != block || b.Read(right.data(), block) != block ||
            !std::equal(left.begin(), left.begin() + block, right.begin())) {
            return false;
        }
        count -= block;
    }
    return true;
}

// Whether the bytes of an existing destination are the beginning of the
// set's: a join of this set, stopped or finished, which a fresh join may
// replace. Reads the destination once.
bool IsThisSetsJoin(TStream& output, const PieceSetSurvey& survey) {
    std::int64_t count = output.Size();
    if (count > survey.totalSize) {
        return false;
    }
    output.SetPosition(0);
    for (const SurveyedPiece& piece : survey.pieces) {
        if (count == 0) {
            break;
        }
        const std::int64_t part = std::min(count, piece.facts.size);
        if (!SameBytes(output, *OpenUnchanged(survey, piece), part)) {
            return false;
        }
        count -= part;
    }
    return count == 0;
}

// Whether a fresh join's destination, `output` standing, is another file
// than this set's join (the record's, or one whose bytes begin the set's).
bool IsAnotherFile(TStream& output, const PieceSetSurvey& survey) {
    return !survey.destinationIsThisJoins && !IsThisSetsJoin(output, survey);
}

}  // namespace

JoinQuestions QuestionsOf(const PieceSetSurvey& survey, const std::string& destination) {
    JoinQuestions questions{.fullLastPiece = survey.fullLastPiece};
    if (survey.Resumes()) {
        return questions;
    }
    if (IsLink(destination)) {
        questions.otherFile = destination;  // never followed, replaced as a link
    } else if (const std::unique_ptr<TFileStream> output =
                   TFileStream::OpenIfAvailable(destination, OpenMode::Read);
               output && IsAnotherFile(*output, survey)) {
        questions.otherFile = destination;
    }
    return questions;
}

void RequireConsents(const JoinQuestions& questions, const JoinConsents& consents,
                     const PieceSetSurvey& survey) {
    if (questions.fullLastPiece && !consents.fullLastPiece) {
        throw EMissingEnd(*questions.fullLastPiece,
                          PieceName(survey.base, survey.pieces.back().number + 1));
    }
    if (questions.otherFile && !consents.otherFile) {
        throw EDestinationExists(*questions.otherFile);
    }
}

void RequireRoomForJoin(const PieceSetSurvey& survey, const std::string& destination,
                        bool keepPieces) {
    const std::optional<DiskFacts> disk = DiskFactsOf(destination);
    if (!disk) {
        return;  // a folder that is not there: creating the destination says so
    }
    std::int64_t needed = std::max<std::int64_t>(
        survey.totalSize - std::max<std::int64_t>(FileSize(destination), 0), 0);
    std::int64_t largestPiece = 0;
    bool beside = !keepPieces;
    for (const SurveyedPiece& piece : survey.pieces) {
        largestPiece = std::max(largestPiece, piece.facts.size);
        beside = beside && piece.facts.identity.volume == disk->volume;
    }
    if (beside) {
        needed = std::min(needed, largestPiece);
    }
    RequireRoom(*disk, destination, needed, survey.totalSize);
}

JoinPlan PlanJoin(TFileStream& output, const PieceSetSurvey& survey,
                  const std::string& destination, bool replaceOtherFile) {
    const FileIdentity held = output.Facts().identity;
    for (const SurveyedPiece& piece : survey.pieces) {
        if (piece.facts.identity == held) {
            throw EDestinationIsPiece(destination);
        }
    }
    JoinPlan plan{.start = survey.joined,
                  .append = survey.pieces,
                  .firstNumber = survey.firstNumber,
                  .total = survey.totalSize,
                  .pieceSize = survey.pieceSize};
    if (survey.Resumes()) {
        // A piece still there below the first left must be the one the
        // destination holds at its place; one that is not (changed since,
        // or another file of its name) is no part of this join.
        for (const SurveyedPiece& piece : survey.held) {
            output.SetPosition(static_cast<std::int64_t>(piece.number - 1) * survey.pieceSize);
            if (!SameBytes(output, *OpenUnchanged(survey, piece), piece.facts.size)) {
                throw ENotInJoin(survey.PathOf(piece), destination);
            }
            plan.held.push_back(piece);
        }
    } else if (!output.Created() && IsAnotherFile(output, survey)) {
        if (!replaceOtherFile) {
            throw EDestinationExists(destination);
        }
        plan.replacesAnotherFile = true;
    }
    return plan;
}

}  // namespace morcelix
