// What a split in place may leave at any moment, checked against the source.
#pragma once

#include <cstdint>
#include <string>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/support/temp_folder.h"

namespace morcelix::testing {

// "" when the file `source` followed by the pieces beyond its bytes is
// exactly `bytes`, and each piece whose place the file still holds holds the
// beginning of the bytes there (a copy not yet cut off); otherwise what is
// wrong. Pieces of `pieceSize` bytes, beside the file.
inline std::string InPlaceStateFault(const std::string& source, std::int64_t pieceSize,
                                     const std::string& bytes) {
    const bool fileThere = FileExists(source);
    const std::string file = fileThere ? ReadFileBytes(source) : "";
    std::string rebuilt = file;
    const auto count = static_cast<std::uint64_t>(bytes.size()) / pieceSize + 1;
    for (std::uint64_t number = 1; number <= count + 1; ++number) {
        const std::string name = PieceName(source, number);
        if (!FileExists(name)) {
            continue;
        }
        const std::string piece = ReadFileBytes(name);
        const auto offset = static_cast<std::size_t>(number - 1) * pieceSize;
        if (!fileThere || offset >= file.size()) {
            rebuilt += piece;
        } else if (piece.size() > static_cast<std::size_t>(pieceSize) ||
                   file.compare(offset, piece.size(), piece) != 0) {
            return name + " is neither beyond the file nor a copy of its bytes";
        }
    }
    return rebuilt == bytes ? "" : "the file and the pieces beyond it are not the source";
}

}  // namespace morcelix::testing
