#include "pieces/par2_create.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/gf16.h"
#include "pieces/md5_lanes.h"

namespace morcelix::par2 {

namespace {

std::int64_t RoundUp4(std::int64_t size) {
    return (size + 3) / 4 * 4;
}

std::string FileNameOf(const std::string& path) {
    return path.substr(FolderPart(path).size());
}

std::string BaseOf(const std::string& indexPath) {
    const std::string suffix = ".par2";
    if (indexPath.size() > suffix.size() &&
        indexPath.compare(indexPath.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return indexPath.substr(0, indexPath.size() - suffix.size());
    }
    return indexPath;
}

std::uint32_t CrcValue(Digest& crc) {
    return static_cast<std::uint32_t>(std::stoul(crc.HexDigest(), nullptr, 16));
}

void RequireCounts(std::size_t pieces, std::uint32_t slices) {
    if (slices == 0) {
        throw Failure(Text::InternalError, {});
    }
    if (slices > kMaxRecoverySlices) {
        throw ETooManyForRecovery(Text::TooManyRecoverySlices, slices);
    }
    if (pieces > gf16::kMaxInputSlices) {
        throw ETooManyForRecovery(Text::TooManyPiecesForRecovery,
                                  static_cast<std::int64_t>(pieces));
    }
}

// What the index says of one piece.
struct PieceFacts {
    std::string name;
    std::uint64_t length = 0;
    Md5 hash{}, hash16k{};
    SliceChecksum slice;  // when length > 0
};

// A piece's digests, made along its bytes: its MD5 once (the first 16 KiB's
// is the state at 16 KiB, the slice's the same state carried on over the
// padding) and its CRC-32.
class PieceHashes {
  public:
    void Update(const void* data, std::size_t size) {
        PieceHashes* self = this;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        UpdateTogether(&self, &bytes, &size, 1);
    }
    // Update for several pieces at once, their MD5s side by side.
    static void UpdateTogether(PieceHashes* const* pieces, const std::uint8_t* const* data,
                               const std::size_t* sizes, std::size_t count) {
        constexpr std::size_t kMost = 16;
        for (std::size_t first = 0; first < count; first += kMost) {
            Md5Stream* streams[kMost];
            const std::uint8_t* rest[kMost];
            std::size_t restSizes[kMost];
            const std::size_t members = std::min(kMost, count - first);
            for (std::size_t i = 0; i < members; ++i) {
                PieceHashes& piece = *pieces[first + i];
                const std::uint8_t* bytes = data[first + i];
                std::size_t size = sizes[first + i];
                piece.crc_.Update(bytes, size);
                if (piece.md5_.Length() < kHashedHead) {
                    const auto head = static_cast<std::size_t>(
                        std::min<std::uint64_t>(kHashedHead - piece.md5_.Length(), size));
                    piece.md5_.Update(bytes, head);
                    bytes += head;
                    size -= head;
                    if (piece.md5_.Length() == kHashedHead) {
                        piece.head_ = piece.md5_;
                    }
                }
                streams[i] = &piece.md5_;
                rest[i] = bytes;
                restSizes[i] = size;
            }
            Md5UpdateStreams(streams, rest, restSizes, members);
        }
    }
    std::int64_t Seen() const { return static_cast<std::int64_t>(md5_.Length()); }
    Md5 Head() const {
        return md5_.Length() <= static_cast<std::uint64_t>(kHashedHead) ? md5_.Digest()
                                                                        : head_.Digest();
    }
    // The facts, the slice padded with zeros to `sliceSize`.
    PieceFacts Finish(const std::string& name, std::int64_t sliceSize) {
        PieceFacts facts;
        facts.name = name;
        facts.length = md5_.Length();
        if (facts.length > 0) {
            Md5Stream sliceMd5(md5_);
            Digest sliceCrc(crc_);
            static const std::vector<char> zeros(std::size_t{1} << 16);
            for (std::int64_t left = sliceSize - Seen(); left > 0;) {
                const std::size_t size = static_cast<std::size_t>(
                    std::min<std::int64_t>(left, static_cast<std::int64_t>(zeros.size())));
                sliceMd5.Update(zeros.data(), size);
                sliceCrc.Update(zeros.data(), size);
                left -= static_cast<std::int64_t>(size);
            }
            facts.slice.md5 = sliceMd5.Digest();
            facts.slice.crc = CrcValue(sliceCrc);
        }
        facts.hash = md5_.Digest();
        facts.hash16k = Head();
        return facts;
    }

  private:
    Md5Stream md5_, head_;
    Digest crc_{DigestKind::Crc32};
};

// Files created by an operation, removed unless it succeeds.
class CreatedFiles {
  public:
    ~CreatedFiles() {
        if (!kept_) {
            streams_.clear();
            for (const std::string& path : paths_) {
                RemoveFile(path);
            }
        }
    }
    TFileStream& Create(const std::string& path) {
        streams_.push_back(std::make_unique<TFileStream>(path, OpenMode::Create));
        paths_.push_back(path);
        return *streams_.back();
    }
    std::vector<std::unique_ptr<TFileStream>>& Streams() { return streams_; }
    const std::vector<std::string>& Paths() const { return paths_; }
    void Keep() { kept_ = true; }

  private:
    std::vector<std::string> paths_;
    std::vector<std::unique_ptr<TFileStream>> streams_;
    bool kept_ = false;
};

void WriteAt(TStream& stream, std::int64_t at, const void* data, std::size_t size) {
    stream.SetPosition(at);
    const auto* bytes = static_cast<const char*>(data);
    constexpr std::size_t kBlock = std::size_t{64} << 20;
    for (std::size_t done = 0; done < size; done += kBlock) {
        stream.WriteBuffer(bytes + done, static_cast<std::int32_t>(std::min(kBlock, size - done)));
    }
}

// One piece as known before its slices are computed: what decides the order.
struct PieceId {
    std::string name;
    std::int64_t length = 0;
    Md5 fileId{};
};

// The pieces of nonzero length, by file id: the order of the input slices.
std::vector<std::size_t> SliceOrder(const std::vector<PieceId>& pieces) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].length > 0) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return FileIdLess(pieces[a].fileId, pieces[b].fileId);
    });
    return order;
}

