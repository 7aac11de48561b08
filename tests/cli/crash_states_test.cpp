// The operations that destroy what they read, stopped after every change they
// make to the disk, in every way a stop may leave it (a killed process, power
// cuts that lose what was not flushed: disk_history.h), then run again, as
// users run them again: the same command, and a join from the lowest piece
// left. Every state must give the source back, or be refused with every file
// as it was; never a success with another file. Over sets of 1, 2, 3 and 5
// pieces whose last piece is short, empty or full, and bytes that defeat any
// decision taken from content: random, zeros, periodic with a period that
// divides the piece size and one that does not, identical pieces.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>

#include "cli/commands.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "tests/support/disk_history.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::DiskHistory;
using testing::TempFolder;
using Files = DiskHistory::Files;

constexpr std::int64_t kPieceSize = 1000;
const std::string kSizeText = "1000o";

#ifdef MORCELIX_EMULATED
// Under an emulator every run costs ten times more: one case in this many.
constexpr std::size_t kOneIn = 7;
#else
constexpr std::size_t kOneIn = 1;
#endif

enum class Bytes { Random, Zeros, PeriodDividing, PeriodNotDividing, IdenticalPieces };
constexpr Bytes kAllBytes[] = {Bytes::Random, Bytes::Zeros, Bytes::PeriodDividing,
                               Bytes::PeriodNotDividing, Bytes::IdenticalPieces};
enum class End { Short, Empty, Full };

const char* NameOf(Bytes bytes) {
    switch (bytes) {
        case Bytes::Random:
            return "random";
        case Bytes::Zeros:
            return "zeros";
        case Bytes::PeriodDividing:
            return "period 8";
        case Bytes::PeriodNotDividing:
            return "period 7";
        case Bytes::IdenticalPieces:
            return "identical pieces";
    }
    return "";
}

// The sizes of a set of `count` pieces ending so.
std::vector<std::int64_t> SizesOf(std::size_t count, End end) {
    std::vector<std::int64_t> sizes(count - 1, kPieceSize);
    sizes.push_back(end == End::Short ? 600 : end == End::Empty ? 0 : kPieceSize);
    return sizes;
}

std::string MakeBytes(Bytes kind, std::int64_t size, unsigned seed) {
    std::mt19937 random(seed);
    const auto randomBytes = [&](std::int64_t count) {
        std::string text(static_cast<std::size_t>(count), '\0');
        for (char& c : text) {
            c = static_cast<char>(random());
        }
        return text;
    };
    std::string bytes;
    const auto repeat = [&](const std::string& unit) {
        while (static_cast<std::int64_t>(bytes.size()) < size) {
            bytes += unit;
        }
        bytes.resize(static_cast<std::size_t>(size));
    };
    switch (kind) {
        case Bytes::Random:
            return randomBytes(size);
        case Bytes::Zeros:
            return std::string(static_cast<std::size_t>(size), '\0');
        case Bytes::PeriodDividing:
            repeat(randomBytes(8));
            break;
        case Bytes::PeriodNotDividing:
            repeat(randomBytes(7));
            break;
        case Bytes::IdenticalPieces:
            repeat(randomBytes(kPieceSize));
            break;
    }
    return bytes;
}

// A folder on a file system where a flush costs nothing: the states are many.
std::string QuickRoot() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) {
        return "/dev/shm";
    }
    const std::u8string folder = std::filesystem::temp_directory_path().u8string();
    return std::string(folder.begin(), folder.end());
}

struct CommandRun {
    int status = -1;
    std::string err;
};

CommandRun RunCommand(const std::vector<std::string>& arguments) {
    class NoInput : public SequentialInput {
        std::int32_t ReadSome(void*, std::int32_t) override { return 0; }
    } input;
    class NoOutput : public TStream {
        std::int32_t Read(void*, std::int32_t) override { return 0; }
        std::int32_t Write(const void*, std::int32_t count) override { return count; }
        std::int64_t Seek(std::int64_t, SeekOrigin) override { return -1; }
    } output;
    std::ostringstream out, err;
    CommandRun run;
    run.status = cli::RunCli(arguments, out, err, false, {input, output});
    run.err = err.str();
    return run;
}

// What the checks of one operation found, over all its cases.
struct Tally {
    std::size_t cases = 0;
    std::size_t states = 0;
    std::size_t reruns = 0;
    std::size_t refused = 0;

