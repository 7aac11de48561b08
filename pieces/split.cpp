#include "pieces/split.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "pieces/checksum_files.h"
#include "pieces/failure.h"
#include "pieces/gf16.h"
#include "pieces/piece_names.h"
#include "pieces/piece_set.h"
#include "pieces/split_names.h"

namespace morcelix {

namespace {

// Where a split's bytes come from, read once from the start.
class PieceSource {
  public:
    virtual ~PieceSource() = default;
    // Copies the next `size` bytes into `piece`, or as many as are left
    // (fewer only at the end), `lanes` seeing them, and tells `moved` after
    // each block how many of them are copied; returns how many.
    virtual std::int64_t CopyInto(TFileStream& piece, std::int64_t size,
                                  const InspectedCopier::Inspectors& lanes,
                                  const std::function<void(std::int64_t)>& moved) = 0;
};

// A file, which must stay as it was throughout.
class FileSource final : public PieceSource {
  public:
    FileSource(const std::string& path, TFileStream& input, CheckedCopier& copier)
        : path_(path), input_(input), facts_(input.Facts()), copier_(copier) {}

    std::int64_t CopyInto(TFileStream& piece, std::int64_t size,
                          const InspectedCopier::Inspectors& lanes,
                          const std::function<void(std::int64_t)>& moved) override {
        const std::int64_t count = std::min(size, facts_.size - read_);
        const BlockObserver afterBlock = [&](std::int64_t left) { moved(count - left); };
        RequireCopied(copier_.Copy(piece, input_, facts_, count, lanes, afterBlock), path_,
                      piece.Name());
        read_ += count;
        return count;
    }

  private:
    const std::string& path_;
    TFileStream& input_;
    FileFacts facts_;
    CheckedCopier& copier_;
    std::int64_t read_ = 0;
};

// A stream, read to its end; the lanes see its blocks on this thread.
class StreamSource final : public PieceSource {
  public:
    explicit StreamSource(SequentialInput& input) : input_(input) {}

    std::int64_t CopyInto(TFileStream& piece, std::int64_t size,
                          const InspectedCopier::Inspectors& lanes,
                          const std::function<void(std::int64_t)>& moved) override {
        std::int64_t copied = 0;
        while (copied < size) {
            const std::int32_t count = input_.ReadSome(
                buffer_.get(),
                static_cast<std::int32_t>(std::min<std::int64_t>(size - copied, kCopyBufferSize)));
            if (count == 0) {
                break;  // the input ended within this piece
            }
            piece.WriteBuffer(buffer_.get(), count);
            ShowBytes(lanes, buffer_.get(), count);
            copied += count;
            moved(copied);
        }
        return copied;
    }

  private:
    SequentialInput& input_;
    std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
};

// Writes the pieces named after `piecesAt` from `source`, `pieceSize` bytes
// each but the last, which is shorter (empty when the bytes end on a piece's
// end), `writers` seeing their bytes; `created` is told of each piece before
// it is written. Returns how many pieces, and the bytes in them.
struct Written {
    std::uint64_t pieces = 0;
    std::int64_t bytes = 0;
};
Written WritePieces(PieceSource& source, const std::string& piecesAt, std::int64_t pieceSize,
                    SetWriters& writers, ProgressSink& progress,
                    const std::function<void(std::uint64_t, const std::string&)>& created) {
    Written written;
    for (;;) {
        const std::uint64_t number = ++written.pieces;
        const std::string name = PieceName(piecesAt, number);
        TFileStream piece(name, OpenMode::Create);
        created(number, name);
        progress.FileCreated(name);
        const std::int64_t before = written.bytes;
        const std::int64_t copied = source.CopyInto(
            piece, pieceSize, writers.PieceLanes(number),
            [&](std::int64_t done) { progress.Moved(before + done, ProgressSink::Mark::Block); });
        written.bytes += copied;
        progress.Moved(written.bytes, ProgressSink::Mark::Piece);
        if (copied < pieceSize) {
            return written;
        }
    }
}

// The files a split has created, deleted again unless the split completes.
class WrittenFiles {
  public:
    explicit WrittenFiles(ProgressSink& progress) : progress_(progress) {}
    ~WrittenFiles() {
        if (!complete_) {
            for (const std::string& file : files_) {
                if (RemoveFile(file)) {
                    progress_.FileDeleted(file);
                }
            }
        }
    }
    WrittenFiles(const WrittenFiles&) = delete;
    WrittenFiles& operator=(const WrittenFiles&) = delete;

    void Add(const std::string& file) { files_.push_back(file); }
    void Complete() { complete_ = true; }

  private:
    ProgressSink& progress_;
    std::vector<std::string> files_;
    bool complete_ = false;
};

// Deletes, once the split of a stream ends, the pieces numbered beyond the
// last one it wrote: at the end of the input, or on a failure (then quietly).
class LaterPiecesRemoval {
  public:
    LaterPiecesRemoval(const std::string& piecesAt, ProgressSink& progress)
        : piecesAt_(piecesAt), progress_(progress) {}
    ~LaterPiecesRemoval() {
        if (!done_) {
            try {
                RemovePiecesAfter(piecesAt_, written_, progress_);
            } catch (...) {
                // The failure that ended the split is the one to report.
            }
        }
    }
    LaterPiecesRemoval(const LaterPiecesRemoval&) = delete;
    LaterPiecesRemoval& operator=(const LaterPiecesRemoval&) = delete;

