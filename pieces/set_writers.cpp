#include "pieces/set_writers.h"

#include <algorithm>
#include <deque>

#include "pieces/checksum_files.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/gf16.h"
#include "pieces/manifest.h"
#include "pieces/notice.h"
#include "pieces/par2_create.h"
#include "pieces/par2_reader.h"
#include "pieces/piece_names.h"

namespace morcelix {

namespace {

// The set's SHA-256 manifest: each piece's digest and the whole file's.
class ManifestWriter : public SetWriter {
  public:
    InspectedCopier::Inspectors PieceLanes(std::uint64_t) override {
        pieces_.push_back(std::make_unique<Sha256>());
        return Digests({pieces_.back().get(), &whole_});
    }
    std::vector<std::string> Write(const std::string& piecesAt, std::int64_t) override {
        Manifest manifest;
        for (const auto& piece : pieces_) {
            manifest.pieces.push_back(piece->HexDigest());
        }
        manifest.whole = whole_.HexDigest();
        WriteManifest(piecesAt, manifest);
        return {ManifestPath(piecesAt)};
    }
    bool Stands(const std::string& piecesAt) const override {
        return ChecksumFileStands(piecesAt, ManifestPath(piecesAt));
    }

  private:
    std::vector<std::unique_ptr<Sha256>> pieces_;
    Sha256 whole_;
};

// The whole file's .crc file: its name, size and CRC-32.
class CrcFileWriter : public SetWriter {
  public:
    InspectedCopier::Inspectors PieceLanes(std::uint64_t) override { return Digests({&crc_}); }
    std::vector<std::string> Write(const std::string& piecesAt, std::int64_t length) override {
        WriteCrcFile(piecesAt, length, crc_.HexDigest());
        return {CrcFilePath(piecesAt)};
    }
    bool Stands(const std::string& piecesAt) const override {
        return ChecksumFileStands(piecesAt, CrcFilePath(piecesAt));
    }

  private:
    Digest crc_{DigestKind::Crc32};
};

// The notice for a recipient without this tool: each piece's size, counted as
// its bytes go by, and the whole file's SHA-256, on one lane; and how the
// recovery files written with it rebuild pieces.
class NoticeWriter : public SetWriter {
  public:
    explicit NoticeWriter(std::uint32_t recoverySlices) : recoverySlices_(recoverySlices) {}
    InspectedCopier::Inspectors PieceLanes(std::uint64_t) override {
        sizes_.push_back(0);
        std::int64_t* size = &sizes_.back();
        return {std::make_shared<const BlockInspector>(
            [this, size](const char* data, std::int32_t count) {
                *size += count;
                whole_.Update(data, static_cast<std::size_t>(count));
            })};
    }
    std::vector<std::string> Write(const std::string& piecesAt, std::int64_t) override {
        WriteNotice(piecesAt, {sizes_.begin(), sizes_.end()}, whole_.HexDigest(), recoverySlices_);
        return {NoticePath(piecesAt)};
    }
    bool Stands(const std::string& piecesAt) const override {
        // Written whole or not at all (ReplaceFileWith), and deleted before a new set is cut.
        return FileExists(NoticePath(piecesAt));
    }
    void RequireWritable(const std::string& piecesAt) const override {
        RequireNameInNotice(piecesAt);
    }

  private:
    std::uint32_t recoverySlices_;
    std::deque<std::int64_t> sizes_;  // a deque: the lanes hold pointers into it
    Sha256 whole_;
};

// The PAR2 recovery files: NAME.par2 and NAME.volAA+BB.par2, able to rebuild
// any N pieces. They are made from the written pieces once the last is on
// the disk, in one more pass over them: the split in place shows its first
// pieces' bytes from the file before they are pieces of their own, so the
// pass can not hash the pieces as they go by in every split.
class RecoveryFilesWriter : public SetWriter {
  public:
    explicit RecoveryFilesWriter(std::uint32_t slices) : slices_(slices) {}
    InspectedCopier::Inspectors PieceLanes(std::uint64_t number) override {
        // Refused as soon as the count is past what the format holds, before
        // any more piece is written; the last piece may be empty and left out.
        if (number > gf16::kMaxInputSlices + 1) {
            throw ETooManyForRecovery(Text::TooManyPiecesForRecovery,
                                      static_cast<std::int64_t>(number));
        }
        pieces_ = std::max(pieces_, number);
        return {};
    }
    std::vector<std::string> Write(const std::string& piecesAt, std::int64_t) override {
        std::vector<std::string> pieces;
        for (std::uint64_t number = 1; number <= pieces_; ++number) {
            pieces.push_back(PieceName(piecesAt, number));
        }
        par2::RecoveryOptions options;
        options.slices = slices_;
        return par2::CreateRecoveryFiles(pieces, par2::RecoveryIndexPath(piecesAt), options);
    }
    bool Stands(const std::string& piecesAt) const override {
        try {
            const std::string index = par2::RecoveryIndexPath(piecesAt);
            for (const std::string& file : par2::RecoveryFileNames(index, slices_)) {
                if (FileSize(file) <= 0) {
                    return false;
                }
            }
            return par2::ReadRecoverySet(index).recovery.size() >= slices_;
        } catch (const Failure&) {
            return false;
        }
    }

  private:
    std::uint32_t slices_;
    std::uint64_t pieces_ = 0;
};

}  // namespace

SetWriters::SetWriters(const SplitSums& sums) {
    if (sums.crcFile) {
        writers_.push_back(std::make_unique<CrcFileWriter>());
        lanes_ += 1;
    }
    if (sums.manifest) {
        writers_.push_back(std::make_unique<ManifestWriter>());
        lanes_ += kDigestLanes;
    }
    if (sums.recovery > 0) {
        writers_.push_back(std::make_unique<RecoveryFilesWriter>(sums.recovery));
    }
    if (sums.notice) {
        writers_.push_back(std::make_unique<NoticeWriter>(sums.recovery));
        lanes_ += 1;
    }
}

bool SetWriters::AllStand(const std::string& piecesAt) const {
    return std::all_of(writers_.begin(), writers_.end(),
                       [&](const auto& writer) { return writer->Stands(piecesAt); });
}

void SetWriters::RequireWritable(const std::string& piecesAt) const {
    for (const auto& writer : writers_) {
        writer->RequireWritable(piecesAt);
    }
}

InspectedCopier::Inspectors SetWriters::PieceLanes(std::uint64_t number) {
    InspectedCopier::Inspectors lanes;
    for (const auto& writer : writers_) {
        for (auto& lane : writer->PieceLanes(number)) {
            lanes.push_back(std::move(lane));
        }
    }
    return lanes;
}

void SetWriters::Write(const std::string& piecesAt, std::int64_t length, ProgressSink& progress,
                       const std::function<void(const std::string&)>& written) {
    for (const auto& writer : writers_) {
        for (const std::string& path : writer->Write(piecesAt, length)) {
            if (written) {
                written(path);
            }
            progress.FileCreated(path);
        }
    }
}

void ShowBytes(const InspectedCopier::Inspectors& inspectors, const char* data, std::int32_t size) {
    for (const auto& inspector : inspectors) {
        (*inspector)(data, size);
    }
}

}  // namespace morcelix