    ~Tally() {
        std::cout << "[ crash states ] " << cases << " cases, " << states << " states, " << reruns
                  << " runs again, " << refused << " refused untouched with work left\n";
    }
};

class CrashStatesTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "the files an operation holds can not be read meanwhile on Windows";
#endif
    }

    // Runs `command` again on `state` (the folders restored to it) and checks
    // what it gives: `expected`, or, refused, the state as it was. Returns
    // whether it was refused with work left to do.
    bool CheckRun(const std::vector<std::string>& folders, const Files& state,
                  const std::vector<std::string>& command, const Files& expected,
                  const std::string& what) {
        DiskHistory::Restore(folders, state);
        const CommandRun run = RunCommand(command);
        const Files after = DiskHistory::FilesOf(folders);
        if (run.status == cli::kExitSuccess) {
            EXPECT_TRUE(after == expected) << what << ": a success that is not the source\n"
                                           << Describe(state) << " gave\n"
                                           << Describe(after);
            return false;
        }
        EXPECT_EQ(run.status, cli::kExitFailure) << what << run.err;
        EXPECT_TRUE(after == state) << what << ": refused (" << run.err << ") but not untouched\n"
                                    << Describe(state) << " became\n"
                                    << Describe(after);
        return state != expected;
    }

    static std::string Describe(const Files& files) {
        std::string text;
        for (const auto& [path, bytes] : files) {
            text += "  " + path.substr(path.rfind('/') + 1) + ": " + std::to_string(bytes.size()) +
                    " bytes\n";
        }
        return text;
    }

    // The lowest-numbered piece of the set named `base` among `files`.
    static std::optional<std::string> LowestPiece(const Files& files, const std::string& base) {
        std::optional<std::string> lowest;
        std::uint64_t number = 0;
        for (const auto& [path, bytes] : files) {
            const std::uint64_t own = PieceNumberOf(path, base);
            if (own != 0 && (number == 0 || own < number)) {
                number = own;
                lowest = path;
            }
        }
        return lowest;
    }
};

enum class JoinVariant { Fresh, Resumed, Keep, OtherFolder, OtherVolume, Manifest, Undeletable };

const char* NameOf(JoinVariant variant) {
    switch (variant) {
        case JoinVariant::Fresh:
            return "fresh";
        case JoinVariant::Resumed:
            return "resumed";
        case JoinVariant::Keep:
            return "--garder";
        case JoinVariant::OtherFolder:
            return "-o on the same disk";
        case JoinVariant::OtherVolume:
            return "-o on another disk";
        case JoinVariant::Manifest:
            return "with a manifest";
        case JoinVariant::Undeletable:
            return "a piece that can not be deleted";
    }
    return "";
}