// Makes the recovery data (the outputs of exponents 0 to N-1, through the
// sink) for the slices in `order` (indexes of pieces).
using RecoveryFill =
    std::function<void(const std::vector<std::size_t>& order, const OutputSink& sink)>;
// The pieces' facts once the data is made, in the pieces' order.
using FinalFacts = std::function<std::vector<PieceFacts>()>;

// Writes the index and the recovery files; see CreateRecoveryFiles.
std::vector<std::string> WriteRecoverySet(const std::string& indexPath,
                                          const std::vector<PieceId>& pieces,
                                          std::int64_t sliceSize, const RecoveryOptions& options,
                                          const RecoveryFill& fill, const FinalFacts& finalFacts) {
    RequireCounts(pieces.size(), options.slices);
    const std::vector<std::size_t> order = SliceOrder(pieces);
    const std::vector<std::string> names = RecoveryFileNames(indexPath, options.slices);
    const auto layout = VolumeLayout(options.slices);
    const std::int64_t packetSize =
        static_cast<std::int64_t>(kHeaderSize + kRecoveryPrefix) + sliceSize;

    CreatedFiles created;
    TFileStream& index = created.Create(names[0]);
    // Which file and where each exponent's data goes.
    std::vector<std::pair<TFileStream*, std::int64_t>> places(options.slices);
    for (std::size_t v = 0; v < layout.size(); ++v) {
        TFileStream& volume = created.Create(names[v + 1]);
        for (std::uint32_t k = 0; k < layout[v].second; ++k) {
            places[layout[v].first + k] = {
                &volume, k * packetSize + static_cast<std::int64_t>(kHeaderSize + kRecoveryPrefix)};
        }
    }

    // The set id depends on the file ids only: known before the data is made.
    // An empty piece, which holds no slice, is left out, as the usual tools
    // leave out empty files: they take one listed for a damaged file.
    MainPacket main;
    main.sliceSize = static_cast<std::uint64_t>(sliceSize);
    for (const std::size_t piece : order) {
        main.files.push_back(pieces[piece].fileId);
    }
    const std::vector<Md5>& ids = main.files;
    const Md5 setId = RecoverySetIdOf(main);

    std::vector<RecoveryPacketHash> hashes;
    for (std::uint32_t e = 0; e < options.slices; ++e) {
        hashes.emplace_back(setId, e);
    }
    fill(order, [&](std::int64_t at, const std::uint8_t* const* outputs, std::size_t count,
                    std::size_t size) {
        std::vector<Md5Stream*> streams;
        for (std::size_t output = 0; output < count; ++output) {
            streams.push_back(&hashes[output].Stream());
        }
        const std::vector<std::size_t> sizes(count, size);
        Md5UpdateStreams(streams.data(), outputs, sizes.data(), count);
        for (std::size_t output = 0; output < count; ++output) {
            WriteAt(*places[output].first, places[output].second + at, outputs[output], size);
        }
    });

    const std::vector<PieceFacts> facts = finalFacts();
    std::map<Md5, std::size_t> byId;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        byId.emplace(pieces[i].fileId, i);
    }
    std::string critical = MainPacketBytes(main);
    for (const Md5& id : ids) {
        const PieceFacts& piece = facts[byId[id]];
        FileDescription description{id, piece.hash, piece.hash16k, piece.length, piece.name};
        critical += FileDescriptionPacketBytes(setId, description);
        std::vector<SliceChecksum> slices;
        if (piece.length > 0) {
            slices.push_back(piece.slice);
        }
        critical += SliceChecksumPacketBytes(setId, id, slices);
        if (auto unicode = UnicodeNamePacketBytes(setId, id, piece.name)) {
            critical += *unicode;
        }
    }
    critical += CreatorPacketBytes(setId, options.creator);

    WriteAt(index, 0, critical.data(), critical.size());
    for (std::size_t v = 0; v < layout.size(); ++v) {
        TFileStream& volume = *created.Streams()[v + 1];
        for (std::uint32_t k = 0; k < layout[v].second; ++k) {
            const std::uint32_t exponent = layout[v].first + k;
            const std::string head =
                RecoveryPacketHead(setId, exponent, main.sliceSize, hashes[exponent].Finish());
            WriteAt(volume, k * packetSize, head.data(), head.size());
        }
        WriteAt(volume, layout[v].second * packetSize, critical.data(), critical.size());
    }
    for (auto& stream : created.Streams()) {
        stream->Flush();
    }
    FlushFolderOf(indexPath);
    created.Keep();
    return created.Paths();
}

