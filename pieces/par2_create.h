// Recovery data for a piece set: a PAR2 2.0 recovery set over the pieces,
// written beside them as NAME.par2 (the index: main, file description, slice
// checksum, unicode name and creator packets) and NAME.vol00+01.par2,
// NAME.vol01+02.par2, NAME.vol03+04.par2... (1, 2, 4... recovery slices a
// file, each file with a copy of the index's packets), from which the usual
// PAR2 tools and this program's rebuild can rebuild any N pieces lost or
// damaged.
//
// The layout: one input file per piece; the slice size is the largest
// piece's size rounded up to a multiple of 4, so that each piece is one slice
// (the last, shorter one padded with zeros) and N recovery slices replace any
// N pieces. An empty piece (a split's last, when the file's size is a
// multiple of the piece size) has no slice and is left out of the set, as the
// usual tools leave out empty files, which they would take for damaged ones:
// the joined bytes do not depend on it. At most 32,768 pieces (the format's
// number of input slices) and 65,535 recovery slices.
//
// Memory stays under 256 MiB whatever the piece size and N (ComputeLimits):
// when the N recovery slices do not fit, they are computed in several passes
// over ranges of bytes, reading the pieces again.
//
// Two ways to make the data:
//  - CreateRecoveryFiles: over pieces already written, in one pass over them
//    (several when the slices do not fit), after a first look at the first
//    16 KiB of each piece, which gives the order of the slices.
//  - RecoveryWriter: inside the split's own pass, seeing each piece's bytes
//    as they are written. The slice order, and so the constant of each
//    slice, follows from every piece's name, length and first 16 KiB, known
//    only at the end of a pass: exponent 0 (N = 1, the XOR of the slices)
//    needs no order and is made in that pass, at about the cost of a copy;
//    for N > 1 the split gives the order beforehand when it can (a regular
//    file: PieceOrderOf reads the 16 KiB at each piece's start) and the
//    slices are then made in that pass too; otherwise (a stream), or when
//    the N slices do not fit in memory (N times the piece size past
//    ComputeLimits), Finish makes them in passes over the written pieces,
//    checking that each still is what the split wrote.
//    The index needs each piece's MD5, a chain that one core makes at some
//    700 MB/s, slower than the split copies: in the pass, the split's thread
//    makes only the CRC-32 of each piece and the MD5 of its first 16 KiB;
//    a thread of the writer reads the written pieces back (from the
//    system's cache, mostly), 16 at a time, and hashes them side by side
//    from that 16 KiB state on (md5_lanes.h), each checked against the
//    CRC-32 of the bytes the split wrote (EChangedDuringSplit otherwise).
//
// Files are written through the file layer, each flushed and its folder
// flushed before success is reported; on any failure, the files created are
// removed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pieces/par2_compute.h"
#include "pieces/par2_format.h"
#include "pieces/progress.h"

namespace morcelix::par2 {

inline constexpr std::uint32_t kMaxRecoverySlices = 65535;

struct RecoveryOptions {
    std::uint32_t slices = 1;  // N: how many pieces the data can rebuild
    ComputeLimits limits;
    std::string creator = "Morcelix";  // the creator packet's text
};

// The index's path for the set named `base` (pieces base.001...): base.par2.
std::string RecoveryIndexPath(const std::string& base);

// The files of the recovery set `indexPath` (NAME.par2) of N recovery slices,
// the index first, as CreateRecoveryFiles names them.
std::vector<std::string> RecoveryFileNames(const std::string& indexPath, std::uint32_t slices);

// Writes the recovery set over `pieces` (paths of one folder, in the set's
// order, all but the last of one size, the last possibly shorter or empty):
// the index `indexPath` and its recovery files beside it, replacing files of
// those names. Returns the files written, the index first. Raises
// ETooManyForRecovery (before writing) when the format can not hold the
// set, EChangedDuringSplit naming a piece that changed while it was read,
// and the file layer's failures; removes what it created on any failure.
// `progress`, if given, hears of the bytes read (Mark::Block) and may raise
// to stop.
std::vector<std::string> CreateRecoveryFiles(const std::vector<std::string>& pieces,
                                             const std::string& indexPath,
                                             const RecoveryOptions& options,
                                             ProgressSink* progress = nullptr);

// A piece to come, as far as the order of the slices needs it.
struct PlannedPiece {
    Md5 fileId{};
    std::int64_t length = 0;
};

// The file ids and lengths of the pieces of a split of the regular file `source` into
// pieces of `pieceSize` bytes named `pieceNames` (file names, no folder, in
// order): what RecoveryWriter needs to make N > 1 slices in the split's pass.
// Reads 16 KiB at the start of each piece; raises as reading `source` does.
std::vector<PlannedPiece> PieceOrderOf(const std::string& source, std::int64_t pieceSize,
                                       const std::vector<std::string>& pieceNames);

// The recovery data of a split, made as the split writes its pieces. Not
// thread-safe: BeginPiece, Add and EndPiece come in order from one thread at
// a time (the split's, or an inspector lane whose blocks carry the piece
// they belong to, so that it calls BeginPiece and EndPiece itself); the
// products are shared out among the worker threads of the options' limits.
class RecoveryWriter {
  public:
    // For a split into pieces of `pieceSize` bytes. `pieceIds`, when given,
    // are the pieces to come (PieceOrderOf), so that N > 1
    // slices are made in this pass; `largestPiece`, when known and smaller
    // than `pieceSize` (a source shorter than one piece), bounds the memory
    // that pass takes. Raises ETooManyForRecovery when N is more than the
    // format numbers.
    RecoveryWriter(std::int64_t pieceSize, const RecoveryOptions& options,
                   std::optional<std::vector<PlannedPiece>> pieceIds = std::nullopt,
                   std::optional<std::int64_t> largestPiece = std::nullopt);
    ~RecoveryWriter();
    RecoveryWriter(const RecoveryWriter&) = delete;
    RecoveryWriter& operator=(const RecoveryWriter&) = delete;

    // The next piece begins, named `path`; its bytes follow through Add, in
    // order, in blocks of any size.
    void BeginPiece(const std::string& path);
    void Add(const void* data, std::size_t size);
    // The piece that began has all its bytes.
    void EndPiece();

    // Writes the recovery set over the pieces seen as `indexPath` and its
    // recovery files; first, when the pass could not make the recovery
    // slices, reads the pieces again (in passes), each checked to be what was
    // seen (EChangedDuringSplit). Raises as CreateRecoveryFiles does, the
    // files it created removed. Returns the files written, the index first.
    std::vector<std::string> Finish(const std::string& indexPath, ProgressSink* progress = nullptr);

    // Whether the pass itself is making the recovery slices.
    bool SlicesInPass() const;

  private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace morcelix::par2
