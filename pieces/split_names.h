// What stands under the names a split writes, looked at before it writes
// anything: a split replaces only what an earlier split of the same source
// wrote there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pieces/file_stream.h"

namespace morcelix {

// The source of a split, as far as its names' check needs it.
struct SplitSource {
    // Its bytes from the start, when known beforehand (a file): a piece that
    // holds them at its place is this source's. Null for a stream.
    TStream* bytes = nullptr;
    std::int64_t length = 0;
    // The file it is, when it is one (a stream may be a file too).
    std::optional<FileIdentity> identity;
};

// Checks, before a split of `source` into `count` pieces of `pieceSize` bytes
// named after `piecesAt` writes anything, every file under the names it will
// write or delete: the pieces (those beyond `count` too) and the checksum files.
// Each must be the split's own: a piece of an earlier split of the same
// source, no larger than it would be now and holding the beginning of the
// source's bytes at its place (all of them, or fewer when that split was
// stopped), so that replacing it loses nothing; a checksum file that reads as one
// about a set of this name (it goes with the set it described). A
// stream's split knows no bytes beforehand: nothing is its own. Anything else
// raises EDestinationExists naming it, unless `replaceOthers`; then links
// among them are removed (the link, never its target) so that the new files
// take their place. Raises EDestinationIsPiece when the source file is one of
// them, and EInputIsPiece when the stream is, whatever `replaceOthers`. Moves
// the source's position. `count` 0: not known (a stream).
void RequireOwnNames(const std::string& piecesAt, std::uint64_t count, std::int64_t pieceSize,
                     const SplitSource& source, bool replaceOthers);

}  // namespace morcelix
