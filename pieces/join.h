// Joining: the one operation that destroys files, each piece being deleted
// once its bytes are safe in the destination. In order:
//   survey   what stands on disk (piece_set.h); refuse here, before anything is touched
//   plan     a fresh join, or a resume from the first piece left
//   append   piece after piece into the destination, each checked unchanged
//   flush    the destination (and, once, its folder), then delete the pieces
//            appended since the last flush
//   finish   a final flush and the last deletions; on any failure: cut the
//            destination back to the last whole piece, flush, raise
#pragma once

#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/join_plan.h"
#include "pieces/piece_set.h"
#include "pieces/progress.h"

namespace morcelix {

struct JoinOptions {
    // Leaves every piece in place instead of deleting it once appended.
    bool keepPieces = false;
    // What the user consents to (JoinQuestions): refused otherwise.
    JoinConsents consents{};
};

// What a join that ended well has to say besides.
struct JoinOutcome {
    // The pieces whose bytes are safe in the destination but which could not
    // be deleted (another program held them): joining again deletes them.
    std::vector<std::string> undeleted;
};

// Pieces are deleted in groups, after one flush of the destination for each
// group of at least this many bytes (one piece when pieces are larger).
inline constexpr std::int64_t kFlushGroupBytes = std::int64_t{64} << 20;

// Rebuilds `destination` from the set that `picked` belongs to (see
// SurveyPieceSet): a first piece starts a fresh join; a set whose first pieces
// an interrupted join already appended is finished from the first piece left.
//
// Nothing is touched before the survey's refusals, nor before the room on the
// destination's disk is checked (ENoRoom, ETooLargeForDisk). Then the
// destination is opened (created if absent) without being emptied and locked
// against any other join, the set is surveyed again, and only if both surveys
// agree does the join begin (EChangedDuringJoin otherwise, the destination
// left as it was). With a checksum file that vouches for the whole file only,
// the set (with what a resumed join's destination keeps of it) is read once
// before it begins, and must have the file's size and sum (EDamaged, naming the
// destination, otherwise). Raises EFCreateError when the destination is held by
// another join, EDestinationIsPiece when it is one of the pieces (a link to
// it), and for a fresh join EDestinationExists when it exists and its bytes
// are not the beginning of the set's (a join of this set, stopped or
// finished), unless the options say to replace it.
//
// The pieces surveyed, and only they, are appended in number order; a piece
// gone, or whose size or last-write time changed since the survey or during its
// copy, stops the join with EChangedDuringJoin. No piece is deleted before its
// bytes are flushed to the disk in the destination. Progress is set after each
// piece to the share of the whole file in the destination; it is not reset at
// the start.
//
// A piece that can not be deleted does not stop the join: it is left, and
// named in the outcome. The set's first piece goes before any other, so that
// what is left always reads as the set it is: while it stays, so do the
// pieces after it. Pieces held from an earlier join (PieceSetSurvey::held)
// are checked byte for byte in the destination, then deleted once it is
// flushed.
//
// On any failure after the join began (the file layer's, a changed piece, an
// interruption raised by the progress sink), the destination is cut back to
// the end of the last whole piece appended and flushed, and the failure goes
// on: the destination followed by the pieces left is then exactly the source,
// and joining again finishes the work.
JoinOutcome Join(const std::string& picked, const std::string& destination, ProgressSink& progress,
                 const JoinOptions& options = {});

// The same, from the survey made for it (SurveyPieceSet(picked, destination)),
// which the caller has read to ask its questions (QuestionsOf).
JoinOutcome Join(const PieceSetSurvey& survey, const std::string& destination,
                 ProgressSink& progress, const JoinOptions& options = {});

// Joining into a stream (standard output, a pipe) instead of a file: the
// pieces are only read, and every one of them stays.
// Writes the set whose first piece is `firstPiece` to `output`, from its
// position, piece after piece. The set is surveyed first (SurveyPieceSet) and
// refused as a join refuses it, before anything is written; as there is no
// destination, a set whose first piece is gone (an interrupted join) is not
// found. With a manifest, each piece is checked once its bytes are written: a
// damaged one raises EDamaged, and no later piece is written. With a checksum
// file that vouches for the whole file only, the set is read once and checked
// before anything is written (EDamaged naming the set's file otherwise).
// Progress begins with the set's size; the bytes written go after every block,
// and with a piece mark after each piece.
//
// Raises the survey's refusals, EChangedDuringJoin for a piece gone or
// changed since the survey, EBadManifest when every piece matches the
// manifest but the whole does not, and the failures of the file layer (the
// output's: EWriteError) and of the progress sink.
// A set whose last piece is as large as the others is refused (EMissingEnd)
// unless `consents` accept it.
void JoinToStream(const std::string& firstPiece, TStream& output, ProgressSink& progress,
                  const JoinConsents& consents = {});

}  // namespace morcelix
