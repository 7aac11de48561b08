#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pieces/progress.h"

namespace morcelix {

struct SurveyedPiece {
    std::string path;
    std::int64_t size;
};

// What stands on disk of the set that begins with a given first piece.
struct PieceSetSurvey {
    // The pieces from the first on, in number order, up to the first missing number.
    std::vector<SurveyedPiece> pieces;
    std::int64_t totalSize = 0;
    // The first missing piece's path when a later piece of the set exists (the
    // set has a gap); empty when the set simply ends.
    std::string gapAt;
};

// Walks the set's names from `firstPiece` while they exist, then looks beside
// them for any later piece. Reads, opens and changes nothing. Raises
// ENotFirstPiece when `firstPiece` does not end in ".001".
PieceSetSurvey SurveyPieceSet(const std::string& firstPiece);

struct JoinOptions {
    // Leaves every piece in place instead of deleting it once appended.
    bool keepPieces = false;
};

// Rebuilds `destination` from the set that begins with `firstPiece`: the set is
// surveyed first, and a gap raises EMissingPiece before anything is created,
// read or deleted. Then the destination is created (emptied if it exists) and
// the pieces are appended in number order, each deleted once all its bytes are
// appended (a failed deletion is ignored) unless `options` keeps them. Progress is set after each
// piece to the share of the set's bytes appended; it is not reset at the start.
//
// On a failure of the file layer the destination holds what was appended, the
// appended pieces are gone and the failing piece and every later one remain,
// so the source can still be rebuilt from both.
void Join(const std::string& firstPiece, const std::string& destination, ProgressSink& progress,
          const JoinOptions& options = {});

}  // namespace morcelix
