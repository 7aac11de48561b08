// The check of what a join is to give against the set's checksum file, made
// before the join touches anything: a set that is not what its checksum file
// says is refused whole, none of its pieces deleted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_set.h"

namespace morcelix {

// What the checksum file says of the set's bytes.
struct SetSumsCheck {
    // With a line for each piece: the numbers of those whose bytes are not
    // their line's, in order (only the first, when asked to stop there).
    std::vector<std::uint64_t> damaged;
    // Whether the whole file has the size and the sum that the file gives,
    // when it gives them (true otherwise).
    bool wholeMatches = true;
};

// Reads the set's bytes as a join would give them and checks them against
// `sums`: the first `kept` bytes of `destination` from its start (what a
// resumed join keeps of the set, whole pieces of the survey's size; null when
// `kept` is 0), then `pieces` in order, each checked unchanged since the
// survey (EChangedDuringJoin). The sizes are compared before anything is
// read. With `stopAtFirstDamaged`, nothing more is read once a piece is found
// damaged. `afterBlock` follows each block read, and may raise to stop.
// Raises the file layer's failures.
SetSumsCheck CheckSetAgainstSums(const PieceSetSurvey& survey, const Manifest& sums,
                                 TStream* destination, std::int64_t kept,
                                 std::span<const SurveyedPiece> pieces, bool stopAtFirstDamaged,
                                 const BlockObserver& afterBlock);

// The same, as a join needs it: raises EDamaged naming the first piece that
// is not its line's (`destination`'s name for those it holds), or naming the
// destination (the set's name when there is none) when the whole file is not
// the file's; EBadManifest when every piece fits its line but the whole file
// does not fit its own, so that the checksum file contradicts itself.
void RequireSetMatchesSums(const PieceSetSurvey& survey, const Manifest& sums, TStream* destination,
                           const std::string& destinationName, std::int64_t kept,
                           std::span<const SurveyedPiece> pieces, const BlockObserver& afterBlock);

}  // namespace morcelix
