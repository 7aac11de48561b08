#include "pieces/split_stream.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "pieces/checksum_files.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/piece_set.h"
#include "pieces/split_names.h"

namespace morcelix {

namespace {

// Deletes, once the split ends, the pieces numbered beyond the last one it
// wrote: at the end of the input, or on a failure (then quietly).
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

}  // namespace

void SplitStream(SequentialInput& input, std::int64_t pieceSize, ProgressSink& progress,
                 const SplitOptions& options) {
    if (pieceSize < 1) {
        throw EPieceSizeError(std::to_string(pieceSize));
    }
    const std::string& piecesAt = options.piecesAt;
    input.RequireReadable();
    RequireOwnNames(piecesAt, 0, pieceSize, {.identity = input.FileItReads()},
                    options.replaceOthers);
    progress.Begin(ProgressSink::kUnknownTotal, 0);
    progress.Moved(0, ProgressSink::Mark::Start);
    RemoveChecksumFiles(piecesAt, progress);
    // With a manifest: the whole input's digest, and each piece's once
    // written; with a .crc file, the whole input's CRC-32.
    std::optional<Sha256> whole;
    Manifest manifest;
    if (options.manifest) {
        whole.emplace();
    }
    std::optional<Digest> crc;
    if (options.crcFile) {
        crc.emplace(DigestKind::Crc32);
    }
    const auto buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
    std::int64_t read = 0;
    LaterPiecesRemoval laterPieces(piecesAt, progress);
    for (std::uint64_t number = 1;; ++number) {
        const std::string name = PieceName(piecesAt, number);
        TFileStream piece(name, OpenMode::Create);
        laterPieces.Wrote(number);
        progress.FileCreated(name);
        std::optional<Sha256> own;
        if (whole) {
            own.emplace();
        }
        std::int64_t left = pieceSize;
        while (left > 0) {
            const std::int32_t count = input.ReadSome(
                buffer.get(),
                static_cast<std::int32_t>(std::min<std::int64_t>(left, kCopyBufferSize)));
            if (count == 0) {
                break;
            }
            piece.WriteBuffer(buffer.get(), count);
            if (whole) {
                own->Update(buffer.get(), static_cast<std::size_t>(count));
                whole->Update(buffer.get(), static_cast<std::size_t>(count));
            }
            if (crc) {
                crc->Update(buffer.get(), static_cast<std::size_t>(count));
            }
            left -= count;
            read += count;
            progress.Moved(read, ProgressSink::Mark::Block);
        }
        if (own) {
            manifest.pieces.push_back(own->HexDigest());
        }
        progress.Moved(read, ProgressSink::Mark::Piece);
        if (left > 0) {
            break;  // the input ended within this piece
        }
    }
    laterPieces.Finish();
    if (crc) {
        WriteCrcFile(piecesAt, read, crc->HexDigest());
        progress.FileCreated(CrcFilePath(piecesAt));
    }
    if (whole) {
        manifest.whole = whole->HexDigest();
        WriteManifest(piecesAt, manifest);
        progress.FileCreated(ManifestPath(piecesAt));
    }
}

}  // namespace morcelix
