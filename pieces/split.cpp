#include "pieces/split.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/piece_set.h"
#include "pieces/sha256.h"

namespace morcelix {

namespace {

// The pieces a split has created, deleted again unless the split completes.
class WrittenPieces {
  public:
    explicit WrittenPieces(ProgressSink& progress) : progress_(progress) {}
    ~WrittenPieces() {
        if (!complete_) {
            for (const std::string& piece : pieces_) {
                if (RemoveFile(piece)) {
                    progress_.FileDeleted(piece);
                }
            }
        }
    }
    WrittenPieces(const WrittenPieces&) = delete;
    WrittenPieces& operator=(const WrittenPieces&) = delete;

    void Add(const std::string& piece) { pieces_.push_back(piece); }
    void Complete() { complete_ = true; }

  private:
    ProgressSink& progress_;
    std::vector<std::string> pieces_;
    bool complete_ = false;
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
    const std::string& piecesAt = options.piecesAt.empty() ? source : options.piecesAt;
    RequireRoomForPieces(piecesAt, count, length, pieceSize);
    if (RemoveManifest(piecesAt)) {
        progress.FileDeleted(ManifestPath(piecesAt));
    }
    // With a manifest: the digests, computed as the pieces are copied.
    std::optional<Sha256> whole;
    std::vector<std::unique_ptr<Sha256>> digests;
    if (options.manifest) {
        whole.emplace();
    }
    CheckedCopier copier(options.manifest ? kDigestLanes : 0);
    WrittenPieces written(progress);
    std::int64_t read = 0;
    for (std::int64_t number = 1; number <= count; ++number) {
        const std::string name = PieceName(piecesAt, static_cast<std::uint64_t>(number));
        TFileStream piece(name, OpenMode::Create);
        written.Add(name);
        progress.FileCreated(name);
        const std::int64_t size = std::min(pieceSize, length - read);
        const BlockObserver afterBlock = [&](std::int64_t left) {
            progress.Moved(read + size - left, ProgressSink::Mark::Block);
        };
        InspectedCopier::Inspectors inspectors;
        if (whole) {
            digests.push_back(std::make_unique<Sha256>());
            inspectors = Digests(*digests.back(), *whole);
        }
        switch (copier.Copy(piece, input, facts, size, inspectors, afterBlock)) {
            case CopyOutcome::Copied:
                break;
            case CopyOutcome::SourceChanged:
                // The pieces cut from a source that changed hold neither version.
                throw EChangedDuringSplit(source);
            case CopyOutcome::TargetFull:
                throw ENoRoomToWrite(name);
        }
        read += size;
        progress.Moved(read, ProgressSink::Mark::Piece);
    }
    RemovePiecesAfter(piecesAt, static_cast<std::uint64_t>(count), progress);
    if (whole) {
        copier.Wait();
        Manifest manifest;
        for (const auto& digest : digests) {
            manifest.pieces.push_back(digest->HexDigest());
        }
        manifest.whole = whole->HexDigest();
        WriteManifest(piecesAt, manifest);
        progress.FileCreated(ManifestPath(piecesAt));
    }
    written.Complete();
}

}  // namespace morcelix
