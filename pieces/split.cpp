#include "pieces/split.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "pieces/checked_copy.h"
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

// The files a split has created, deleted again unless the split completes.
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
    RequireOwnNames(piecesAt, static_cast<std::uint64_t>(count), pieceSize,
                    {.bytes = &input, .length = length, .identity = facts.identity},
                    options.replaceOthers);
    input.SetPosition(0);
    RequireRoomForPieces(piecesAt, count, length, pieceSize);
    RemoveChecksumFiles(piecesAt, progress);
    // The digests, computed on lanes of their own as the pieces are copied:
    // with a manifest, each piece's and the whole file's SHA-256; with a .crc
    // file, the whole file's CRC-32.
    std::optional<Sha256> whole;
    std::vector<std::unique_ptr<Sha256>> digests;
    std::optional<Digest> crc;
    if (options.manifest) {
        whole.emplace();
    }
    if (options.crcFile) {
        crc.emplace(DigestKind::Crc32);
    }
    CheckedCopier copier((whole ? kDigestLanes : 0) + (crc ? 1 : 0));
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
        std::vector<Digest*> into;
        if (whole) {
            digests.push_back(std::make_unique<Sha256>());
            into = {digests.back().get(), &*whole};
        }
        if (crc) {
            into.push_back(&*crc);
        }
        const InspectedCopier::Inspectors inspectors = Digests(into);
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
    copier.Wait();
    if (crc) {
        WriteCrcFile(piecesAt, length, crc->HexDigest());
        written.Add(CrcFilePath(piecesAt));
        progress.FileCreated(CrcFilePath(piecesAt));
    }
    if (whole) {
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