// The combination that makes the recovery slices of `order`'s pieces.
Combination RecoveryCombination(const std::vector<std::string>& paths,
                                const std::vector<std::int64_t>& lengths,
                                const std::vector<std::size_t>& order, std::int64_t sliceSize,
                                std::uint32_t slices) {
    Combination combination;
    combination.sliceSize = sliceSize;
    for (const std::size_t piece : order) {
        combination.inputs.push_back(SliceSource{paths[piece], 0, lengths[piece]});
    }
    combination.outputs = slices;
    combination.coefficient = [](std::size_t exponent, std::size_t slice) {
        return gf16::RecoveryCoefficient(static_cast<std::uint32_t>(slice),
                                         static_cast<std::uint32_t>(exponent));
    };
    return combination;
}

// Makes the recovery slices of pieces on disk, rehashing them as they are
// read; each piece's facts must stay those it had (its size, its date).
struct PiecesOnDisk {
    std::vector<std::string> paths;
    std::vector<std::int64_t> lengths;
    std::vector<FileFacts> facts;
    std::vector<PieceHashes> hashes;

    void Fill(const std::vector<std::size_t>& order, std::int64_t sliceSize,
              const RecoveryOptions& options, const OutputSink& sink, ProgressSink* progress) {
        hashes.clear();
        hashes.resize(paths.size());
        Compute(
            RecoveryCombination(paths, lengths, order, sliceSize, options.slices), options.limits,
            [&](const InputBlock* blocks, std::size_t count) {
                PieceHashes* pieces[kObservedAtOnce];
                const std::uint8_t* data[kObservedAtOnce];
                std::size_t sizes[kObservedAtOnce];
                for (std::size_t b = 0; b < count; ++b) {
                    pieces[b] = &hashes[order[blocks[b].input]];
                    data[b] = blocks[b].data;
                    sizes[b] = blocks[b].size;
                }
                PieceHashes::UpdateTogether(pieces, data, sizes, count);
            },
            sink, progress);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (RegularFileFacts(paths[i]) != std::optional<FileFacts>(facts[i])) {
                throw EChangedDuringSplit(paths[i]);
            }
        }
    }
};

}  // namespace

