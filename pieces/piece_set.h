// What stands on disk of a piece set, and how a join would take it. A join
// surveys the set before it touches anything, and again once it holds the
// destination, so that every refusal is decided here, in one place.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/progress.h"
#include "pieces/work_record.h"

namespace morcelix {

// A piece as the survey found it: its number in the set (its name follows,
// PieceSetSurvey::PathOf) and its facts.
struct SurveyedPiece {
    std::uint64_t number = 0;
    FileFacts facts;
    bool operator==(const SurveyedPiece&) const = default;
};

struct PieceSetSurvey {
    // The name the pieces extend: base.001, base.002...
    std::string base;
    // The pieces present from `firstNumber` on, in number order, up to the
    // first missing number. `firstNumber` is 1 for a fresh join; more when an
    // interrupted join is resumed, its first pieces already appended and gone.
    std::uint64_t firstNumber = 1;
    std::vector<SurveyedPiece> pieces;
    // When resuming: the pieces below `firstNumber` that are still there,
    // which the destination holds at their place (the join checks their
    // bytes): an earlier join appended them but could not delete them. With
    // every piece left among them, the join only deletes them: `pieces` is
    // empty.
    std::vector<SurveyedPiece> held;
    // The size of every piece but the last.
    std::int64_t pieceSize = 0;
    // When resuming: the file the bytes go into as the record names it (the
    // destination, or the file that takes its name at the end when it
    // replaces another), as it stands, and the bytes of the set that belong
    // in it, (firstNumber - 1) * pieceSize.
    std::string working;
    std::optional<FileFacts> destination;
    std::int64_t joined = 0;
    // The whole file's size.
    std::int64_t totalSize = 0;
    // The set's checksum file, when one stands beside the pieces (its SHA-256
    // manifest, or another tool's file: checksum_files.h). One that names
    // pieces fixes their number and names, and each piece's content; one that
    // names the whole file only vouches for the whole set once read.
    std::optional<Manifest> manifest;
    // What stands at the set's record name (work_record.h). A resumed join
    // goes by its record; a fresh join writes one unless it keeps the pieces.
    RecordFound record;
    // A fresh join's destination is the one the record names: a join of this
    // set into it stopped before it deleted anything, which may be replaced.
    bool destinationIsThisJoins = false;
    // Why the set can not be joined (a gap, a piece the manifest lists missing
    // or one it does not list, a piece of the wrong size, a whole size other
    // than the checksum file's, a destination that does not fit the record or
    // is one of the pieces, a file the record does not account for); null
    // when it can.
    std::exception_ptr refusal;
    // A question for the user, not a refusal: without a checksum file, a
    // fresh join's last piece when the set has two pieces or more and it is
    // as large as the others. A split always ends with a shorter piece, so
    // the set's end may be missing; but sets that other tools write end so,
    // and the user may join them all the same.
    std::optional<std::string> fullLastPiece;

    bool Resumes() const { return firstNumber > 1; }
    std::string PathOf(const SurveyedPiece& piece) const;
    // The checksum file when it vouches for each piece; null otherwise.
    const Manifest* PieceSums() const;
    // The checksum file when it vouches for the whole file only; null otherwise.
    const Manifest* WholeSum() const;
    std::int64_t PiecesSize() const;
    // Raises the refusal, if there is one.
    void Refuse() const;
};

// Surveys the set that `picked` belongs to, for a join into `destination`:
//  - the set's first piece exists and `picked` names it (or the set's record):
//    a fresh join from that first piece;
//  - the set's first piece is gone and the set's record says that a join
//    into `destination` is under way (`picked` may name any piece, or the
//    record): that join, resumed after the pieces gone, by the record's piece
//    size and count; the pieces below the first one left are held.
// A gap, a piece whose size does not fit the set (all but the last as large as
// the first, the last no larger; with a record, exactly as it says), a file
// of the set's name that the record does not account for, and a destination
// too short or too long for the pieces gone become the refusal. Only regular
// files count. Looks at names and sizes only: opens, reads and changes
// nothing but the set's record and checksum file, which it reads.
// Raises ENotFirstPiece when `picked` is neither, EFileNotFound when there is
// nothing to join (the first piece absent, no join to resume),
// EFolderReadError when the folder can not be listed, and EBadManifest when
// the set's checksum file can not be read.
PieceSetSurvey SurveyPieceSet(const std::string& picked, const std::string& destination);

// How a join from `picked` into `destination` starts, decided here alone
// (SurveyPieceSet, the tool and the window read it): fresh when `picked` is
// the set's first piece, or its record, and the first piece stands; resumed
// when the first piece is gone and the set's record says a join into
// `destination` is under way; another piece of a set whose first piece
// stands (`picked` any other name of the set, or the name the set extends:
// `firstPiece` says which to give); otherwise there is nothing to join.
// Reads the set's record.
enum class JoinStart { Fresh, Resume, OtherPiece, None };
struct StartOfJoin {
    JoinStart start = JoinStart::None;
    std::string firstPiece;
};
StartOfJoin StartOf(const std::string& picked, const std::string& destination);

// The file that changed since `survey` was made, looked at
// again name by name rather than surveyed again (a set of many pieces is not
// held twice): a piece gone or whose facts differ, a piece beyond the last, a
// resumed join's destination, the manifest; nothing when all stand as they
// were, the record included. Raises EBadManifest when the manifest can not be
// read any more.
std::optional<std::string> ChangedSince(const PieceSetSurvey& survey);

// A piece of `survey` opened for reading, checked unchanged since the survey:
// EChangedDuringJoin when it is gone, replaced or changed.
std::unique_ptr<TFileStream> OpenUnchanged(const PieceSetSurvey& survey,
                                           const SurveyedPiece& piece);

// Calls `visit` with the number and path of each entry beside `base` named
// `base` + "." + a number text, whatever kind of entry it is: only a regular
// file (FileExists) is a piece. Raises EFolderReadError.
void ForEachPieceNameBeside(const std::string& base,
                            const std::function<void(std::uint64_t, const std::string&)>& visit);

// Deletes the pieces beside `base` numbered beyond `count`, which an earlier
// split of the same name left (a join would take them for part of the set),
// and tells `progress` of each. Raises EFolderReadError.
void RemovePiecesAfter(const std::string& base, std::uint64_t count, ProgressSink& progress);

}  // namespace morcelix
