// The check of a set against a checksum file that vouches for the whole file
// only (a .crc file, or a list that names the file alone). Such a sum can not
// vouch for a piece before the last one is read: the set is read once, whole,
// and checked before a join touches anything.
#pragma once

#include <cstdint>
#include <span>

#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_set.h"

namespace morcelix {

// Whether the set's bytes have the whole file's size (when `sums` gives it)
// and sum: the first `heldSize` bytes of `held`, from its start (what the
// destination of a resumed join keeps of the set; `held` may be null when
// `heldSize` is 0), then every piece in order. The sizes are compared before
// anything is read. `afterBlock` follows each block read, and may raise to
// stop. Raises the file layer's failures.
bool WholeFileMatches(const PieceSetSurvey& survey, const Manifest& sums, TStream* held,
                      std::int64_t heldSize, std::span<const SurveyedPiece> pieces,
                      const BlockObserver& afterBlock);

}  // namespace morcelix