TEST_F(CrashStatesTest, AStoppedJoinIsFinishedToTheSourceOrRefusedUntouched) {
    const std::string smallDisk = testing::SmallDiskFolder();
    Tally tally;
    std::size_t index = 0;
    for (const std::size_t count : {1u, 2u, 3u, 5u}) {
        for (const End end : {End::Short, End::Empty, End::Full}) {
            for (const Bytes kind : kAllBytes) {
                for (const JoinVariant variant :
                     {JoinVariant::Fresh, JoinVariant::Resumed, JoinVariant::Keep,
                      JoinVariant::OtherFolder, JoinVariant::OtherVolume, JoinVariant::Manifest,
                      JoinVariant::Undeletable}) {
                    if (index++ % kOneIn != 0 ||
                        (variant == JoinVariant::OtherVolume && smallDisk.empty()) ||
                        (variant == JoinVariant::Undeletable && count == 1)) {
                        continue;
                    }
                    const std::string what = std::to_string(count) + " pieces, last " +
                                             (end == End::Short   ? "short"
                                              : end == End::Empty ? "empty"
                                                                  : "full") +
                                             ", " + NameOf(kind) + ", " + NameOf(variant);
                    SCOPED_TRACE(what);
                    const TempFolder pieces(QuickRoot());
                    const TempFolder elsewhere(variant == JoinVariant::OtherVolume ? smallDisk
                                                                                   : QuickRoot());
                    const std::vector<std::string> folders = {pieces.Path(), elsewhere.Path()};
                    const std::string base = pieces / "f";
                    const std::vector<std::int64_t> sizes = SizesOf(count, end);
                    std::int64_t total = 0;
                    for (const std::int64_t size : sizes) {
                        total += size;
                    }
                    const std::string source = MakeBytes(kind, total, static_cast<unsigned>(index));
                    Manifest manifest;
                    std::int64_t offset = 0;
                    for (std::size_t i = 0; i < sizes.size(); ++i) {
                        const std::string piece = source.substr(static_cast<std::size_t>(offset),
                                                                static_cast<std::size_t>(sizes[i]));
                        testing::WriteFileBytes(PieceName(base, i + 1), piece);
                        Sha256 digest;
                        digest.Update(piece.data(), piece.size());
                        manifest.pieces.push_back(digest.HexDigest());
                        offset += sizes[i];
                    }
                    if (variant == JoinVariant::Manifest) {
                        Sha256 whole;
                        whole.Update(source.data(), source.size());
                        manifest.whole = whole.HexDigest();
                        WriteManifest(base, manifest);
                    }
                    const bool elsewhereDestination =
                        variant == JoinVariant::OtherFolder || variant == JoinVariant::OtherVolume;
                    const std::string destination = elsewhereDestination ? elsewhere / "f" : base;
                    std::vector<std::string> command = {"regrouper"};
                    if (variant == JoinVariant::Keep) {
                        command.push_back("--garder");
                    }
                    if (end == End::Full) {
                        command.push_back("--forcer");  // sets of other tools end so
                    }
                    if (elsewhereDestination) {
                        command.insert(command.end(), {"-o", elsewhere.Path()});
                    }
                    const Files initial = DiskHistory::FilesOf(folders);
                    Files expected = variant == JoinVariant::Keep ? initial : Files{};
                    if (variant == JoinVariant::Manifest) {
                        expected[ManifestPath(base)] = initial.at(ManifestPath(base));
                    }
                    expected[destination] = source;

                    Files start = initial;
                    if (variant == JoinVariant::Resumed) {
                        // From the middle of a join killed part-way.
                        DiskHistory fresh(folders);
                        command.push_back(PieceName(base, 1));
                        ASSERT_EQ(RunCommand(command).status, 0);
                        command.pop_back();
                        fresh.Finish();
                        start = fresh.KilledAt(fresh.Changes() / 2);
                        DiskHistory::Restore(folders, start);
                    }
                    const std::string picked =
                        LowestPiece(start, base).value_or(PieceName(base, 1));
                    std::vector<std::string> again = command;
                    again.push_back(picked);

                    // A piece that can not be deleted (the set's second).
                    const std::string held = PieceName(base, 2);
                    DiskHistory history(folders, [&](const DiskChange& change) {
                        return variant != JoinVariant::Undeletable ||
                               change.kind != DiskChange::Kind::Remove || change.path != held;
                    });
                    const CommandRun run = RunCommand(again);
                    history.Finish();
                    ASSERT_EQ(run.status, 0) << run.err;
                    if (variant != JoinVariant::Undeletable) {
                        EXPECT_TRUE(DiskHistory::FilesOf(folders) == expected);
                    }

                    ++tally.cases;
                    for (const Files& state : history.States()) {
                        ++tally.states;
                        std::vector<std::vector<std::string>> reruns = {again};
                        if (const auto lowest = LowestPiece(state, base);
                            lowest && *lowest != picked) {
                            reruns.push_back(command);
                            reruns.back().push_back(*lowest);
                        }
                        for (const auto& rerun : reruns) {
                            ++tally.reruns;
                            if (CheckRun(folders, state, rerun, expected, what)) {
                                ++tally.refused;
                                // A join that keeps its pieces flushes nothing
                                // of its destination: a power cut after it may
                                // leave another file there, which is asked about.
                                EXPECT_EQ(variant, JoinVariant::Keep)
                                    << what << ": refused with every byte there\n"
                                    << Describe(state);
                            }
                        }
                    }
                    if (HasFailure()) {
                        return;
                    }
                }
            }
        }
    }
}

// The set an ordinary split of `source`, named `base`, writes at kPieceSize,
// with its manifest or not.
Files OrdinarySet(const std::string& base, const std::string& source, bool manifest) {
    Files set;
    Manifest sums;
    const auto count = static_cast<std::size_t>(source.size()) / kPieceSize + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string piece = source.substr(i * kPieceSize, kPieceSize);
        set[PieceName(base, i + 1)] = piece;
        Sha256 digest;
        digest.Update(piece.data(), piece.size());
        sums.pieces.push_back(digest.HexDigest());
    }
    if (manifest) {
        Sha256 whole;
        whole.Update(source.data(), source.size());
        sums.whole = whole.HexDigest();
        const TempFolder scratch;
        const std::string name = scratch / base.substr(base.rfind('/') + 1);
        WriteManifest(name, sums);
        set[ManifestPath(base)] = testing::ReadFileBytes(ManifestPath(name));
    }
    return set;
}