std::string RecoveryIndexPath(const std::string& base) {
    return base + ".par2";
}

std::vector<std::string> RecoveryFileNames(const std::string& indexPath, std::uint32_t slices) {
    const std::string base = BaseOf(indexPath);
    std::vector<std::string> names{indexPath};
    const auto layout = VolumeLayout(slices);
    if (!layout.empty()) {
        const auto& [lastFirst, lastCount] = layout.back();
        std::uint32_t widestCount = 0;
        for (const auto& file : layout) {
            widestCount = std::max(widestCount, file.second);
        }
        for (const auto& [first, count] : layout) {
            names.push_back(VolumeFileName(base, first, count, lastFirst, widestCount));
        }
        (void)lastCount;
    }
    return names;
}

std::vector<std::string> CreateRecoveryFiles(const std::vector<std::string>& pieces,
                                             const std::string& indexPath,
                                             const RecoveryOptions& options,
                                             ProgressSink* progress) {
    RequireCounts(pieces.size(), options.slices);
    PiecesOnDisk disk;
    disk.paths = pieces;
    std::vector<PieceId> ids;
    std::int64_t largest = 0;
    for (const std::string& path : pieces) {
        TFileStream piece(path, OpenMode::Read);
        const FileFacts facts = piece.OpenedFacts();
        std::string head(static_cast<std::size_t>(std::min(facts.size, kHashedHead)), '\0');
        piece.ReadBuffer(head.data(), static_cast<std::int32_t>(head.size()));
        const std::string name = FileNameOf(path);
        ids.push_back(PieceId{name, facts.size,
                              FileIdOf(Md5Of(head.data(), head.size()),
                                       static_cast<std::uint64_t>(facts.size), name)});
        disk.lengths.push_back(facts.size);
        disk.facts.push_back(facts);
        largest = std::max(largest, facts.size);
    }
    const std::int64_t sliceSize = std::max<std::int64_t>(4, RoundUp4(largest));
    return WriteRecoverySet(
        indexPath, ids, sliceSize, options,
        [&](const std::vector<std::size_t>& order, const OutputSink& sink) {
            disk.Fill(order, sliceSize, options, sink, progress);
        },
        [&] {
            std::vector<PieceFacts> facts;
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                facts.push_back(disk.hashes[i].Finish(ids[i].name, sliceSize));
                if (FileIdOf(facts.back().hash16k, facts.back().length, ids[i].name) !=
                    ids[i].fileId) {
                    throw EChangedDuringSplit(pieces[i]);
                }
            }
            return facts;
        });
}

std::vector<PlannedPiece> PieceOrderOf(const std::string& source, std::int64_t pieceSize,
                                       const std::vector<std::string>& pieceNames) {
    TFileStream file(source, OpenMode::Read);
    const std::int64_t size = file.OpenedFacts().size;
    std::vector<PlannedPiece> ids;
    std::string head;
    for (std::size_t i = 0; i < pieceNames.size(); ++i) {
        const std::int64_t start = static_cast<std::int64_t>(i) * pieceSize;
        const std::int64_t length = std::clamp<std::int64_t>(size - start, 0, pieceSize);
        head.resize(static_cast<std::size_t>(std::min(length, kHashedHead)));
        if (!head.empty()) {
            file.SetPosition(start);
            file.ReadBuffer(head.data(), static_cast<std::int32_t>(head.size()));
        }
        ids.push_back(PlannedPiece{FileIdOf(Md5Of(head.data(), head.size()),
                                            static_cast<std::uint64_t>(length), pieceNames[i]),
                                   length});
    }
    return ids;
}

