#include "pieces/par2_repair.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/gf16.h"
#include "pieces/md5_lanes.h"
#include "pieces/on_threads.h"

namespace morcelix::par2 {

namespace {

constexpr std::int32_t kReadBlock = 1 << 20;

// A name that stays in the index's folder.
bool SafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

unsigned ThreadsOf(const ComputeLimits& limits) {
    return limits.threads != 0 ? limits.threads
                               : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

// The MD5s of whole files, read through the file layer: up to 16 files at a
// time, a block of each in turn, hashed side by side (md5_lanes.h).
constexpr std::size_t kHashedTogether = 16;
constexpr std::int32_t kHashBlock = 1 << 19;

std::vector<Md5> FileMd5s(const std::vector<std::string>& paths) {
    std::vector<std::unique_ptr<TFileStream>> files;
    std::vector<std::int64_t> left;
    for (const std::string& path : paths) {
        files.push_back(std::make_unique<TFileStream>(path, OpenMode::Read));
        left.push_back(files.back()->OpenedFacts().size);
    }
    std::vector<Md5Stream> md5(paths.size());
    std::vector<std::vector<std::uint8_t>> buffers(paths.size(),
                                                   std::vector<std::uint8_t>(kHashBlock));
    for (bool more = true; more;) {
        more = false;
        std::vector<Md5Stream*> streams;
        std::vector<const std::uint8_t*> data;
        std::vector<std::size_t> sizes;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::int32_t size =
                static_cast<std::int32_t>(std::min<std::int64_t>(left[i], kHashBlock));
            if (size == 0) {
                continue;
            }
            files[i]->ReadBuffer(buffers[i].data(), size);
            left[i] -= size;
            more = more || left[i] > 0;
            streams.push_back(&md5[i]);
            data.push_back(buffers[i].data());
            sizes.push_back(static_cast<std::size_t>(size));
        }
        Md5UpdateStreams(streams.data(), data.data(), sizes.data(), streams.size());
    }
    std::vector<Md5> digests;
    for (const Md5Stream& stream : md5) {
        digests.push_back(stream.Digest());
    }
    return digests;
}

// Whether each slice of the file `path` has the CRC-32 of `file`'s slices.
bool SliceCrcsMatch(const std::string& path, const SetFile& file, std::int64_t sliceSize,
                    std::vector<char>& buffer) {
    TFileStream stream(path, OpenMode::Read);
    std::int64_t left = stream.OpenedFacts().size;
    for (const SliceChecksum& slice : file.slices) {
        Digest crc(DigestKind::Crc32);
        for (std::int64_t inSlice = sliceSize; inSlice > 0;) {
            const std::int32_t size =
                static_cast<std::int32_t>(std::min<std::int64_t>(inSlice, kReadBlock));
            const std::int32_t present =
                static_cast<std::int32_t>(std::clamp<std::int64_t>(left, 0, size));
            stream.ReadBuffer(buffer.data(), present);
            std::fill(buffer.data() + present, buffer.data() + size, '\0');  // the padding
            crc.Update(buffer.data(), static_cast<std::size_t>(size));
            left -= present;
            inSlice -= size;
        }
        if (std::stoul(crc.HexDigest(), nullptr, 16) != slice.crc) {
            return false;
        }
    }
    return true;
}

bool Intact(const PieceStatus& piece) {
    return piece.condition == PieceCondition::Intact;
}

// The rows of a linear system, kept reduced: tells whether a new row adds a
// new equation.
class Echelon {
  public:
    explicit Echelon(std::size_t columns) : columns_(columns) {}
    std::size_t Rank() const { return rows_.size(); }
    bool Add(std::vector<std::uint16_t> row) {
        for (std::size_t r = 0; r < rows_.size(); ++r) {
            const std::uint16_t factor = row[pivots_[r]];
            if (factor != 0) {
                for (std::size_t c = 0; c < columns_; ++c) {
                    row[c] ^= gf16::Multiply(factor, rows_[r][c]);
                }
            }
        }
        const auto pivot =
            std::find_if(row.begin(), row.end(), [](std::uint16_t v) { return v != 0; });
        if (pivot == row.end()) {
            return false;
        }
        const std::uint16_t scale = gf16::Inverse(*pivot);
        for (std::uint16_t& value : row) {
            value = gf16::Multiply(value, scale);
        }
        pivots_.push_back(static_cast<std::size_t>(pivot - row.begin()));
        rows_.push_back(std::move(row));
        return true;
    }

