#include "pieces/set_writers.h"

#include <algorithm>

#include "pieces/checksum_files.h"
#include "pieces/digest.h"
#include "pieces/manifest.h"

namespace morcelix {

namespace {

// The set's SHA-256 manifest: each piece's digest and the whole file's.
class ManifestWriter : public SetWriter {
  public:
    InspectedCopier::Inspectors PieceLanes(std::uint64_t) override {
        pieces_.push_back(std::make_unique<Sha256>());
        return Digests({pieces_.back().get(), &whole_});
    }
    std::string Write(const std::string& piecesAt, std::int64_t) override {
        Manifest manifest;
        for (const auto& piece : pieces_) {
            manifest.pieces.push_back(piece->HexDigest());
        }
        manifest.whole = whole_.HexDigest();
        WriteManifest(piecesAt, manifest);
        return ManifestPath(piecesAt);
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
    std::string Write(const std::string& piecesAt, std::int64_t length) override {
        WriteCrcFile(piecesAt, length, crc_.HexDigest());
        return CrcFilePath(piecesAt);
    }
    bool Stands(const std::string& piecesAt) const override {
        return ChecksumFileStands(piecesAt, CrcFilePath(piecesAt));
    }

  private:
    Digest crc_{DigestKind::Crc32};
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
}

bool SetWriters::AllStand(const std::string& piecesAt) const {
    return std::all_of(writers_.begin(), writers_.end(),
                       [&](const auto& writer) { return writer->Stands(piecesAt); });
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
        const std::string path = writer->Write(piecesAt, length);
        if (written) {
            written(path);
        }
        progress.FileCreated(path);
    }
}

void ShowBytes(const InspectedCopier::Inspectors& inspectors, const char* data, std::int32_t size) {
    for (const auto& inspector : inspectors) {
        (*inspector)(data, size);
    }
}

}  // namespace morcelix
