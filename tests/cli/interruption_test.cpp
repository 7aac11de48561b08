// morcelix-cli stopped part-way, as users stop it: killed at any moment, or
// interrupted with Ctrl+C. Running the same command again must finish the job,
// and nothing may be lost meanwhile. On POSIX, the order of the system calls
// shows that no piece is deleted before its bytes are on the disk.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "cli/commands.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

#ifndef _WIN32
#include <signal.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/cli/system_calls.h"
#endif

namespace morcelix {
namespace {

using namespace std::chrono_literals;
using testing::CliProgram;
using testing::PatternBytes;
using testing::ProgramProcess;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::TempFolder;

// How often the tests look at the folder: under Wine each look is a round trip
// to its server, which a tighter loop would slow down for the program too.
constexpr auto kPoll = 1ms;

constexpr char kJoinInterrupted[] =
    "morcelix-cli : Regroupage interrompu : relancez la même commande pour le terminer\n";

class CliInterruptionTest : public ::testing::Test {
  protected:
    // A few hundred pieces, more than one group of flushes.
    static constexpr std::int64_t kPieceSize = 300'000;
    static constexpr std::int64_t kSize = 300 * kPieceSize - 1234;

    void SetUp() override { bytes = PatternBytes(kSize, 11); }

    // A fresh set in the folder, which holds nothing else.
    void MakeSet(bool manifest = false) {
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        testing::WriteFileBytes(source, bytes);
        testing::RecordingProgress progress;
        Split(source, kPieceSize, progress, {.sums = {.manifest = manifest}});
        RemoveFile(source);
    }

    ProgramProcess Start(const std::vector<std::string>& arguments) {
        return ProgramProcess(CliProgram(), arguments, scratch.Path(),
                              testing::BuiltProgramLauncher());
    }

    // Returns once `path` exists: the program has begun its work, its
    // interruptions caught (a start under emulation is slow). Fails the test
    // after a minute.
    static void AwaitWorkOn(const std::string& path) {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!FileExists(path)) {
            if (std::chrono::steady_clock::now() > end) {
                FAIL() << path << " never appeared";
            }
            std::this_thread::sleep_for(kPoll);
        }
    }

    // How long the work of a command takes here, from its first file on: the
    // interruptions fall within it.
    std::chrono::steady_clock::duration WorkTime(const std::vector<std::string>& arguments,
                                                 const std::string& firstFile) {
        ProgramProcess process = Start(arguments);
        AwaitWorkOn(firstFile);
        const auto start = std::chrono::steady_clock::now();
        const ProgramRun run = process.Wait();
        EXPECT_EQ(run.status, 0) << run.err;
        return std::chrono::steady_clock::now() - start;
    }

    // A moment within the first `share` of `work`.
    void SleepUntilRandomMoment(std::chrono::steady_clock::duration work, double share = 1.0) {
        std::uniform_int_distribution<std::int64_t> moment(
            0, static_cast<std::int64_t>(static_cast<double>(work.count()) * share));
        std::this_thread::sleep_for(std::chrono::steady_clock::duration(moment(random)));
    }

    // The destination followed by the pieces left, in number order.
    std::string DestinationAndPiecesLeft() {
        std::string rebuilt = FileExists(source) ? ReadFileBytes(source) : "";
        for (std::uint64_t number = 1; number <= 301; ++number) {
            if (FileExists(PieceName(source, number))) {
                rebuilt += ReadFileBytes(PieceName(source, number));
            }
        }
        return rebuilt;
    }

    // Runs the same join again, unless the one stopped had finished already;
    // returns whether it had to.
    bool ExpectFinishedByRunningAgain(const std::string& when,
                                      const std::vector<std::string>& left = {"film.bin"}) {
        const bool unfinished = folder.Names() != left;
        if (unfinished) {
            const ProgramRun run = Start({"regrouper", first}).Wait();
            EXPECT_EQ(run.status, 0) << when << ": " << run.err;
        }
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes) << when;
        EXPECT_EQ(folder.Names(), left) << when;
        return unfinished;
    }