  private:
    std::size_t columns_;
    std::vector<std::vector<std::uint16_t>> rows_;
    std::vector<std::size_t> pivots_;
};

// The inverse of a square matrix known to be invertible (Gauss-Jordan).
std::vector<std::vector<std::uint16_t>> Inverse(std::vector<std::vector<std::uint16_t>> a) {
    const std::size_t n = a.size();
    std::vector<std::vector<std::uint16_t>> inverse(n, std::vector<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        inverse[i][i] = 1;
    }
    for (std::size_t column = 0; column < n; ++column) {
        std::size_t pivot = column;
        while (a[pivot][column] == 0) {
            ++pivot;  // exists: the rows were chosen independent
        }
        std::swap(a[pivot], a[column]);
        std::swap(inverse[pivot], inverse[column]);
        const std::uint16_t scale = gf16::Inverse(a[column][column]);
        for (std::size_t c = 0; c < n; ++c) {
            a[column][c] = gf16::Multiply(a[column][c], scale);
            inverse[column][c] = gf16::Multiply(inverse[column][c], scale);
        }
        for (std::size_t row = 0; row < n; ++row) {
            const std::uint16_t factor = a[row][column];
            if (row == column || factor == 0) {
                continue;
            }
            for (std::size_t c = 0; c < n; ++c) {
                a[row][c] ^= gf16::Multiply(factor, a[column][c]);
                inverse[row][c] ^= gf16::Multiply(factor, inverse[column][c]);
            }
        }
    }
    return inverse;
}

// Files written by the rebuild, removed unless they are renamed into place.
class RebuildFiles {
  public:
    ~RebuildFiles() {
        streams_.clear();
        for (const std::string& path : paths_) {
            if (!path.empty()) {
                RemoveFile(path);
            }
        }
    }
    TFileStream& Create(const std::string& path) {
        paths_.push_back(path);
        streams_.push_back(std::make_unique<TFileStream>(path, OpenMode::Create));
        return *streams_.back();
    }
    TFileStream& Stream(std::size_t i) { return *streams_[i]; }
    void CloseAll() { streams_.clear(); }
    // The file `i` has its final name: not to be removed.
    void Renamed(std::size_t i) { paths_[i].clear(); }

  private:
    std::vector<std::string> paths_;
    std::vector<std::unique_ptr<TFileStream>> streams_;
};

}  // namespace

std::int64_t RepairSurvey::PiecesToRebuild() const {
    return std::count_if(pieces.begin(), pieces.end(),
                         [](const PieceStatus& piece) { return !Intact(piece); });
}

std::int64_t RepairSurvey::SlicesToRebuild() const {
    std::int64_t slices = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!Intact(pieces[i])) {
            slices += set.SlicesOf(set.files[i].description.length);
        }
    }
    return slices;
}

std::int64_t RepairSurvey::RebuildablePieces() const {
    std::vector<std::int64_t> sizes;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!Intact(pieces[i])) {
            sizes.push_back(set.SlicesOf(set.files[i].description.length));
        }
    }
    std::sort(sizes.begin(), sizes.end());
    std::int64_t left = RecoverySlices(), count = 0;
    for (const std::int64_t size : sizes) {
        if (size > left) {
            break;
        }
        left -= size;
        ++count;
    }
    return count;
}

