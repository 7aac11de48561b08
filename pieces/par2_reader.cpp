#include "pieces/par2_reader.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/on_threads.h"

namespace morcelix::par2 {

namespace {

// Packets other than recovery slices are read whole, up to this size (the
// checksums of 32,768 slices take 640 KiB); a larger one is checked and
// skipped.
constexpr std::uint64_t kLargestKept = std::uint64_t{4} << 20;
constexpr std::int32_t kScanBlock = 1 << 20;

bool EndsWithPar2(std::string_view name) {
    if (name.size() < 5) {
        return false;
    }
    std::string end(name.substr(name.size() - 5));
    std::transform(end.begin(), end.end(), end.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return end == ".par2";
}

std::string FileNameOf(const std::string& path) {
    return path.substr(FolderPart(path).size());
}

// What the files of a folder hold, by recovery set id.
struct Found {
    struct Set {
        std::optional<MainPacket> main;
        std::map<Md5, FileDescription> descriptions;
        std::map<Md5, std::vector<SliceChecksum>> checksums;
        std::map<Md5, std::string> unicodeNames;
        std::map<std::uint32_t, RecoverySlice> recovery;
        std::map<std::uint32_t, std::uint64_t> recoveryLengths;
        std::string creator;
    };
    std::map<Md5, Set> sets;
    std::optional<Md5> firstMain;  // the set of the first main packet found
};

class Scanner {
  public:
    Scanner(const std::string& path, TFileStream& file, Found& found)
        : path_(path), file_(file), found_(found), size_(file.Size()) {}

    void Scan() {
        std::string window;
        std::int64_t position = 0;
        while (position + static_cast<std::int64_t>(kHeaderSize) <= size_) {
            const std::int64_t size = std::min<std::int64_t>(kScanBlock, size_ - position);
            window.resize(static_cast<std::size_t>(size));
            ReadAt(position, window.data(), size);
            const std::size_t at = window.find(kMagic);
            if (at == std::string::npos) {
                // The magic may straddle the end of the window.
                position +=
                    std::max<std::int64_t>(1, size - static_cast<std::int64_t>(kMagic.size()) + 1);
                continue;
            }
            const std::int64_t packet = position + static_cast<std::int64_t>(at);
            const std::optional<std::int64_t> length = Packet(packet);
            position = length ? packet + *length : packet + 1;
        }
    }

  private:
    void ReadAt(std::int64_t position, void* buffer, std::int64_t count) {
        file_.SetPosition(position);
        file_.ReadBuffer(buffer, static_cast<std::int32_t>(count));
    }

    // Takes in the packet that begins at `at`, if it is whole and intact;
    // returns its length then.
    std::optional<std::int64_t> Packet(std::int64_t at) {
        if (at + static_cast<std::int64_t>(kHeaderSize) > size_) {
            return std::nullopt;
        }
        std::string head(kHeaderSize, '\0');
        ReadAt(at, head.data(), static_cast<std::int64_t>(kHeaderSize));
        const std::optional<PacketHeader> header = ParseHeader(head);
        if (!header || header->length > static_cast<std::uint64_t>(size_ - at)) {
            return std::nullopt;
        }
        const auto length = static_cast<std::int64_t>(header->length);
        const bool keep = header->type != PacketType::Recovery && header->length <= kLargestKept;
        std::string body;
        Digest md5(DigestKind::Md5);
        md5.Update(head.data() + 32, kHeaderSize - 32);
        std::string block;
        for (std::int64_t done = kHeaderSize; done < length;) {
            const std::int64_t size = std::min<std::int64_t>(kScanBlock, length - done);
            block.resize(static_cast<std::size_t>(size));
            ReadAt(at + done, block.data(), size);
            md5.Update(block.data(), block.size());
            if (keep) {
                body += block;
            }
            done += size;
        }
        if (Md5Bytes(md5) != header->hash) {
            return std::nullopt;
        }
        if (header->type) {
            Take(*header, at, body);
        }
        return length;
    }

    void Take(const PacketHeader& header, std::int64_t at, const std::string& body) {
        Found::Set& set = found_.sets[header.setId];
        switch (*header.type) {
            case PacketType::Main:
                if (auto main = ParseMain(body); main && RecoverySetIdOf(*main) == header.setId) {
                    if (!set.main) {
                        set.main = std::move(main);
                    }
                    if (!found_.firstMain) {
                        found_.firstMain = header.setId;
                    }
                }
                break;
            case PacketType::FileDescription:
                if (auto file = ParseFileDescription(body)) {
                    set.descriptions.emplace(file->fileId, std::move(*file));
                }
                break;
            case PacketType::SliceChecksums:
                if (auto checksums = ParseSliceChecksums(body)) {
                    set.checksums.emplace(checksums->first, std::move(checksums->second));
                }
                break;
            case PacketType::UnicodeName:
                if (auto name = ParseUnicodeName(body)) {
                    set.unicodeNames.emplace(name->first, std::move(name->second));
                }
                break;
            case PacketType::Creator:
                if (set.creator.empty()) {
                    set.creator = NameFieldOf(body);
                }
                break;
            case PacketType::Recovery: {
                if (header.length < kHeaderSize + kRecoveryPrefix) {
                    break;
                }
                std::string exponentBytes(kRecoveryPrefix, '\0');
                ReadAt(at + static_cast<std::int64_t>(kHeaderSize), exponentBytes.data(),
                       static_cast<std::int64_t>(kRecoveryPrefix));
                std::uint32_t exponent = 0;
                for (int i = 3; i >= 0; --i) {
                    exponent = exponent << 8 | static_cast<std::uint8_t>(exponentBytes[i]);
                }
                if (set.recovery.count(exponent) == 0) {
                    set.recovery[exponent] = RecoverySlice{
                        exponent, path_,
                        at + static_cast<std::int64_t>(kHeaderSize + kRecoveryPrefix)};
                    set.recoveryLengths[exponent] = header.length - kHeaderSize - kRecoveryPrefix;
                }
                break;
            }
        }
    }

    static std::string NameFieldOf(const std::string& body) {
        return body.substr(0, body.find('\0'));
    }

    const std::string& path_;
    TFileStream& file_;
    Found& found_;
    const std::int64_t size_;
};

}  // namespace

std::vector<std::string> RecoveryFilesOf(const std::string& indexPath) {
    std::vector<std::string> files;
    if (FileExists(indexPath)) {
        files.push_back(indexPath);
    }
    const std::string indexName = FileNameOf(indexPath);
    const std::string base =
        EndsWithPar2(indexName) ? indexName.substr(0, indexName.size() - 5) : indexName;
    std::vector<std::string> others;
    ForEachEntryBeside(indexPath, [&](const std::string& entry) {
        const std::string name = FileNameOf(entry);
        if (name.size() > base.size() + 1 && name.compare(0, base.size() + 1, base + ".") == 0 &&
            EndsWithPar2(name) && !SameEntryName(name, indexName) && FileExists(entry)) {
            others.push_back(entry);
        }
    });
    std::sort(others.begin(), others.end());
    files.insert(files.end(), others.begin(), others.end());
    return files;
}

namespace {

// Adds what `file` holds to what earlier files held: the first copy found of
// a packet counts.
void Merge(Found& found, Found& file) {
    if (!found.firstMain) {
        found.firstMain = file.firstMain;
    }
    for (auto& [id, from] : file.sets) {
        Found::Set& into = found.sets[id];
        if (!into.main) {
            into.main = std::move(from.main);
        }
        into.descriptions.merge(from.descriptions);
        into.checksums.merge(from.checksums);
        into.unicodeNames.merge(from.unicodeNames);
        into.recovery.merge(from.recovery);
        into.recoveryLengths.merge(from.recoveryLengths);
        if (into.creator.empty()) {
            into.creator = std::move(from.creator);
        }
    }
}

// Scans every file, several at once (the recovery slices' MD5s are most of
// the work), each into its own findings.
std::vector<Found> ScanFiles(const std::vector<std::string>& paths) {
    std::vector<Found> found(paths.size());
    ForEachOnThreads(paths.size(), std::clamp(std::thread::hardware_concurrency(), 1u, 8u),
                     [&](std::size_t i) {
                         std::unique_ptr<TFileStream> file =
                             TFileStream::OpenIfAvailable(paths[i], OpenMode::Read);
                         if (file) {
                             Scanner(paths[i], *file, found[i]).Scan();
                         }
                     });
    return found;
}

}  // namespace

RecoverySet ReadRecoverySet(const std::string& indexPath) {
    const std::vector<std::string> paths = RecoveryFilesOf(indexPath);
    std::vector<Found> scanned = ScanFiles(paths);
    Found found;
    std::optional<Md5> indexMain;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (paths[i] == indexPath) {
            indexMain = scanned[i].firstMain;
        }
        Merge(found, scanned[i]);
    }
    const std::optional<Md5> chosen = indexMain ? indexMain : found.firstMain;
    if (!chosen) {
        throw EBadRecoveryFile(indexPath);
    }
    Found::Set& set = found.sets[*chosen];
    RecoverySet result;
    result.setId = *chosen;
    result.sliceSize = set.main->sliceSize;
    result.creator = set.creator;
    for (const Md5& id : set.main->files) {
        const auto description = set.descriptions.find(id);
        if (description == set.descriptions.end()) {
            throw EBadRecoveryFile(indexPath);
        }
        SetFile file;
        file.description = description->second;
        if (const auto checksums = set.checksums.find(id);
            checksums != set.checksums.end() &&
            static_cast<std::int64_t>(checksums->second.size()) ==
                result.SlicesOf(file.description.length)) {
            file.slices = checksums->second;
            file.checksumsFound = true;
        }
        if (const auto name = set.unicodeNames.find(id); name != set.unicodeNames.end()) {
            file.unicodeName = name->second;
        }
        result.files.push_back(std::move(file));
    }
    for (const auto& [exponent, slice] : set.recovery) {
        if (set.recoveryLengths[exponent] == result.sliceSize && exponent < 65535) {
            result.recovery.push_back(slice);
        }
    }
    return result;
}

}  // namespace morcelix::par2
