#pragma once

#include <cstdint>
#include <string>

#include "pieces/progress.h"

namespace morcelix {

struct SplitOptions {
    // The path whose name the pieces take (folder and file name): piece i is
    // PieceName(piecesAt, i). Empty: beside the source, under its name.
    std::string piecesAt{};
    // Writes the set's SHA-256 manifest (manifest.h) once every piece is
    // written, hashing the data as it is copied.
    bool manifest = false;
    // Writes also the set's .crc file (checksum_files.h): the whole file's
    // name, size and CRC-32, which two-panel file managers check when they join.
    bool crcFile = false;
    // Replaces the files under the names it writes that are not an earlier
    // split's of the same source (EDestinationExists otherwise).
    bool replaceOthers = false;
};

// Cuts `source` into pieces of `pieceSize` bytes beside it (or where `options`
// says), named by PieceName (piece_names.h): length / pieceSize + 1 pieces,
// all full but the last, which holds the rest (empty when the length is a
// whole multiple). The source is only read. Progress begins with the source's
// length and a start mark; then the bytes read go after every block, and with
// a piece mark after each piece. A manifest or .crc file of the same name (an
// earlier split's) is deleted before the first piece is written, and once
// the last one is, higher-numbered pieces of the same name: they no longer
// describe the set, and a join would take them for part of it. Before
// anything is written, every file under those names must be an earlier
// split's of the same source (RequireOwnNames), unless options.replaceOthers.
//
// Raises EPieceSizeError for a negative size before anything is opened;
// EZeroDivide (a source that holds bytes) or EInvalidOp (an empty source) for a
// size of 0, before any piece exists; EChangedDuringSplit when the source's
// size or last-write time changed meanwhile; and the file layer's failures
// (or the progress sink's). A split that fails deletes every piece it wrote,
// so that no partial set is left for a join to take; the source is untouched.
void Split(const std::string& source, std::int64_t pieceSize, ProgressSink& progress,
           const SplitOptions& options = {});

}  // namespace morcelix
