// Rebuilding pieces from a PAR2 2.0 recovery set: this program's, or one that
// another tool made over the same pieces (one or several slices a piece).
//
//   survey   read the set (par2_reader.h) and check each piece beside the
//            index against it: missing, of another length, or whose MD5 is
//            not the set's: damaged; nothing is written
//   plan     the lost slices (every slice of a piece missing or damaged) and
//            as many recovery slices whose equations, solved over GF(2^16)
//            by Gaussian elimination, give them: too few, and the rebuild is
//            refused before it writes anything
//   rebuild  each lost piece into a new file beside it (NAME.reconstruction),
//            in passes when the lost slices do not fit in memory, flushed,
//            read back and checked against its MD5, then renamed onto the
//            piece's name, and the folder flushed
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pieces/par2_compute.h"
#include "pieces/par2_reader.h"
#include "pieces/progress.h"

namespace morcelix::par2 {

enum class PieceCondition { Intact, Missing, Damaged };

struct PieceStatus {
    std::string path;  // beside the index
    PieceCondition condition = PieceCondition::Missing;
};

struct RepairSurvey {
    std::string indexPath;
    RecoverySet set;
    std::vector<PieceStatus> pieces;  // one for each file of the set, in its order

    // How many pieces are missing or damaged.
    std::int64_t PiecesToRebuild() const;
    // How many slices those pieces hold: the recovery slices needed.
    std::int64_t SlicesToRebuild() const;
    // How many recovery slices the set has, intact.
    std::int64_t RecoverySlices() const { return static_cast<std::int64_t>(set.recovery.size()); }
    // How many of the pieces to rebuild that many recovery slices can rebuild
    // at most (the smallest first).
    std::int64_t RebuildablePieces() const;
};

// How the survey checks a piece of the right length. The default, Md5, is
// the sound one for a survey on its own (`reparer`, `verifier`): every byte
// of every piece vouched for by the set's MD5s, 16 pieces hashed side by
// side on each core (md5_lanes.h), so that it costs little more than
// reading them. SliceCrc is for a caller that checks each piece's MD5 itself
// anyway (the join, as it copies every piece before deleting any).
enum class PieceCheck {
    Md5,       // its MD5 against the set's
    SliceCrc,  // the CRC-32 of each of its slices (folded by carry-less
               // multiplication, faster still): a damage that CRC-32 misses
               // (one in 2^32) is then found by the caller's MD5 before any
               // piece goes. A set without slice checksums: the MD5.
};

// Reads the set of `indexPath` and checks every piece, on the worker threads
// of `limits`. Raises EBadRecoveryFile (the index) when it is not a readable
// set, or names a file outside its folder.
RepairSurvey SurveyPieces(const std::string& indexPath, const ComputeLimits& limits = {},
                          PieceCheck check = PieceCheck::Md5);

// The file a lost piece is rebuilt into before it takes the piece's name.
std::string RebuildFileOf(const std::string& piece);

// Rebuilds every piece that the survey found missing or damaged and returns
// their paths (none: nothing to do). Raises ENotEnoughRecovery before writing
// anything when the recovery slices can not rebuild them all;
// ERebuiltPieceDamaged when a rebuilt piece is not the one the set describes
// (recovery data damaged past its checksums), the piece left as it was; and
// the file layer's failures. On failure, the rebuild files go; pieces already
// renamed into place stay, rebuilt and checked. `progress` hears of the
// bytes read (Mark::Block) and may raise to stop.
std::vector<std::string> RebuildPieces(const RepairSurvey& survey, const ComputeLimits& limits = {},
                                       ProgressSink* progress = nullptr);

}  // namespace morcelix::par2