RepairSurvey SurveyPieces(const std::string& indexPath, const ComputeLimits& limits,
                          PieceCheck check) {
    RepairSurvey survey;
    survey.indexPath = indexPath;
    survey.set = ReadRecoverySet(indexPath);
    std::int64_t slices = 0;
    for (const SetFile& file : survey.set.files) {
        if (!SafeName(file.description.name)) {
            throw EBadRecoveryFile(indexPath);
        }
        slices += survey.set.SlicesOf(file.description.length);
        survey.pieces.push_back(PieceStatus{FolderPart(indexPath) + file.description.name});
    }
    if (slices > static_cast<std::int64_t>(gf16::kMaxInputSlices)) {
        throw EBadRecoveryFile(indexPath);
    }
    // Missing, of another length, or checked by CRC-32 first; the MD5s then,
    // side by side, of the pieces left to check.
    std::vector<std::size_t> byMd5;
    const bool byCrc = check == PieceCheck::SliceCrc;
    ForEachOnThreads(survey.pieces.size(), ThreadsOf(limits), [&](std::size_t i) {
        thread_local std::vector<char> buffer(kReadBlock);
        PieceStatus& piece = survey.pieces[i];
        const FileDescription& description = survey.set.files[i].description;
        const std::optional<FileFacts> facts = RegularFileFacts(piece.path);
        if (!facts) {
            piece.condition = PieceCondition::Missing;
        } else if (static_cast<std::uint64_t>(facts->size) != description.length) {
            piece.condition = PieceCondition::Damaged;
        } else if (byCrc && survey.set.files[i].checksumsFound) {
            piece.condition =
                SliceCrcsMatch(piece.path, survey.set.files[i],
                               static_cast<std::int64_t>(survey.set.sliceSize), buffer)
                    ? PieceCondition::Intact
                    : PieceCondition::Damaged;
        } else {
            piece.condition = PieceCondition::Intact;  // unless its MD5 differs
        }
    });
    for (std::size_t i = 0; i < survey.pieces.size(); ++i) {
        if (Intact(survey.pieces[i]) && !(byCrc && survey.set.files[i].checksumsFound)) {
            byMd5.push_back(i);
        }
    }
    const std::size_t batches = (byMd5.size() + kHashedTogether - 1) / kHashedTogether;
    ForEachOnThreads(batches, ThreadsOf(limits), [&](std::size_t b) {
        std::vector<std::string> paths;
        const std::size_t first = b * kHashedTogether;
        for (std::size_t k = first; k < std::min(byMd5.size(), first + kHashedTogether); ++k) {
            paths.push_back(survey.pieces[byMd5[k]].path);
        }
        const std::vector<Md5> digests = FileMd5s(paths);
        for (std::size_t k = 0; k < paths.size(); ++k) {
            const std::size_t i = byMd5[first + k];
            if (digests[k] != survey.set.files[i].description.hash) {
                survey.pieces[i].condition = PieceCondition::Damaged;
            }
        }
    });
    return survey;
}

std::string RebuildFileOf(const std::string& piece) {
    return piece + ".reconstruction";
}

