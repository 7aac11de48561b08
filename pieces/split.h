// Splitting: one pipeline from a source, a file or a stream, to its pieces,
// the files a split writes beside them (set_writers.h) fed the same bytes.
// The split in place, which turns a file into its pieces, is in
// split_in_place.h; its pieces and files beside them are the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pieces/checked_copy.h"
#include "pieces/file_stream.h"
#include "pieces/progress.h"
#include "pieces/set_writers.h"

namespace morcelix {

struct SplitOptions {
    // The path whose name the pieces take (folder and file name): piece i is
    // PieceName(piecesAt, i). Empty: beside the source, under its name.
    std::string piecesAt{};
    // The files written beside the pieces, from their bytes as they are copied.
    SplitSums sums{};
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
// boundary, and the only piece, empty, for an empty input), as Split does.
// The files beside the pieces are written once the input has ended. Progress
// begins with an unknown total and a start mark; the bytes read go after
// every block, and with a piece mark after each piece.
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

// What a split raises for a copy of its source that did not end well:
// EChangedDuringSplit naming `source` when it changed (the pieces cut from a
// source that changed hold neither version), ENoRoomToWrite naming `piece`
// when its disk is full.
void RequireCopied(CopyOutcome outcome, const std::string& source, const std::string& piece);

}  // namespace morcelix
