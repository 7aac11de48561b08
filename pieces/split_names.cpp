#include "pieces/split_names.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "pieces/checksum_files.h"
#include "pieces/failure.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/piece_set.h"

namespace morcelix {

namespace {

constexpr std::int32_t kCompareBlock = 64 << 10;

// Whether the file `path` holds the first bytes of the `count` of `source`
// from `offset`, all of them or fewer (a split stopped while it wrote it).
bool HoldsBytesAt(const std::string& path, TStream& source, std::int64_t offset,
                  std::int64_t count) {
    const std::unique_ptr<TFileStream> piece = TFileStream::OpenIfAvailable(path, OpenMode::Read);
    if (!piece || piece->Size() > count) {
        return false;
    }
    count = piece->Size();
    source.SetPosition(offset);
    std::vector<char> left(kCompareBlock), right(kCompareBlock);
    while (count > 0) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(count, kCompareBlock));
        if (piece->Read(left.data(), block) != block || source.Read(right.data(), block) != block ||
            !std::equal(left.begin(), left.begin() + block, right.begin())) {
            return false;
        }
        count -= block;
    }
    return true;
}

}  // namespace

void RequireOwnNames(const std::string& piecesAt, std::uint64_t count, std::int64_t pieceSize,
                     const SplitSource& source, bool replaceOthers) {
    const std::string folder = FolderPart(piecesAt);
    if (!folder.empty() && !EntryExists(folder)) {
        return;  // nothing stands there; creating the first piece says why
    }
    std::vector<std::string> inTheWay;
    std::vector<std::string> names;
    ForEachPieceNameBeside(piecesAt,
                           [&](std::uint64_t, const std::string& path) { names.push_back(path); });
    for (const std::string& path : names) {
        const std::uint64_t number = PieceNumberOf(path, piecesAt);
        const std::optional<FileFacts> facts = RegularFileFacts(path);
        if (facts && !IsLink(path) && source.identity && facts->identity == *source.identity) {
            if (source.bytes != nullptr) {
                throw EDestinationIsPiece(path);
            }
            throw EInputIsPiece(path);
        }
        const auto offset = static_cast<std::int64_t>(number - 1) * pieceSize;
        const bool own =
            facts && !IsLink(path) && source.bytes != nullptr && number <= count &&
            HoldsBytesAt(path, *source.bytes, offset, std::min(pieceSize, source.length - offset));
        if (!own) {
            inTheWay.push_back(path);
        }
    }
    // A checksum file that a split of this name writes, and that reads as one
    // about a set of this name, goes with the set it described (replaced, or
    // deleted when the new one has none): another file there is in the way.
    for (const std::string& path : {ManifestPath(piecesAt), CrcFilePath(piecesAt)}) {
        if (!EntryExists(path)) {
            continue;
        }
        bool own = false;
        try {
            own = !IsLink(path) && ReadChecksumFileNamed(piecesAt, path).has_value();
        } catch (const EBadManifest&) {
        }
        if (!own) {
            inTheWay.push_back(path);
        }
    }
    if (inTheWay.empty()) {
        return;
    }
    if (!replaceOthers) {
        std::sort(inTheWay.begin(), inTheWay.end());
        throw EDestinationExists(inTheWay.front());
    }
    for (const std::string& path : inTheWay) {
        if (IsLink(path)) {
            RemoveFile(path);
        }
    }
}

}  // namespace morcelix