    TempFolder folder;
    TempFolder scratch;
    std::string source = folder / "film.bin";
    std::string first = source + ".001";
    std::string bytes;
    std::mt19937 random{20261208};
};

TEST_F(CliInterruptionTest, AJoinKilledAtAnyMomentIsFinishedByRunningItAgain) {
    MakeSet();
    const auto work = WorkTime({"regrouper", first}, source);

    for (int round = 0; round < 20; ++round) {
        MakeSet();
        ProgramProcess join = Start({"regrouper", first});
        if (round % 2 == 0) {
            AwaitWorkOn(source);
            SleepUntilRandomMoment(work);
        } else {
            // Soon after the first group of pieces is gone: among its deletions.
            const auto end = std::chrono::steady_clock::now() + 60s;
            while (FileExists(first) && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(kPoll);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
        join.Kill();
        join.Wait();
        ExpectFinishedByRunningAgain("round " + std::to_string(round));
    }
}

// Bytes that repeat (disk images, padded archives) look the same at any place:
// what the killed join leaves must say where it stopped by itself.
TEST_F(CliInterruptionTest, AJoinOfRepeatingBytesKilledAtAnyMomentIsFinishedByRunningItAgain) {
    constexpr std::int64_t kLargePiece = 8'000'000;
    std::string periodic;
    for (int i = 0; periodic.size() < 3 * kLargePiece; ++i) {
        periodic += static_cast<char>(i % 7 * 37);
    }
    int kills = 0;
    int unfinished = 0;
    for (const std::int64_t pieces : {2, 3}) {
        for (const bool zeros : {true, false}) {
            bytes = zeros ? std::string(static_cast<std::size_t>(pieces * kLargePiece - 2'500'000),
                                        '\0')
                          : periodic.substr(
                                0, static_cast<std::size_t>(pieces * kLargePiece - 2'500'000));
            const auto make = [&] {
                testing::WriteFileBytes(source, bytes);
                testing::RecordingProgress progress;
                Split(source, kLargePiece, progress);
                RemoveFile(source);
            };
            make();
            const auto work = WorkTime({"regrouper", first}, source);
            for (int round = 0; round < 13; ++round, ++kills) {
                make();
                ProgramProcess join = Start({"regrouper", first});
                AwaitWorkOn(source);
                SleepUntilRandomMoment(work);
                join.Kill();
                join.Wait();
                unfinished += ExpectFinishedByRunningAgain(
                    std::to_string(pieces) + (zeros ? " pieces of zeros, " : " periodic pieces, ") +
                    "round " + std::to_string(round));
            }
        }
    }
    EXPECT_EQ(kills, 52);
    EXPECT_GE(unfinished, 13) << "too few joins were killed before their end to tell";
}

// Windows delivers Ctrl+C and Ctrl+Break through the console, and Wine sends
// no console event to another process (GenerateConsoleCtrlEvent fails there):
// the in-process tests of the commands interrupt them on every platform.
#ifndef _WIN32
TEST_F(CliInterruptionTest, AnInterruptedJoinLeavesTheSourceInItsFilesAndSaysHowToFinish) {
    MakeSet();
    const auto work = WorkTime({"regrouper", first}, source);

    int interrupted = 0;
    for (int round = 0; round < 12 && interrupted < 3; ++round) {
        MakeSet();
        ProgramProcess join = Start({"regrouper", first});
        AwaitWorkOn(source);
        SleepUntilRandomMoment(work, 0.8);
        join.Interrupt();
        const ProgramRun run = join.Wait();
        if (run.status == 0) {
            continue;  // it ended before the interruption arrived
        }
        ++interrupted;
        EXPECT_EQ(run.status, 130) << run.err;
        EXPECT_EQ(run.err, kJoinInterrupted);
        // Cut back to a whole piece: nothing is in two places, nothing missing.
        EXPECT_TRUE(DestinationAndPiecesLeft() == bytes) << "round " << round;
        ExpectFinishedByRunningAgain("round " + std::to_string(round));
    }
    EXPECT_EQ(interrupted, 3) << "too few joins were interrupted to tell";
}

TEST_F(CliInterruptionTest, AnInterruptedSplitRemovesItsPieces) {
    testing::WriteFileBytes(source, bytes);
    ProgramProcess split = Start({"decouper", source, "1"});
    AwaitWorkOn(source + ".010");  // once it has written some pieces
    split.Interrupt();
    const ProgramRun run = split.Wait();
    if (run.status != 0) {
        EXPECT_EQ(run.status, 130) << run.err;
        EXPECT_EQ(run.err, "morcelix-cli : Découpage interrompu\n");
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.bin"});
    }
    EXPECT_TRUE(ReadFileBytes(source) == bytes);
}

// However the program ends after a request to end, it does so within the
// grace time (a clean stop, or else at once), leaving what the next run
// finishes. The bound the test allows is wider, for a busy machine.
constexpr auto kEndBound = std::chrono::seconds(cli::kInterruptionGraceSeconds) + 4s;

TEST_F(CliInterruptionTest, AChecksummedSplitOrJoinAskedToEndEndsWithinTheGraceTime) {
    const std::vector<std::string> split = {"decouper", "--somme", source, "1"};
    testing::WriteFileBytes(source, bytes);
    const auto splitWork = WorkTime(split, source + ".001");
    MakeSet(true);
    const auto joinWork = WorkTime({"regrouper", first}, source);
    const std::vector<std::string> joined = {"film.bin", "film.bin.sha256"};

#ifdef MORCELIX_PROGRAM_EMULATOR
    // Each run of the emulated tool is many times slower: fewer moments, both operations still.
    constexpr int kRounds = 10;
#else
    constexpr int kRounds = 40;
#endif
    for (int round = 0; round < kRounds; ++round) {
        const bool splitting = round % 2 == 0;
        const std::string when = (splitting ? "split " : "join ") + std::to_string(round);
        if (splitting) {
            testing::WriteFileBytes(source, bytes);
        } else {
            MakeSet(true);
        }
        ProgramProcess process =
            Start(splitting ? split : std::vector<std::string>{"regrouper", first});
        AwaitWorkOn(splitting ? source + ".001" : source);
        SleepUntilRandomMoment(splitting ? splitWork : joinWork);
        process.Terminate();
        const auto asked = std::chrono::steady_clock::now();
        const ProgramRun run = process.Wait(std::chrono::minutes(1));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, kEndBound) << when;
        EXPECT_TRUE(run.status == 0 || run.status == 130) << when << ": " << run.err;
        if (splitting) {
            // The source untouched; the pieces of a split stopped cleanly gone.
            EXPECT_TRUE(ReadFileBytes(source) == bytes) << when;
            for (const std::string& name : folder.Names()) {
                RemoveFile(folder / name);
            }
        } else {
            ExpectFinishedByRunningAgain(when, joined);
            RemoveFile(source);
            RemoveFile(ManifestPath(source));
        }
    }
}

using testing::Call;
using testing::QuotedPath;
using testing::ReadTrace;

// The process that a program running under a tracer is: the tracer's child.
pid_t TracedChild(long tracer) {
    std::ifstream children("/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) +
                           "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

TEST_F(CliInterruptionTest, AJoinThatCanNotStopCleanlyIsEndedWhenTheGraceTimeIsOver) {
    if (!testing::BuiltProgramLauncher().empty()) {
        GTEST_SKIP() << "the tracer can not follow an emulated program";
    }
    // Every flush takes seconds, as on a disk that hangs: the join waits in
    // its first one, and a clean stop, which flushes, can not come in time.
    // The tracer holds the flushing thread until its delay is over, even
    // once the process has chosen to end: the end shows in its last words.
    constexpr auto kFlushDelay = std::chrono::seconds(12);
    MakeSet();
    ProgramProcess join("strace",
                        {"-f", "-o", "/dev/null", "-e", "trace=fdatasync", "-e",
                         "inject=fdatasync:delay_enter=" +
                             std::to_string(std::chrono::microseconds(kFlushDelay).count()),
                         CliProgram(), "regrouper", first},
                        scratch.Path());
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (FileSize(source) < kFlushGroupBytes && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(kPoll);
    }
    pid_t program = 0;
    for (int look = 0; look < 1000 && program == 0; ++look) {
        program = TracedChild(join.Pid());
        std::this_thread::sleep_for(kPoll);
    }
    ASSERT_NE(program, 0);
    kill(program, SIGTERM);
    const auto asked = std::chrono::steady_clock::now();
    const std::string said = scratch / "err.txt";
    while (!ReadFileBytes(said).starts_with(kJoinInterrupted) &&
           std::chrono::steady_clock::now() - asked < kFlushDelay) {
        std::this_thread::sleep_for(kPoll);
    }
    const auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(waited, kEndBound) << "not ended when the grace time was over";
    EXPECT_GT(waited, std::chrono::seconds(cli::kInterruptionGraceSeconds) / 2)
        << "it stopped cleanly: the flush was not delayed";
    const ProgramRun run = join.Wait(std::chrono::minutes(1));
    EXPECT_EQ(run.status, 130);
    // Ended as a kill would end it: the next run finishes the join.
    ExpectFinishedByRunningAgain("after the grace time");
}

// Its record is all it flushes: what it writes of the destination, from pieces
// that all stay, it leaves to the system, as a plain copy does.
TEST_F(CliInterruptionTest, AJoinThatKeepsThePiecesFlushesOnlyItsRecord) {
    if (!testing::BuiltProgramLauncher().empty()) {
        GTEST_SKIP() << "under an emulator, its own system calls mix in";
    }
    for (const bool manifest : {false, true}) {
        MakeSet(manifest);
        const auto before = folder.Snapshot();
        const std::string log = scratch / "trace.txt";
        const ProgramRun run = testing::RunProgram(
            "strace",
            {"-f", "-o", log, "-e", "trace=openat,fsync,fdatasync,sync_file_range,syncfs,sync",
             CliProgram(), "regrouper", "--garder", first},
            scratch.Path());
        ASSERT_EQ(run.status, 0) << run.err;
        std::map<long, std::string> open;
        std::vector<std::string> flushed;
        for (const Call& call : ReadTrace(ReadFileBytes(log))) {
            if (call.name == "openat" && call.result >= 0) {
                open[call.result] = QuotedPath(call.arguments);
            } else if (call.name != "openat") {
                flushed.push_back(call.name + " " + open[std::atol(call.arguments.c_str())]);
            }
        }
        // The record, written under a temporary name, then its folder.
        EXPECT_EQ(flushed, (std::vector<std::string>{"fdatasync " + folder / "~ilm.bin.000",
                                                     "fsync " + folder.Path() + "/"}));
        EXPECT_TRUE(ReadFileBytes(source) == bytes);
        RemoveFile(source);
        EXPECT_EQ(folder.Snapshot(), before) << "a piece was touched";
        RemoveFile(ManifestPath(source));
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
    }
}

TEST_F(CliInterruptionTest, NoPieceIsDeletedBeforeAFlushOfTheDestinationAfterItsLastWrite) {
    if (!testing::BuiltProgramLauncher().empty()) {
        GTEST_SKIP() << "under an emulator, its own system calls mix in";
    }
    MakeSet();
    const std::string log = scratch / "trace.txt";
    const ProgramRun run =
        testing::RunProgram("strace",
                            {"-f", "-s", "4096", "-o", log, "-e",
                             "trace=openat,write,copy_file_range,fdatasync,fsync,unlink,linkat,"
                             "rename",
                             CliProgram(), "regrouper", first},
                            scratch.Path());
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(ReadFileBytes(source) == bytes);

    // Follow which file each descriptor is: the destination is linked into
    // place from an unnamed file, or opened by name.
    std::map<long, std::string> open;
    long destination = -1;
    long lastWrite = -1;                     // the index of the last write to the destination
    std::map<std::string, long> appendedAt;  // a piece's last write, by path
    long lastFlush = -1;
    int folderFlushes = 0;
    // The join's record: written under a temporary name and flushed, renamed
    // into place, its folder flushed, before any piece goes; removed after
    // the last one.
    const std::string record = source + ".000";
    const std::string recordWritten = folder / "~ilm.bin.000";
    long recordFlushed = -1;
    long recordNamed = -1;
    long recordDurable = -1;
    long lastPieceGone = -1;
    long recordRemoved = -1;
    const std::vector<Call> calls = ReadTrace(ReadFileBytes(log));
    for (long i = 0; i < static_cast<long>(calls.size()); ++i) {
        const Call& call = calls[static_cast<std::size_t>(i)];
        const long fd = call.arguments.empty() ? -1 : std::atol(call.arguments.c_str());
        if (call.name == "openat" && call.result >= 0) {
            open[call.result] = QuotedPath(call.arguments);
            if (open[call.result] == source) {
                destination = call.result;
            }
        } else if (call.name == "rename" && call.result == 0 &&
                   call.arguments.ends_with('"' + record + '"')) {
            EXPECT_GE(recordFlushed, 0) << "the record named before it was flushed";
            recordNamed = i;
        } else if (call.name == "rename" && call.result == 0 &&
                   call.arguments.ends_with('"' + source + '"')) {
            EXPECT_GE(recordDurable, 0) << "the first piece renamed before the record was durable";
            // The first piece took the destination's name: its bytes are in.
            const std::string piece = QuotedPath(call.arguments);
            for (const auto& [fd, path] : open) {
                if (path == piece) {
                    destination = fd;
                }
            }
            appendedAt[piece] = i;
        } else if (call.name == "linkat" && call.result == 0 &&
                   call.arguments.find('"' + source + '"') != std::string::npos) {
            destination = std::atol(QuotedPath(call.arguments).substr(14).c_str());
        } else if ((call.name == "write" || call.name == "copy_file_range") && call.result > 0) {
            if (testing::WrittenDescriptor(call) == destination) {
                lastWrite = i;
                if (call.name == "copy_file_range") {
                    appendedAt[open[fd]] = i;
                }
            }
        } else if ((call.name == "fdatasync" || call.name == "fsync") && call.result == 0) {
            if (fd == destination) {
                lastFlush = i;
            } else if (open[fd] == recordWritten) {
                recordFlushed = i;
            } else if (open[fd] == folder.Path() + "/") {
                ++folderFlushes;
                if (recordNamed >= 0 && recordDurable < 0) {
                    recordDurable = i;
                }
            }
        } else if (call.name == "unlink" && call.result == 0) {
            const std::string piece = QuotedPath(call.arguments);
            if (piece == record) {
                recordRemoved = i;
                continue;
            }
            EXPECT_GE(recordDurable, 0) << piece << " deleted before the record was durable";
            lastPieceGone = i;
            ASSERT_TRUE(appendedAt.contains(piece)) << piece << " deleted, never appended";
            EXPECT_GT(lastFlush, appendedAt[piece]) << piece << " deleted before a flush";
        }
    }
    EXPECT_GT(lastFlush, lastWrite) << "the last bytes were not flushed";
    EXPECT_EQ(appendedAt.size(), 300u);
    EXPECT_EQ(folderFlushes, 2) << "the record's, then the destination's";
    EXPECT_GT(recordRemoved, lastPieceGone) << "the record went before the last piece";
}
#endif

}  // namespace
}  // namespace morcelix
