#include "pieces/whole_check.h"

namespace morcelix {

bool WholeFileMatches(const PieceSetSurvey& survey, const Manifest& sums, TStream* held,
                      std::int64_t heldSize, std::span<const SurveyedPiece> pieces,
                      const BlockObserver& afterBlock) {
    std::int64_t size = heldSize;
    for (const SurveyedPiece& piece : pieces) {
        size += piece.facts.size;
    }
    if (sums.size && *sums.size != size) {
        return false;
    }
    Digest whole(sums.kind);
    if (heldSize > 0) {
        held->SetPosition(0);
        HashNext(*held, heldSize, {&whole}, afterBlock);
    }
    for (const SurveyedPiece& piece : pieces) {
        TFileStream input(survey.PathOf(piece), OpenMode::Read);
        HashNext(input, piece.facts.size, {&whole}, afterBlock);
    }
    return whole.HexDigest() == sums.whole;
}

}  // namespace morcelix
