#pragma once

#include <cstdint>
#include <string>

#include "pieces/progress.h"

namespace morcelix {

// Cuts `source` into pieces of `pieceSize` bytes beside it (or where `options`
// says), named by PieceName (piece_names.h): length / pieceSize + 1 pieces, all full but the last,
// which holds the rest (empty when the length is a whole multiple). The source is only read.
// Progress goes to 0 first, then to the share of the source read after each piece.
//
// Raises EPieceSizeError for a negative size before anything is opened;
// EZeroDivide (a source that holds bytes) or EInvalidOp (an empty source) for a
// size of 0, before any piece exists; and the file layer's failures. Pieces
// written before a failure stay, the failing one holding what was written of it.
struct SplitOptions {
    // The path whose name the pieces take (folder and file name): piece i is
    // PieceName(piecesAt, i). Empty: beside the source, under its name.
    std::string piecesAt;
};

void Split(const std::string& source, std::int64_t pieceSize, ProgressSink& progress,
           const SplitOptions& options = {});

}  // namespace morcelix
