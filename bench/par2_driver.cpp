// par2_driver create N INDEX PIECE... | repair [--crc] INDEX | split SOURCE SIZE N | kernels
// Calls the recovery engine directly, as bench/par2_bench.sh times it against
// the reference PAR2 tool: create writes INDEX and its recovery files over
// the pieces; repair checks the pieces beside INDEX (their MD5s, or with
// --crc their slices' CRC-32) and rebuilds those missing or damaged; kernels prints the region
// multiply-add's speed with each kernel this processor runs, and the MD5's of
// as many streams side by side as each MD5 kernel has lanes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/gf16.h"
#include "pieces/md5_lanes.h"
#include "pieces/par2_create.h"
#include "pieces/par2_repair.h"
#include "pieces/piece_names.h"

namespace {

using namespace morcelix;

int Kernels() {
    std::vector<std::uint8_t> in(std::size_t{1} << 16), out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    for (const gf16::Kernel kernel : gf16::AvailableKernels()) {
        const int rounds = 20000;
        const auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; ++r) {
            gf16::MultiplyAddWith(kernel, static_cast<std::uint16_t>(0x1234 + r), in.data(),
                                  out.data(), in.size());
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%-8s %6.2f GB/s\n", std::string(gf16::KernelName(kernel)).c_str(),
                    double(in.size()) * rounds / took.count() / 1e9);
    }
    // The MD5 of as many streams as each kernel has lanes, 1 MiB each.
    std::vector<std::uint8_t> stream(std::size_t{1} << 20);
    for (std::size_t i = 0; i < stream.size(); ++i) {
        stream[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    for (const Md5Kernel kernel : AvailableMd5Kernels()) {
        const std::size_t lanes = Md5KernelLanes(kernel);
        std::vector<Md5Stream> md5(lanes);
        std::vector<Md5Stream*> streams;
        std::vector<const std::uint8_t*> data(lanes, stream.data());
        std::vector<std::size_t> sizes(lanes, stream.size());
        for (Md5Stream& one : md5) {
            streams.push_back(&one);
        }
        const int rounds = 64 / static_cast<int>(lanes) + 1;
        const auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; ++r) {
            Md5UpdateStreamsWith(kernel, streams.data(), data.data(), sizes.data(), lanes);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("MD5 %-8s %6.2f GB/s (%zu streams)\n",
                    std::string(Md5KernelName(kernel)).c_str(),
                    double(stream.size()) * double(lanes) * rounds / took.count() / 1e9, lanes);
    }
    // Exponent 0, the plain XOR, against a copy of the same bytes.
    const int rounds = 20000;
    volatile std::uint8_t seen = 0;
    for (const bool copy : {false, true}) {
        const auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; ++r) {
            if (copy) {
                std::memcpy(out.data(), in.data(), in.size());
            } else {
                gf16::Add(in.data(), out.data(), in.size());
            }
            seen = seen ^ out[static_cast<std::size_t>(r) % out.size()];
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%-8s %6.2f GB/s\n", copy ? "memcpy" : "XOR",
                    double(in.size()) * rounds / took.count() / 1e9);
    }
    return 0;
}

// Cuts `source` as the split does, with `slices` recovery slices made in its
// pass (RecoveryWriter fed by an inspector lane of the checked copy).
int Split(const std::string& source, std::int64_t pieceSize, std::uint32_t slices) {
    TFileStream input(source, OpenMode::Read);
    const FileFacts facts = input.Facts();
    const std::int64_t count = facts.size / pieceSize + 1;
    std::vector<std::string> names;
    for (std::int64_t n = 1; n <= count; ++n) {
        names.push_back(PieceName(source, static_cast<std::uint64_t>(n)));
    }
    std::optional<par2::RecoveryWriter> writer;
    if (slices > 0) {
        par2::RecoveryOptions options;
        options.slices = slices;
        std::optional<std::vector<par2::PlannedPiece>> plan;
        if (slices > 1) {
            std::vector<std::string> fileNames;
            for (const std::string& name : names) {
                fileNames.push_back(name.substr(FolderPart(name).size()));
            }
            plan = par2::PieceOrderOf(source, pieceSize, fileNames);
        }
        writer.emplace(pieceSize, options, plan, std::min(pieceSize, facts.size));
    }
    // The lane's blocks carry their piece: the lane begins and ends pieces.
    std::int64_t begun = -1;
    const auto reach = [&](std::int64_t piece) {
        for (; begun < piece; ++begun) {
            if (begun >= 0) {
                writer->EndPiece();
            }
            writer->BeginPiece(names[static_cast<std::size_t>(begun + 1)]);
        }
    };
    CheckedCopier copier(writer ? 1 : 0);
    std::int64_t read = 0;
    for (std::int64_t n = 0; n < count; ++n) {
        TFileStream piece(names[static_cast<std::size_t>(n)], OpenMode::Create);
        const std::int64_t size = std::min(pieceSize, facts.size - read);
        InspectedCopier::Inspectors inspectors;
        if (writer) {
            inspectors.push_back(std::make_shared<const BlockInspector>(
                [&, n](const char* data, std::int32_t bytes) {
                    reach(n);
                    writer->Add(data, static_cast<std::size_t>(bytes));
                }));
        }
        if (copier.Copy(piece, input, facts, size, inspectors) != CopyOutcome::Copied) {
            std::fprintf(stderr, "the copy of %s failed\n",
                         names[static_cast<std::size_t>(n)].c_str());
            return 1;
        }
        read += size;
    }
    if (writer) {
        copier.Wait();
        reach(count - 1);
        writer->EndPiece();
        writer->Finish(par2::RecoveryIndexPath(source));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string verb = argc >= 2 ? argv[1] : "";
    try {
        if (verb == "create" && argc >= 5) {
            par2::RecoveryOptions options;
            options.slices = static_cast<std::uint32_t>(std::atol(argv[2]));
            const std::vector<std::string> pieces(argv + 4, argv + argc);
            par2::CreateRecoveryFiles(pieces, argv[3], options);
        } else if (verb == "repair" &&
                   (argc == 3 || (argc == 4 && argv[2] == std::string("--crc")))) {
            const par2::RepairSurvey survey = par2::SurveyPieces(
                argv[argc - 1], {}, argc == 4 ? par2::PieceCheck::SliceCrc : par2::PieceCheck::Md5);
            for (const std::string& piece : par2::RebuildPieces(survey)) {
                std::printf("rebuilt %s\n", piece.c_str());
            }
        } else if (verb == "split" && argc == 5) {
            return Split(argv[2], std::atoll(argv[3]),
                         static_cast<std::uint32_t>(std::atol(argv[4])));
        } else if (verb == "kernels") {
            return Kernels();
        } else {
            std::fputs(
                "usage: par2_driver create N INDEX PIECE... | repair [--crc] INDEX | split SOURCE "
                "SIZE "
                "N | kernels\n",
                stderr);
            return 2;
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.Message());
        return 1;
    }
    return 0;
}
