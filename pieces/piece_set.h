// What stands on disk of a piece set, and how a join would take it. A join
// surveys the set before it touches anything, and again once it holds the
// destination, so that every refusal is decided here, in one place.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/progress.h"

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
    // When resuming: the pieces below `firstNumber` that are still there
    // although the destination holds them whole at their place, judged by
    // their sizes (the join checks their bytes): an earlier join appended them
    // but could not delete them. With every piece left among them, the join
    // only deletes them: `pieces` is empty.
    std::vector<SurveyedPiece> held;
    // The size of every piece but the last; unknown (0) when the only piece
    // left is the last one of a resumed join.
    std::int64_t pieceSize = 0;
    // When resuming: the destination as it stands, and the bytes of the set
    // that belong in it, (firstNumber - 1) * pieceSize (the whole destination
    // when no piece is left to append), when the sizes tell; with only the
    // last piece left, the join finds them from the content.
    std::optional<FileFacts> destination;
    std::optional<std::int64_t> joined;
    // The whole file's size (with only the last piece left: as if the
    // destination held that piece already, which is where such a join stops).
    std::int64_t totalSize = 0;
    // The set's checksum file, when one stands beside the pieces (its SHA-256
    // manifest, or another tool's file: checksum_files.h). One that names
    // pieces fixes their number and names, and each piece's content; one that
    // names the whole file only vouches for the whole set once read.
    std::optional<Manifest> manifest;
    // Why the set can not be joined (a gap, a piece the manifest lists missing
    // or one it does not list, a piece of the wrong size, a whole size other
    // than the checksum file's, a destination that does not fit or is one of
    // the pieces); null when it can.
    std::exception_ptr refusal;
    // Without a checksum file: EMissingEnd when the set has two pieces or more and
    // the last one found is as large as the others. A split always ends with
    // a shorter piece, so the set's end may be missing; but sets that other
    // tools write may end so, and the user may join them all the same.
    std::exception_ptr missingEnd;

    bool Resumes() const { return firstNumber > 1; }
    std::string PathOf(const SurveyedPiece& piece) const;
    // The checksum file when it vouches for each piece; null otherwise.
    const Manifest* PieceSums() const;
    // The checksum file when it vouches for the whole file only; null otherwise.
    const Manifest* WholeSum() const;
    std::int64_t PiecesSize() const;
    // Raises the refusal, if there is one, then the missing end unless the
    // user accepts a full last piece.
    void Refuse(bool acceptFullLastPiece = false) const;
};

// Surveys the set that `picked` belongs to, for a join into `destination`:
//  - `picked` ends in ".001" and exists: a fresh join from that first piece;
//  - the set's first piece is gone, `destination` exists and a later piece
//    exists (`picked` may name the first piece or any other): a join that
//    stopped part-way, resumed from the first piece left that the
//    destination does not hold whole; the pieces below it are held.
// A gap, a piece whose size does not fit the set (all but the last as large as
// the first one joined, the last no larger) and a destination too short or too
// long to hold the pieces gone become the refusal. Only regular files count.
// Looks at names and sizes only: opens, reads and changes nothing.
// Raises ENotFirstPiece when `picked` is neither, EFileNotFound when there is
// nothing to join (the first piece absent, no join to resume),
// EFolderReadError when the folder can not be listed, and EBadManifest when
// the set's checksum file can not be read.
PieceSetSurvey SurveyPieceSet(const std::string& picked, const std::string& destination);

// How a join from `picked` into `destination` starts, as SurveyPieceSet
// decides it, from names alone: fresh when the set's first piece stands;
// resumed when it is gone but the destination and a later piece stand (a join
// that stopped part-way); otherwise there is nothing to join (or `picked` is
// not a piece name). Raises EFolderReadError.
enum class JoinStart { Fresh, Resume, None };
JoinStart StartOf(const std::string& picked, const std::string& destination);

// The file that changed since `survey` was made for `destination`, looked at
// again name by name rather than surveyed again (a set of many pieces is not
// held twice): a piece gone or whose facts differ, a piece beyond the last, a
// resumed join's destination, the manifest; nothing when all stand as they
// were. Raises EBadManifest when the manifest can not be read any more.
std::optional<std::string> ChangedSince(const PieceSetSurvey& survey,
                                        const std::string& destination);

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
