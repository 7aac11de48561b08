// The files a split writes beside its pieces, made from the pieces' bytes as
// they go by: every writer sees every byte once, in order, piece after piece,
// on lanes of an InspectedCopier (or in turn, where the bytes come from a
// stream). Every split (of a file, of a stream, in place) writes them through
// this one list: a format to write is one writer here and one line where the
// options are read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/progress.h"

namespace morcelix {

// What a split writes besides its pieces.
struct SplitSums {
    bool manifest = false;  // the set's SHA-256 manifest (manifest.h)
    bool crcFile = false;   // the whole file's .crc file (checksum_files.h)
    // N > 0: PAR2 recovery files able to rebuild any N pieces (par2_create.h).
    std::uint32_t recovery = 0;
    bool notice = false;  // how to rebuild it without this tool (notice.h)
};

// One file written beside the set from its bytes.
class SetWriter {
  public:
    virtual ~SetWriter() = default;
    // The inspectors of piece `number`'s bytes, one a lane. Pieces come in
    // number order, each once; what the inspectors use lasts until Write.
    virtual InspectedCopier::Inspectors PieceLanes(std::uint64_t number) = 0;
    // Once every byte has been seen: writes the file beside the set named
    // `piecesAt`, of `length` bytes, whole and on the disk (ReplaceFileWith),
    // and returns its paths.
    virtual std::vector<std::string> Write(const std::string& piecesAt, std::int64_t length) = 0;
    // Whether its file stands whole beside the set named `piecesAt`.
    virtual bool Stands(const std::string& piecesAt) const = 0;
    // Raises when its file could not be written beside the set named
    // `piecesAt`, whatever the bytes: asked before any piece is written.
    virtual void RequireWritable(const std::string& /*piecesAt*/) const {}
};

// The writers a split's options ask for, in the order they are written.
class SetWriters {
  public:
    explicit SetWriters(const SplitSums& sums);

    bool Empty() const { return writers_.empty(); }
    // Whether every file they write stands whole beside the set named `piecesAt`.
    bool AllStand(const std::string& piecesAt) const;
    // Raises when one of their files could not be written beside the set
    // named `piecesAt` (SetWriter::RequireWritable): a split asks before it
    // writes anything, so that it does not cut a set only to fail at its end.
    void RequireWritable(const std::string& piecesAt) const;
    // The lanes every piece takes, for the copier.
    std::size_t Lanes() const { return lanes_; }
    InspectedCopier::Inspectors PieceLanes(std::uint64_t number);
    // Writes every file once the lanes are done with every byte, telling
    // `progress` and `written` (when given) of each.
    void Write(const std::string& piecesAt, std::int64_t length, ProgressSink& progress,
               const std::function<void(const std::string&)>& written);

  private:
    std::vector<std::unique_ptr<SetWriter>> writers_;
    std::size_t lanes_ = 0;
};

// Shows `size` bytes of `data` to each of `inspectors` in turn, on this thread.
void ShowBytes(const InspectedCopier::Inspectors& inspectors, const char* data, std::int32_t size);

}  // namespace morcelix