enum class SplitVariant { Plain, Sums, OtherFolder, OtherVolume };

const char* NameOf(SplitVariant variant) {
    switch (variant) {
        case SplitVariant::Plain:
            return "plain";
        case SplitVariant::Sums:
            return "--somme";
        case SplitVariant::OtherFolder:
            return "-o on the same disk";
        case SplitVariant::OtherVolume:
            return "-o on another disk";
    }
    return "";
}

// A split that writes its pieces beside a source it keeps, and the split in
// place that turns the file into them: run again from any state, it gives
// the set or refuses untouched; the split in place, whose source goes, must
// finish from every state, since every byte is in the file or in a flushed
// piece.
TEST_F(CrashStatesTest, AStoppedSplitIsFinishedByRunningItAgain) {
    const std::string smallDisk = testing::SmallDiskFolder();
    Tally tally;
    std::size_t index = 0;
    for (const bool inPlace : {false, true}) {
        for (const std::size_t count : {1u, 2u, 3u, 5u}) {
            for (const End end : {End::Short, End::Empty}) {
                for (const Bytes kind : kAllBytes) {
                    for (const SplitVariant variant :
                         {SplitVariant::Plain, SplitVariant::Sums, SplitVariant::OtherFolder,
                          SplitVariant::OtherVolume}) {
                        if (index++ % kOneIn != 0 ||
                            (variant == SplitVariant::OtherVolume && smallDisk.empty())) {
                            continue;
                        }
                        const std::string what = std::string(inPlace ? "in place, " : "") +
                                                 std::to_string(count) + " pieces, last " +
                                                 (end == End::Short ? "short" : "empty") + ", " +
                                                 NameOf(kind) + ", " + NameOf(variant);
                        SCOPED_TRACE(what);
                        const TempFolder files(QuickRoot());
                        const TempFolder elsewhere(
                            variant == SplitVariant::OtherVolume ? smallDisk : QuickRoot());
                        const std::vector<std::string> folders = {files.Path(), elsewhere.Path()};
                        const std::string file = files / "f";
                        std::int64_t total = 0;
                        for (const std::int64_t size : SizesOf(count, end)) {
                            total += size;
                        }
                        const std::string source =
                            MakeBytes(kind, total, static_cast<unsigned>(index));
                        testing::WriteFileBytes(file, source);
                        std::vector<std::string> command = {"decouper"};
                        if (inPlace) {
                            command.push_back("--sur-place");
                        }
                        const bool sums = variant == SplitVariant::Sums;
                        if (sums) {
                            command.push_back("--somme");
                        }
                        const bool away = variant == SplitVariant::OtherFolder ||
                                          variant == SplitVariant::OtherVolume;
                        if (away) {
                            command.insert(command.end(), {"-o", elsewhere.Path()});
                        }
                        command.insert(command.end(), {file, kSizeText});
                        Files expected = OrdinarySet(away ? elsewhere / "f" : file, source, sums);
                        if (!inPlace) {
                            expected[file] = source;
                        }

                        DiskHistory history(folders);
                        const CommandRun run = RunCommand(command);
                        history.Finish();
                        ASSERT_EQ(run.status, 0) << run.err;
                        ASSERT_TRUE(DiskHistory::FilesOf(folders) == expected);
                        if (sums) {
                            // Done once it says so: its sums survive a power cut.
                            const std::string manifest =
                                ManifestPath(away ? elsewhere / "f" : file);
                            for (const Files& state : history.StatesAt(history.Changes())) {
                                EXPECT_EQ(state.count(manifest) ? state.at(manifest) : "",
                                          expected.at(manifest))
                                    << "a power cut after the split said it was done";
                            }
                        }
                        ++tally.cases;
                        for (const Files& state : history.States()) {
                            ++tally.states;
                            ++tally.reruns;
                            if (CheckRun(folders, state, command, expected, what)) {
                                ++tally.refused;
                                // A split beside its source flushes no piece: a
                                // power cut may leave pieces that another file
                                // could be, which are replaced only on request.
                                EXPECT_FALSE(inPlace) << what << ": refused\n" << Describe(state);
                            }
                        }
                        if (HasFailure()) {
                            return;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace morcelix
