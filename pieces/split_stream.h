// Splitting what a pipe brings: input of a length unknown beforehand, read
// once from its start to its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pieces/file_stream.h"
#include "pieces/progress.h"
#include "pieces/split.h"

namespace morcelix {

// Bytes read once, in order, to their end: standard input, a pipe.
class SequentialInput {
  public:
    virtual ~SequentialInput() = default;
    // Reads at most `count` (> 0) bytes into `buffer` and returns how many: 0
    // only at the end of the input. Fewer than asked is not the end: a pipe
    // hands over what its writer has written so far. Raises EReadError when
    // the input fails.
    virtual std::int32_t ReadSome(void* buffer, std::int32_t count) = 0;
    // The file the input reads, when it is one.
    virtual std::optional<FileIdentity> FileItReads() const { return std::nullopt; }
    // Raises when the input can not be read at all (EInputClosed,
    // EInputIsAFolder, EInputNotReadable): before anything is written.
    virtual void RequireReadable() const {}
};

// Cuts `input`, read to its end, into pieces of `pieceSize` bytes named
// PieceName(options.piecesAt, i), which must not be empty: every piece full
// but the last, which holds the rest (empty when the input ends on a piece
// boundary, and the only piece, empty, for an empty input). With
// options.manifest, the set's manifest is written once the input has ended,
// the digests computed as the data goes by, and with options.crcFile its .crc
// file. A manifest or .crc file of the same name is deleted before the first
// piece is written. Progress begins with an unknown total and a start mark;
// the bytes read go after every block, and with a piece mark after each piece.
//
// Raises EPieceSizeError for a size below 1 before anything is touched; as a
// stream's bytes are not known beforehand, EDestinationExists when a file
// stands under the names it writes unless options.replaceOthers, and
// EInputIsPiece when the input is one of them (RequireOwnNames); and the
// failures of the input, of the file layer and of the progress sink. As
// the input can not be read again, a split that fails keeps the pieces it
// wrote: they hold the start of the input. Whether it completes or fails, the
// pieces numbered beyond the last one it wrote are deleted (an earlier split
// of the same name left them; a join would take them for part of this set).
void SplitStream(SequentialInput& input, std::int64_t pieceSize, ProgressSink& progress,
                 const SplitOptions& options);

}  // namespace morcelix