    void Wrote(std::uint64_t number) { written_ = number; }
    void Finish() {
        done_ = true;
        RemovePiecesAfter(piecesAt_, written_, progress_);
    }

  private:
    const std::string& piecesAt_;
    ProgressSink& progress_;
    std::uint64_t written_ = 0;
    bool done_ = false;
};

// The disk of the pieces must take them all, and its file system pieces of
// that size. Pieces of the same names, from an earlier split, are emptied
// before they are written again: their room counts as free.
void RequireRoomForPieces(const std::string& piecesAt, std::int64_t count, std::int64_t length,
                          std::int64_t pieceSize) {
    const std::string first = PieceName(piecesAt, 1);
    const std::optional<DiskFacts> disk = DiskFactsOf(first);
    if (!disk) {
        return;  // a folder that is not there: creating the first piece says so
    }
    std::int64_t reused = 0;
    for (std::int64_t number = 1; number <= count; ++number) {
        reused += std::max<std::int64_t>(
            FileSize(PieceName(piecesAt, static_cast<std::uint64_t>(number))), 0);
    }
    RequireRoom(*disk, first, length - std::min(reused, length), std::min(pieceSize, length));
}

}  // namespace

void RequireCopied(CopyOutcome outcome, const std::string& source, const std::string& piece) {
    switch (outcome) {
        case CopyOutcome::Copied:
            return;
        case CopyOutcome::SourceChanged:
            throw EChangedDuringSplit(source);
        case CopyOutcome::TargetFull:
            throw ENoRoomToWrite(piece);
    }
}

void Split(const std::string& source, std::int64_t pieceSize, ProgressSink& progress,
           const SplitOptions& options) {
    if (pieceSize < 0) {
        throw EPieceSizeError(std::to_string(pieceSize));
    }
    TFileStream input(source, OpenMode::Read);
    const FileFacts facts = input.Facts();
    const std::int64_t length = facts.size;
    progress.Begin(length, 0);
    progress.Moved(0, ProgressSink::Mark::Start);
    if (pieceSize == 0) {
        // The quotient length / 0: infinite for a source that holds bytes, undefined for 0 / 0.
        if (length == 0) {
            throw EInvalidOp();
        }
        throw EZeroDivide();
    }
    const std::int64_t count = length / pieceSize + 1;
    // Recovery data over more pieces than the format holds: refused before
    // anything is written (an empty last piece is left out of the set).
    if (options.sums.recovery > 0 && count - (length % pieceSize == 0 ? 1 : 0) >
                                         static_cast<std::int64_t>(gf16::kMaxInputSlices)) {
        throw ETooManyForRecovery(Text::TooManyPiecesForRecovery,
                                  count - (length % pieceSize == 0 ? 1 : 0));
    }
    const std::string& piecesAt = options.piecesAt.empty() ? source : options.piecesAt;
    SetWriters writers(options.sums);
    writers.RequireWritable(piecesAt);
    RequireOwnNames(piecesAt, static_cast<std::uint64_t>(count), pieceSize,
                    {.bytes = &input, .length = length, .identity = facts.identity},
                    options.replaceOthers);
    input.SetPosition(0);
    RequireRoomForPieces(piecesAt, count, length, pieceSize);
    RemoveChecksumFiles(piecesAt, progress);
    CheckedCopier copier(writers.Lanes());
    WrittenFiles written(progress);
    FileSource from(source, input, copier);
    const Written pieces =
        WritePieces(from, piecesAt, pieceSize, writers, progress,
                    [&](std::uint64_t, const std::string& name) { written.Add(name); });
    RemovePiecesAfter(piecesAt, pieces.pieces, progress);
    copier.Wait();
    writers.Write(piecesAt, length, progress, [&](const std::string& file) { written.Add(file); });
    written.Complete();
}

void SplitStream(SequentialInput& input, std::int64_t pieceSize, ProgressSink& progress,
                 const SplitOptions& options) {
    if (pieceSize < 1) {
        throw EPieceSizeError(std::to_string(pieceSize));
    }
    const std::string& piecesAt = options.piecesAt;
    input.RequireReadable();
    SetWriters writers(options.sums);
    writers.RequireWritable(piecesAt);
    RequireOwnNames(piecesAt, 0, pieceSize, {.identity = input.FileItReads()},
                    options.replaceOthers);
    progress.Begin(ProgressSink::kUnknownTotal, 0);
    progress.Moved(0, ProgressSink::Mark::Start);
    RemoveChecksumFiles(piecesAt, progress);
    LaterPiecesRemoval laterPieces(piecesAt, progress);
    StreamSource from(input);
    const Written pieces =
        WritePieces(from, piecesAt, pieceSize, writers, progress,
                    [&](std::uint64_t number, const std::string&) { laterPieces.Wrote(number); });
    laterPieces.Finish();
    writers.Write(piecesAt, pieces.bytes, progress, {});
}

}  // namespace morcelix