// What the split's own bytes give of a piece: the MD5 of its first 16 KiB
// (the state there, from which its whole MD5 goes on) and its CRC-32, with
// the CRC's state at 16 KiB, from which the rest read back must give the
// same CRC: the check that the piece is what the split wrote.
class SplitBytes {
  public:
    void Update(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        if (seen_ < kHashedHead) {
            const auto head = static_cast<std::size_t>(
                std::min<std::int64_t>(kHashedHead - seen_, static_cast<std::int64_t>(size)));
            head_.Update(bytes, head);
            crc_.Update(bytes, head);
            bytes += head;
            size -= head;
            seen_ += static_cast<std::int64_t>(head);
            if (seen_ == kHashedHead) {
                crcHead_ = Digest(crc_);
            }
        }
        crc_.Update(bytes, size);
        seen_ += static_cast<std::int64_t>(size);
    }
    std::int64_t Seen() const { return seen_; }
    const Md5Stream& HeadState() const { return head_; }
    Md5 Head() const { return head_.Digest(); }
    const Digest& HeadCrcState() const { return crcHead_; }
    std::uint32_t Crc() const {
        Digest crc(crc_);
        return CrcValue(crc);
    }

  private:
    Md5Stream head_;
    Digest crc_{DigestKind::Crc32}, crcHead_{DigestKind::Crc32};
    std::int64_t seen_ = 0;
};

// The CRC-32 `crc` carried on over `count` zeros.
std::uint32_t CrcOverZeros(std::uint32_t crc, std::int64_t count) {
    static const std::vector<Bytef> zeros(std::size_t{1} << 16);
    while (count > 0) {
        const auto size = static_cast<std::size_t>(
            std::min<std::int64_t>(count, static_cast<std::int64_t>(zeros.size())));
        crc = static_cast<std::uint32_t>(crc32_z(crc, zeros.data(), size));
        count -= static_cast<std::int64_t>(size);
    }
    return crc;
}

// The pieces' MD5s past their first 16 KiB, read back from the pieces the
// split has written (most still in the system's cache), 16 at a time side by
// side, on a thread of its own while the split goes on: the split's own
// thread does no MD5 but the first 16 KiB's. Each piece read back is checked
// against the CRC-32 of what the split wrote.
class PieceHasher {
  public:
    struct Piece {
        std::string path;
        SplitBytes bytes;
        Md5Stream whole;  // once hashed
    };

    PieceHasher() : thread_([this] { Serve(); }) {}
    ~PieceHasher() { Stop(); }
    PieceHasher(const PieceHasher&) = delete;
    PieceHasher& operator=(const PieceHasher&) = delete;