std::vector<std::string> RebuildPieces(const RepairSurvey& survey, const ComputeLimits& limits,
                                       ProgressSink* progress) {
    const RecoverySet& set = survey.set;
    const auto sliceSize = static_cast<std::int64_t>(set.sliceSize);

    // Every slice of the set: its file, its place in it, its global index.
    struct Slice {
        std::size_t file;
        std::int64_t offset;
        std::int64_t length;
    };
    std::vector<Slice> slices;
    for (std::size_t f = 0; f < set.files.size(); ++f) {
        const auto length = static_cast<std::int64_t>(set.files[f].description.length);
        for (std::int64_t at = 0; at < length; at += sliceSize) {
            slices.push_back(Slice{f, at, std::min(sliceSize, length - at)});
        }
    }
    std::vector<std::size_t> lost, kept;
    for (std::size_t g = 0; g < slices.size(); ++g) {
        (Intact(survey.pieces[slices[g].file]) ? kept : lost).push_back(g);
    }
    std::vector<std::size_t> rebuilt;  // the files to rebuild
    for (std::size_t f = 0; f < survey.pieces.size(); ++f) {
        if (!Intact(survey.pieces[f])) {
            rebuilt.push_back(f);
        }
    }
    if (rebuilt.empty()) {
        return {};
    }

    // The recovery slices whose equations, on the lost slices, are independent.
    const std::size_t m = lost.size();
    Echelon echelon(m);
    std::vector<const RecoverySlice*> chosen;
    for (const RecoverySlice& recovery : set.recovery) {
        if (echelon.Rank() == m) {
            break;
        }
        std::vector<std::uint16_t> row(m);
        for (std::size_t k = 0; k < m; ++k) {
            row[k] =
                gf16::RecoveryCoefficient(static_cast<std::uint32_t>(lost[k]), recovery.exponent);
        }
        if (echelon.Add(row)) {
            chosen.push_back(&recovery);
        }
    }
    if (echelon.Rank() < m) {
        throw ENotEnoughRecovery(survey.PiecesToRebuild(), std::min(survey.RebuildablePieces(),
                                                                    survey.PiecesToRebuild() - 1));
    }

    // chosen_j = sum over all slices i of c_i^e_j * slice_i, so with A the
    // lost columns, lost = A^-1 (chosen - kept part).
    std::vector<std::vector<std::uint16_t>> a(m, std::vector<std::uint16_t>(m));
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t k = 0; k < m; ++k) {
            a[j][k] =
                gf16::RecoveryCoefficient(static_cast<std::uint32_t>(lost[k]), chosen[j]->exponent);
        }
    }
    const std::vector<std::vector<std::uint16_t>> inverse = Inverse(std::move(a));
    Combination combination;
    combination.sliceSize = sliceSize;
    // The rows of the solution: how each lost slice sums the inputs.
    auto rows = std::make_shared<std::vector<std::vector<std::uint16_t>>>(
        m, std::vector<std::uint16_t>(kept.size() + m));
    combination.outputs = m;
    combination.coefficient = [rows](std::size_t output, std::size_t input) {
        return (*rows)[output][input];
    };
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const Slice& slice = slices[kept[i]];
        combination.inputs.push_back(
            SliceSource{survey.pieces[slice.file].path, slice.offset, slice.length});
        std::vector<std::uint16_t> column(m);
        for (std::size_t j = 0; j < m; ++j) {
            column[j] =
                gf16::RecoveryCoefficient(static_cast<std::uint32_t>(kept[i]), chosen[j]->exponent);
        }
        for (std::size_t k = 0; k < m; ++k) {
            std::uint16_t sum = 0;
            for (std::size_t j = 0; j < m; ++j) {
                sum ^= gf16::Multiply(inverse[k][j], column[j]);
            }
            (*rows)[k][i] = sum;
        }
    }
    for (std::size_t j = 0; j < m; ++j) {
        combination.inputs.push_back(SliceSource{chosen[j]->path, chosen[j]->offset, sliceSize});
        for (std::size_t k = 0; k < m; ++k) {
            (*rows)[k][kept.size() + j] = inverse[k][j];
        }
    }

    // The matrices take their share of the memory; the lost slices the rest.
    ComputeLimits budget = limits;
    const std::size_t matrices = (m * (kept.size() + m) + m * m) * sizeof(std::uint16_t);
    budget.memory =
        std::max(limits.memory > matrices ? limits.memory - matrices : 0, limits.memory / 4);

    RebuildFiles files;
    std::vector<std::size_t> streamOf(set.files.size());
    for (std::size_t r = 0; r < rebuilt.size(); ++r) {
        streamOf[rebuilt[r]] = r;
        TFileStream& stream = files.Create(RebuildFileOf(survey.pieces[rebuilt[r]].path));
        stream.SetSize(static_cast<std::int64_t>(set.files[rebuilt[r]].description.length));
    }
    Compute(
        combination, budget, {},
        [&](std::int64_t at, const std::uint8_t* const* outputs, std::size_t count,
            std::size_t size) {
            for (std::size_t output = 0; output < count; ++output) {
                const Slice& slice = slices[lost[output]];
                const std::int64_t keep =
                    std::min<std::int64_t>(static_cast<std::int64_t>(size), slice.length - at);
                if (keep > 0) {
                    TFileStream& stream = files.Stream(streamOf[slice.file]);
                    stream.SetPosition(slice.offset + at);
                    stream.WriteBuffer(outputs[output], static_cast<std::int32_t>(keep));
                }
            }
        },
        progress);
    for (std::size_t r = 0; r < rebuilt.size(); ++r) {
        files.Stream(r).Flush();
    }
    files.CloseAll();
    std::vector<std::string> rebuildFiles;
    for (const std::size_t f : rebuilt) {
        rebuildFiles.push_back(RebuildFileOf(survey.pieces[f].path));
    }
    const std::size_t batches = (rebuilt.size() + kHashedTogether - 1) / kHashedTogether;
    ForEachOnThreads(batches, ThreadsOf(limits), [&](std::size_t b) {
        const std::size_t first = b * kHashedTogether;
        const std::size_t last = std::min(rebuilt.size(), first + kHashedTogether);
        const std::vector<Md5> digests = FileMd5s(
            std::vector<std::string>(rebuildFiles.begin() + static_cast<std::ptrdiff_t>(first),
                                     rebuildFiles.begin() + static_cast<std::ptrdiff_t>(last)));
        for (std::size_t r = first; r < last; ++r) {
            if (digests[r - first] != set.files[rebuilt[r]].description.hash) {
                throw ERebuiltPieceDamaged(survey.pieces[rebuilt[r]].path);
            }
        }
    });
    std::vector<std::string> done;
    for (std::size_t r = 0; r < rebuilt.size(); ++r) {
        const std::string& piece = survey.pieces[rebuilt[r]].path;
        if (!RenameFile(RebuildFileOf(piece), piece)) {
            throw EFCreateError(piece);
        }
        files.Renamed(r);
        done.push_back(piece);
    }
    FlushFolderOf(survey.indexPath);
    return done;
}

}  // namespace morcelix::par2
