// Splitting a file in place: the file itself becomes its pieces, so that a
// disk with room for one piece more can split it. The set is the one Split
// writes, byte for byte and name for name. In order:
//   survey   the file, the pieces of its name that stand already (an
//            interrupted split's) and the room; refuse here, before anything
//            is touched
//   digest   with checksum files: the file read once from its start, then
//            the pieces already cut off it, before anything is cut
//   cut      the pieces from the last down to the second, copied out of the
//            end of the file a group at a time (as many as the spare room and
//            a few dozen megabytes take, one at least), flushed with their
//            folder, then cut off the file
//   finish   the checksum files; the file, which then holds exactly the first
//            piece's bytes, renamed to the first piece (copied there, then
//            deleted, when the pieces go to another disk); the folders flushed
//
// At every moment, the file followed by the pieces beyond it holds the source
// exactly, and no byte is cut off the file before the piece that holds it is
// on the disk. A split stopped at any point, by a failure, an interruption, a
// killed process or a power cut, is finished by splitting again with the same
// size: the file's length and the pieces beyond it tell where it stopped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/piece_set.h"
#include "pieces/progress.h"
#include "pieces/split.h"

namespace morcelix {

struct InPlaceSplitSurvey {
    std::string source;
    // The path whose name the pieces take: piece i is PieceName(piecesAt, i).
    std::string piecesAt;
    std::int64_t pieceSize = 0;
    std::int64_t length = 0;  // the whole file's, before anything was cut off it
    std::uint64_t count = 0;  // the set's pieces: length / pieceSize + 1
    // The file as it stands; nothing once the split has finished (renamed).
    std::optional<FileFacts> file;
    // Pieces `cutFrom` to `count`, in `cut`, stand whole beyond the file: their
    // bytes are no longer in it. count + 1 when nothing was cut; 1 once the
    // split has finished.
    std::uint64_t cutFrom = 0;
    std::vector<SurveyedPiece> cut;
    // Pieces below `cutFrom` that stand already, each holding the beginning of
    // its bytes, which the file still holds: the copies of a split stopped
    // before it could cut them off. They are written again.
    std::vector<SurveyedPiece> copies;
    // Whether the pieces go on the file's own disk, where the file becomes
    // the first piece by a rename; on another, its bytes are copied there.
    bool piecesBesideFile = true;
    // The free room on the pieces' disk beyond what the next piece needs:
    // what more pieces written before a cut may take.
    std::int64_t spareRoom = 0;
    // A run of this split began: its record stands beside the pieces
    // (work_record.h), and the pieces below those cut off the file are its
    // copies, whatever their bytes (a power cut may have lost them).
    bool recorded = false;

    bool Finished() const { return !file.has_value(); }
};

// Surveys the split in place of `source` into pieces of `pieceSize` bytes,
// named after `piecesAt` (the source itself when empty), and decides every
// refusal. Reads the file and the pieces that may be copies of its bytes;
// writes nothing.
//
// The pieces of that name that stand must be those of a split in place of
// this file with this size, stopped at some point: below the pieces cut off
// the file, copies of the bytes it still holds (any bytes, once the split's
// record stands); otherwise ENotInPlacePiece names one (another file, which
// the split would overwrite or take into the set), or EInPlaceOtherSize when
// they fit another size, or the record another one. A file that is gone while
// its whole set stands is a finished split. EChangedDuringSplit when what
// stands does not fit the split's record.
//
// Raises EPieceSizeError for a size below 1; ENamedFileNotFound when the file
// is not a regular file and no finished set stands; ELinkNotSplitInPlace for
// a symbolic link; EOtherNamesNotSplitInPlace for a file with other hard
// links (cutting it would empty them too); EDestinationIsPiece when a piece is
// the file itself; ENoRoom and ETooLargeForDisk when the pieces' disk can not
// take what is left to write (one piece on the file's own disk, each piece's
// room coming back once it is cut off the file; every piece left on another
// disk); EFolderReadError, and the file layer's failures while reading.
InPlaceSplitSurvey SurveyInPlaceSplit(const std::string& source, std::int64_t pieceSize,
                                      const std::string& piecesAt = {});

// Carries out the split `survey` describes, from where it stands, holding the
// file against any other writer. Its record is written (flushed, with its
// folder) before anything is changed, and removed once the file is renamed.
// The files that `sums` asks for beside the pieces (set_writers.h) are written
// before the last step, from one read of the set's bytes before the first cut,
// and from the pieces when a finished split lacks them. Checksum files of that
// name that stand before the first cut are deleted: they described another set.
//
// Raises EChangedDuringSplit when the file or a surveyed piece changed since
// the survey, or the file while a piece was copied out of it; the file
// layer's failures (ENoRoomToWrite when the disk fills), and the progress
// sink's (an interruption). A piece being written when a failure comes is
// deleted: the file still holds its bytes, and running the split again
// finishes it. Progress goes to the share of the file cut off after each piece.
void SplitInPlace(const InPlaceSplitSurvey& survey, ProgressSink& progress,
                  const SplitSums& sums = {});

}  // namespace morcelix