    // The piece is written: to be hashed. Raises the hashing's failure as
    // soon as there is one, which ends the split at its next piece.
    void Add(Piece* piece) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (failure_) {
                std::rethrow_exception(failure_);
            }
            waiting_.push_back(piece);
        }
        wake_.notify_one();
    }
    // Hashes what is left and returns once every piece is; raises the first
    // failure (EChangedDuringSplit, a read's).
    void Finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }
    // Ends the thread once its batch is hashed; the rest is not.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_ = true;
            stop_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    static constexpr std::size_t kBatch = 16;
    static constexpr std::int32_t kBlock = 1 << 19;

    void Serve() {
        std::vector<std::vector<std::uint8_t>> buffers(kBatch, std::vector<std::uint8_t>(kBlock));
        for (;;) {
            std::vector<Piece*> batch;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                // Each wait ends: 16 pieces come, or Finish or Stop says so.
                wake_.wait(lock, [&] { return stop_ || last_ || waiting_.size() >= kBatch; });
                if (stop_ || (last_ && waiting_.empty())) {
                    return;
                }
                const auto take = static_cast<std::ptrdiff_t>(std::min(kBatch, waiting_.size()));
                batch.assign(waiting_.begin(), waiting_.begin() + take);
                waiting_.erase(waiting_.begin(), waiting_.begin() + take);
            }
            try {
                Hash(batch, buffers);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                failure_ = std::current_exception();
                return;
            }
        }
    }

    static void Hash(const std::vector<Piece*>& batch,
                     std::vector<std::vector<std::uint8_t>>& buffers) {
        std::vector<std::unique_ptr<TFileStream>> files;
        std::vector<std::int64_t> left;
        std::vector<Digest> crcs;
        for (Piece* piece : batch) {
            piece->whole = piece->bytes.HeadState();
            const std::int64_t seen = piece->bytes.Seen();
            left.push_back(seen - std::min(seen, kHashedHead));
            crcs.push_back(piece->bytes.HeadCrcState());
            files.emplace_back();
            if (left.back() > 0) {
                files.back() = std::make_unique<TFileStream>(piece->path, OpenMode::Read);
                if (files.back()->OpenedFacts().size != seen) {
                    throw EChangedDuringSplit(piece->path);
                }
                files.back()->SetPosition(kHashedHead);
            }
        }
        for (bool more = true; more;) {
            more = false;
            Md5Stream* streams[kBatch];
            const std::uint8_t* data[kBatch];
            std::size_t sizes[kBatch];
            std::size_t count = 0;
            for (std::size_t i = 0; i < batch.size(); ++i) {
                const auto size =
                    static_cast<std::int32_t>(std::min<std::int64_t>(left[i], kBlock));
                if (size == 0) {
                    continue;
                }
                files[i]->ReadBuffer(buffers[i].data(), size);
                crcs[i].Update(buffers[i].data(), static_cast<std::size_t>(size));
                left[i] -= size;
                more = more || left[i] > 0;
                streams[count] = &batch[i]->whole;
                data[count] = buffers[i].data();
                sizes[count++] = static_cast<std::size_t>(size);
            }
            Md5UpdateStreams(streams, data, sizes, count);
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (files[i] && CrcValue(crcs[i]) != batch[i]->bytes.Crc()) {
                throw EChangedDuringSplit(batch[i]->path);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Piece*> waiting_;
    bool last_ = false, stop_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: started once the rest is ready
};

class RecoveryWriter::State {
  public:
    State(std::int64_t pieceSize, const RecoveryOptions& options,
          std::optional<std::vector<PlannedPiece>> pieceIds,
          std::optional<std::int64_t> largestPiece)
        : options_(options), planned_(std::move(pieceIds)) {
        RequireCounts(0, options.slices);
        const std::int64_t largest = largestPiece ? std::min(*largestPiece, pieceSize) : pieceSize;
        capacity_ = std::max<std::int64_t>(4, RoundUp4(largest));
        const bool ordered = options.slices == 1 || planned_.has_value();
        const std::uint64_t memory = std::uint64_t(capacity_) * options.slices;
        inPass_ = ordered && memory <= options.limits.memory;
        if (inPass_) {
            sums_.assign(options.slices,
                         std::vector<std::uint8_t>(static_cast<std::size_t>(capacity_)));
            stage_.resize(kStage);
            hasher_ = std::make_unique<PieceHasher>();
        }
        if (planned_) {
            // The rank of each planned piece among the slices, by file id; an
            // empty piece holds no slice.
            std::vector<PieceId> ids;
            for (const PlannedPiece& piece : *planned_) {
                ids.push_back(PieceId{"", piece.length, piece.fileId});
            }
            const std::vector<std::size_t> order = SliceOrder(ids);
            plannedRank_.assign(planned_->size(), 0);
            for (std::size_t rank = 0; rank < order.size(); ++rank) {
                plannedRank_[order[rank]] = rank;
            }
        }
    }

    void BeginPiece(const std::string& path) {
        if (pieces_.size() >= gf16::kMaxInputSlices) {
            throw ETooManyForRecovery(Text::TooManyPiecesForRecovery,
                                      static_cast<std::int64_t>(pieces_.size()) + 1);
        }
        if (planned_ && pieces_.size() >= planned_->size()) {
            LeavePass();
        }
        pieces_.push_back(std::make_unique<PieceHasher::Piece>());
        pieces_.back()->path = path;
        position_ = 0;
        staged_ = 0;
    }

    void Add(const void* data, std::size_t size) {
        SplitBytes& bytes = pieces_.back()->bytes;
        bytes.Update(data, size);
        if (!inPass_) {
            return;
        }
        if (bytes.Seen() > capacity_) {
            LeavePass();
            return;
        }
        // Whole words straight from the split's block; a word that a block
        // boundary cuts goes through the stage.
        const auto* in = static_cast<const std::uint8_t*>(data);
        if (staged_ == 1 && size > 0) {
            stage_[staged_++] = *in++;
            --size;
            Spend();
        }
        const std::size_t words = size & ~std::size_t{1};
        AddWords(in, words);
        position_ += static_cast<std::int64_t>(words);
        if (size > words) {
            stage_[staged_++] = in[words];
        }
    }

    void EndPiece() {
        if (inPass_) {
            Spend();
        }
        const std::size_t i = pieces_.size() - 1;
        if (planned_ && inPass_) {
            const PieceId piece = FactsId(i);
            const PlannedPiece& plan = (*planned_)[i];
            if (piece.fileId != plan.fileId || piece.length != plan.length) {
                LeavePass();  // not the piece planned: the ranks are wrong
            }
        }
        if (inPass_) {
            hasher_->Add(pieces_.back().get());
        }
    }

    std::vector<std::string> Finish(const std::string& indexPath, ProgressSink* progress) {
        if (planned_ && pieces_.size() != planned_->size()) {
            LeavePass();
        }
        std::vector<PieceId> ids;
        std::vector<std::string> paths;
        std::int64_t largest = 0;
        for (std::size_t i = 0; i < pieces_.size(); ++i) {
            ids.push_back(FactsId(i));
            paths.push_back(pieces_[i]->path);
            largest = std::max(largest, ids.back().length);
        }
        const std::int64_t sliceSize = std::max<std::int64_t>(4, RoundUp4(largest));
        std::optional<PiecesOnDisk> disk;
        if (!inPass_) {
            disk.emplace();
            disk->paths = paths;
            for (std::size_t i = 0; i < paths.size(); ++i) {
                const std::optional<FileFacts> facts = RegularFileFacts(paths[i]);
                if (!facts || facts->size != ids[i].length) {
                    throw EChangedDuringSplit(paths[i]);
                }
                disk->lengths.push_back(facts->size);
                disk->facts.push_back(*facts);
            }
        }
        return WriteRecoverySet(
            indexPath, ids, sliceSize, options_,
            [&](const std::vector<std::size_t>& order, const OutputSink& sink) {
                if (disk) {
                    disk->Fill(order, sliceSize, options_, sink, progress);
                    return;
                }
                hasher_->Finish();
                std::vector<const std::uint8_t*> outputs;
                for (const std::vector<std::uint8_t>& sum : sums_) {
                    outputs.push_back(sum.data());
                }
                sink(0, outputs.data(), outputs.size(), static_cast<std::size_t>(sliceSize));
            },
            [&] {
                std::vector<PieceFacts> facts;
                for (std::size_t i = 0; i < pieces_.size(); ++i) {
                    const SplitBytes& bytes = pieces_[i]->bytes;
                    const std::uint32_t sliceCrc =
                        CrcOverZeros(bytes.Crc(), bytes.Seen() > 0 ? sliceSize - bytes.Seen() : 0);
                    if (disk) {
                        // Read again whole: it must be what the split wrote.
                        const PieceFacts reread = disk->hashes[i].Finish(ids[i].name, sliceSize);
                        if (reread.length != static_cast<std::uint64_t>(bytes.Seen()) ||
                            reread.hash16k != bytes.Head() ||
                            (bytes.Seen() > 0 && reread.slice.crc != sliceCrc)) {
                            throw EChangedDuringSplit(paths[i]);
                        }
                        facts.push_back(reread);
                        continue;
                    }
                    PieceFacts piece;
                    piece.name = ids[i].name;
                    piece.length = static_cast<std::uint64_t>(bytes.Seen());
                    const Md5Stream& whole = pieces_[i]->whole;
                    piece.hash = whole.Digest();
                    piece.hash16k = bytes.Head();
                    if (bytes.Seen() > 0) {
                        Md5Stream slice(whole);
                        static const std::vector<std::uint8_t> zeros(std::size_t{1} << 16);
                        for (std::int64_t left = sliceSize - bytes.Seen(); left > 0;) {
                            const auto size = static_cast<std::size_t>(std::min<std::int64_t>(
                                left, static_cast<std::int64_t>(zeros.size())));
                            slice.Update(zeros.data(), size);
                            left -= static_cast<std::int64_t>(size);
                        }
                        piece.slice.md5 = slice.Digest();
                        piece.slice.crc = sliceCrc;
                    }
                    facts.push_back(piece);
                }
                return facts;
            });
    }

    bool InPass() const { return inPass_; }

  private:
    // A 16-bit word cut by the end of a block, or a piece's last byte.
    static constexpr std::size_t kStage = 2;

    PieceId FactsId(std::size_t i) const {
        const SplitBytes& bytes = pieces_[i]->bytes;
        const std::string name = FileNameOf(pieces_[i]->path);
        return PieceId{name, bytes.Seen(),
                       FileIdOf(bytes.Head(), static_cast<std::uint64_t>(bytes.Seen()), name)};
    }

    // The recovery slices will be made from the written pieces, which give
    // their MD5s then.
    void LeavePass() {
        inPass_ = false;
        if (hasher_) {
            hasher_->Stop();
        }
    }

    // Adds `bytes` (even) of the current piece, from the sums' position,
    // into every sum.
    void AddWords(const std::uint8_t* data, std::size_t bytes) {
        if (bytes == 0) {
            return;
        }
        const std::size_t piece = pieces_.size() - 1;
        for (std::uint32_t e = 0; e < options_.slices; ++e) {
            const std::uint16_t coefficient =
                e == 0
                    ? 1
                    : gf16::RecoveryCoefficient(static_cast<std::uint32_t>(plannedRank_[piece]), e);
            gf16::MultiplyAdd(coefficient, data, sums_[e].data() + position_, bytes);
        }
    }

    // Adds the staged bytes (a word, or a piece's last byte) into every sum.
    void Spend() {
        if (staged_ == 0) {
            return;
        }
        if (staged_ == 1) {
            stage_[1] = 0;  // the end of a piece: the padding's first byte
        }
        AddWords(stage_.data(), 2);
        position_ += static_cast<std::int64_t>(staged_);
        staged_ = 0;
    }

    RecoveryOptions options_;
    std::optional<std::vector<PlannedPiece>> planned_;
    std::vector<std::size_t> plannedRank_;
    std::int64_t capacity_ = 0;
    bool inPass_ = false;
    std::vector<std::vector<std::uint8_t>> sums_;
    std::vector<std::uint8_t> stage_;
    std::size_t staged_ = 0;
    std::int64_t position_ = 0;
    // Each piece apart on the heap: the hasher holds them as the list grows.
    std::vector<std::unique_ptr<PieceHasher::Piece>> pieces_;
    std::unique_ptr<PieceHasher> hasher_;  // after the pieces: it ends first
};

RecoveryWriter::RecoveryWriter(std::int64_t pieceSize, const RecoveryOptions& options,
                               std::optional<std::vector<PlannedPiece>> pieceIds,
                               std::optional<std::int64_t> largestPiece)
    : state_(std::make_unique<State>(pieceSize, options, std::move(pieceIds), largestPiece)) {}

RecoveryWriter::~RecoveryWriter() = default;

void RecoveryWriter::BeginPiece(const std::string& path) {
    state_->BeginPiece(path);
}

void RecoveryWriter::Add(const void* data, std::size_t size) {
    state_->Add(data, size);
}

void RecoveryWriter::EndPiece() {
    state_->EndPiece();
}

std::vector<std::string> RecoveryWriter::Finish(const std::string& indexPath,
                                                ProgressSink* progress) {
    return state_->Finish(indexPath, progress);
}

bool RecoveryWriter::SlicesInPass() const {
    return state_->InPass();
}

}  // namespace morcelix::par2
