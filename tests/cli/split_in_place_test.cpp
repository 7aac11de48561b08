// decouper --sur-place as users run it: the set an ordinary split writes, a
// run killed at any moment finished by running it again with nothing lost
// meanwhile, an interruption that says how to finish, and what does not fit
// refused before anything is touched. On POSIX, the order of the system calls
// shows that nothing is cut off the file before the piece holding it is on
// the disk.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "cli/commands.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "pieces/split_in_place.h"
#include "tests/cli/run_program.h"
#include "tests/support/in_place_state.h"
#include "tests/support/temp_folder.h"

#ifndef _WIN32
#include <map>

#include "tests/cli/system_calls.h"
#include "tests/support/fifo_guard.h"
#endif

namespace morcelix {
namespace {

using namespace std::chrono_literals;
using testing::CliProgram;
using testing::InPlaceStateFault;
using testing::PatternBytes;
using testing::ProgramProcess;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;
using Snapshot = std::vector<std::pair<std::string, std::string>>;

using testing::kCliPrefix;

class CliInPlaceTest : public ::testing::Test {
  protected:
    // A hundred pieces of 100 ko, the last one shorter.
    static constexpr std::int64_t kPieceSize = 100'000;
    static constexpr std::int64_t kSize = 100 * kPieceSize - 4321;

    void SetUp() override { bytes = PatternBytes(kSize, 23); }

    ProgramProcess Start(const std::vector<std::string>& arguments) {
        return ProgramProcess(CliProgram(), arguments, scratch.Path(),
                              testing::BuiltProgramLauncher());
    }
    ProgramRun Run(const std::vector<std::string>& arguments) {
        return Start(arguments).Wait(std::chrono::minutes(2));
    }

    // The set that an ordinary split of the source writes, with its manifest or not.
    Snapshot OrdinarySet(bool manifest = true) {
        const TempFolder elsewhere;
        WriteFileBytes(elsewhere / "film.bin", bytes);
        EXPECT_EQ(
            RunQuietly({"decouper", manifest ? "--somme" : "--", elsewhere / "film.bin", "100k"}),
            0);
        RemoveFile(elsewhere / "film.bin");
        return elsewhere.Snapshot();
    }
    // The exit status of a run that writes nothing.
    int RunQuietly(const std::vector<std::string>& arguments) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.out + run.err, "");
        return run.status;
    }

    TempFolder folder;
    TempFolder scratch;
    std::string source = folder / "film.bin";
    std::vector<std::string> split = {"decouper", "--sur-place", "--somme", source, "100k"};
    std::string bytes;
    std::mt19937 random{20261223};
};

TEST_F(CliInPlaceTest, TheFileBecomesAnOrdinarySplitsSetWhichJoinsBack) {
    const Snapshot expected = OrdinarySet();
    WriteFileBytes(source, bytes);
    ProgramRun run = Run(split);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_TRUE(folder.Snapshot() == expected);
    EXPECT_EQ(Run({"verifier", source + ".001"}).status, 0);
    run = Run({"regrouper", source + ".001"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(source) == bytes);

    // Its checksum file lost or emptied (the disk of an older version, cut
    // off just after it said it was done): splitting again writes it again.
    ASSERT_EQ(Run(split).status, 0);
    for (const bool emptied : {true, false}) {
        if (emptied) {
            WriteFileBytes(source + ".sha256", "");
        } else {
            RemoveFile(source + ".sha256");
        }
        run = Run(split);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(folder.Snapshot() == expected) << "emptied: " << emptied;
    }
    run = Run({"regrouper", source + ".001"});
    EXPECT_EQ(run.status, 0) << run.err;

    // Elsewhere on the same disk, under another name: the file is moved there.
    const TempFolder other;
    RemoveFile(source + ".sha256");
    run = Run({"decouper", "--sur-place", "--verbeux", "-o", other.Path(), "--nom", "autre.bin",
               source, "4M"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "créé : " + other / "autre.bin.003" + "\ncréé : " + other / "autre.bin.002" +
                           "\ncréé : " + other / "autre.bin.001" + "\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{});
    EXPECT_EQ(ReadFileBytes(other / "autre.bin.001") + ReadFileBytes(other / "autre.bin.002") +
                  ReadFileBytes(other / "autre.bin.003"),
              bytes);
}

TEST_F(CliInPlaceTest, KilledAtAnyMomentItLosesNothingAndRunningItAgainFinishesIt) {
    const Snapshot expected = OrdinarySet();
    // The program has begun once the last piece is there.
    const auto awaitWork = [last = source + ".100"] {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!FileExists(last) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
    };
    WriteFileBytes(source, bytes);
    ProgramProcess timed = Start(split);
    awaitWork();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(timed.Wait().status, 0);
    // A little beyond: a kill after the end finds the work done.
    const auto work = (std::chrono::steady_clock::now() - started) * 11 / 10;

    // Under Wine, one round: each is slow there, and the kill is the same.
#ifdef _WIN32
    constexpr int kRounds = 1;
#else
    constexpr int kRounds = 24;
#endif
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        WriteFileBytes(source, bytes);
        ProgramProcess process = Start(split);
        awaitWork();
        std::uniform_int_distribution<std::int64_t> moment(0, work.count());
        std::this_thread::sleep_for(std::chrono::steady_clock::duration(moment(random)));
        process.Kill();
        process.Wait();
        EXPECT_EQ(InPlaceStateFault(source, kPieceSize, bytes), "");
        const ProgramRun again = Run(split);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_TRUE(folder.Snapshot() == expected);
    }
}

// Ctrl+C, as the commands' own tests press it: in-process, on every platform.
TEST_F(CliInPlaceTest, AnInterruptionSaysHowToFinishAndRunningAgainFinishes) {
    class NoInput : public SequentialInput {
        std::int32_t ReadSome(void*, std::int32_t) override { return 0; }
    } input;
    class NoOutput : public TStream {
        std::int32_t Read(void*, std::int32_t) override { return 0; }
        std::int32_t Write(const void*, std::int32_t count) override { return count; }
        std::int64_t Seek(std::int64_t, SeekOrigin) override { return -1; }
    } output;
    const std::vector<std::string> plain = {"decouper", "--sur-place", source, "100k"};
    WriteFileBytes(source, bytes);
    std::ostringstream out, err;
    cli::RequestInterruption();
    EXPECT_EQ(cli::RunCli(plain, out, err, false, {input, output}), cli::kExitInterrupted);
    EXPECT_EQ(err.str(),
              kCliPrefix + "Découpage interrompu : relancez la même commande pour le terminer\n");
    EXPECT_EQ(InPlaceStateFault(source, kPieceSize, bytes), "");
    err.str("");
    EXPECT_EQ(cli::RunCli(plain, out, err, false, {input, output}), cli::kExitSuccess);
    EXPECT_TRUE(folder.Snapshot() == OrdinarySet(false));
}

TEST_F(CliInPlaceTest, WhatDoesNotFitIsRefusedBeforeAnythingIsTouched) {
    // A split in place of 1 Mo pieces, stopped once two pieces were cut off.
    const std::string stopped = folder / "stopped.bin";
    WriteFileBytes(stopped, bytes);
    struct StopAtSecondPiece : testing::RecordingProgress {
        void Moved(std::int64_t done, Mark mark) override {
            if (mark == Mark::Piece && !positions.empty()) {
                throw EInterrupted(Text::InPlaceSplitInterrupted);
            }
            RecordingProgress::Moved(done, mark);
        }
    } stopping;
    EXPECT_THROW(SplitInPlace(SurveyInPlaceSplit(stopped, 1'000'000), stopping), EInterrupted);
    // Beside another file: its earlier split's pieces, of another size, and a
    // file of its name that is no piece.
    WriteFileBytes(source, bytes);
    for (std::uint64_t number = 1; number <= 3; ++number) {
        WriteFileBytes(PieceName(source, number),
                       bytes.substr((number - 1) * 4'000'000, 4'000'000));
    }
    const std::string lone = folder / "lone.bin";
    WriteFileBytes(lone, bytes);
    WriteFileBytes(lone + ".007", "not a piece");
    const std::string linked = folder / "linked.bin";
    WriteFileBytes(linked, "abc");
    std::filesystem::create_hard_link(testing::NativePath(linked),
                                      testing::NativePath(folder / "other name"));
    const auto before = folder.Snapshot();

    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    std::vector<Case> cases = {
        {{"decouper", "--sur-place", stopped, "2"},
         1,
         "Le découpage sur place de " + stopped +
             " a commencé en parties de 1000000o : relancez-le avec cette taille pour le terminer"},
        {{"decouper", "--sur-place", source, "1"},
         1,
         "Les parties de " + source +
             " déjà là ont la taille 4000000o : relancez la commande avec cette taille, ou "
             "déplacez-les ailleurs"},
        {{"decouper", "--sur-place", lone, "1"},
         1,
         "Le fichier " + lone + ".007 n'est pas une partie du découpage sur place de " + lone +
             " : déplacez-le ailleurs, puis relancez la commande"},
        {{"decouper", "--sur-place", linked, "1"},
         1,
         "Le fichier " + linked +
             " a d'autres noms (liens physiques), que le découpage sur place viderait : "
             "supprimez-les ou découpez-le sans --sur-place"},
        {{"decouper", "--sur-place", folder.Path(), "1"}, 1, folder.Path() + " est un dossier"},
        {{"decouper", "--sur-place", folder / "absent", "1"},
         1,
         "Fichier non trouvé : " + folder / "absent"},
        {{"decouper", "--sur-place", "--parties", "3", source},
         2,
         "Les options --sur-place et --parties s'excluent"},
        {{"decouper", "--sur-place", "--nom", "x", "-", "1"},
         2,
         "L'option --sur-place ne s'applique pas à l'entrée standard (-)"},
    };
#ifndef _WIN32
    const std::string fifo = folder / "tube";
    testing::MakeFifo(fifo);
    const std::string link = folder / "lien";
    std::filesystem::create_symlink(testing::NativePath(source), testing::NativePath(link));
    cases.push_back({{"decouper", "--sur-place", fifo, "1"}, 1, "Fichier non trouvé : " + fifo});
    cases.push_back({{"decouper", "--sur-place", link, "1"},
                     1,
                     link + " est un lien : découpez sur place le fichier vers lequel il mène"});
    const auto all = folder.Snapshot();
#else
    const auto all = before;
#endif
    for (const Case& c : cases) {
        const ProgramRun run = Run(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.message;
        const std::string help = c.status == 2 ? "Pour l'aide : morcelix-cli --aide\n" : "";
        EXPECT_EQ(run.err, kCliPrefix + c.message + "\n" + help);
        EXPECT_TRUE(folder.Snapshot() == all) << c.message;
    }
    // Given the size it began with, the stopped split finishes.
    EXPECT_EQ(RunQuietly({"decouper", "--sur-place", stopped, "1"}), 0);
    EXPECT_EQ(RunQuietly({"regrouper", stopped + ".001"}), 0);
    EXPECT_TRUE(ReadFileBytes(stopped) == bytes);
}

#ifndef _WIN32
TEST_F(CliInPlaceTest, NothingIsCutOffTheFileBeforeThePieceHoldingItIsFlushed) {
    if (!testing::BuiltProgramLauncher().empty()) {
        GTEST_SKIP() << "under an emulator, its own system calls mix in";
    }
    WriteFileBytes(source, bytes);
    const std::string log = scratch / "trace.txt";
    const ProgramRun run = testing::RunProgram(
        "strace",
        {"-f", "-o", log, "-e",
         "trace=openat,linkat,write,copy_file_range,fdatasync,fsync,ftruncate,rename,renameat,"
         "renameat2,unlink",
         CliProgram(), "decouper", "--sur-place", source, "100k"},
        scratch.Path());
    ASSERT_EQ(run.status, 0) << run.err;

    // Which file each descriptor is; for each piece, its last write, then its
    // flush, then the folder's.
    std::map<long, std::string> open;
    std::map<std::string, long> written, flushed, named;
    long renamed = -1;
    long lastFolderFlush = -1;
    long cutFrom = 100;  // the pieces from the next after it are cut off
    // The split's record: written under a temporary name and flushed, renamed
    // into place, its folder flushed, before the first piece; removed once the
    // file is renamed.
    const std::string record = source + ".000";
    const std::string recordWritten = folder / "~ilm.bin.000";
    long recordFlushed = -1;
    long recordNamed = -1;
    long recordDurable = -1;
    long recordRemoved = -1;
    const std::vector<testing::Call> calls = testing::ReadTrace(ReadFileBytes(log));
    for (long i = 0; i < static_cast<long>(calls.size()); ++i) {
        const testing::Call& call = calls[static_cast<std::size_t>(i)];
        const long fd = std::atol(call.arguments.c_str());
        if (call.name == "openat" && call.result >= 0) {
            open[call.result] = testing::QuotedPath(call.arguments);
        } else if ((call.name == "write" || call.name == "copy_file_range") && call.result > 0) {
            const long target = testing::WrittenDescriptor(call);
            if (open[target] == recordWritten) {
                continue;
            }
            EXPECT_GE(recordDurable, 0) << "a piece written before the record was durable";
            EXPECT_NE(open[target], source) << "the file is written";
            written[open[target]] = i;
        } else if (call.name == "fdatasync" && call.result == 0) {
            if (open[fd] == recordWritten) {
                recordFlushed = i;
            } else {
                flushed[open[fd]] = i;
            }
        } else if (call.name == "fsync" && call.result == 0 && open[fd] == folder.Path() + "/") {
            lastFolderFlush = i;
            if (recordNamed >= 0 && recordDurable < 0) {
                recordDurable = i;
            }
            for (const auto& [piece, at] : flushed) {
                named[piece] = i;
            }
        } else if (call.name == "ftruncate" && call.result == 0) {
            ASSERT_EQ(open[fd], source);
            const long offset =
                std::atol(call.arguments.substr(call.arguments.find(',') + 1).c_str());
            // Every piece whose bytes the cut removes is on the disk, with its name.
            for (long number = offset / kPieceSize + 1; number <= cutFrom; ++number) {
                const std::string piece = PieceName(source, static_cast<std::uint64_t>(number));
                ASSERT_TRUE(written.contains(piece)) << "cut at " << offset << " before " << piece;
                EXPECT_GT(flushed[piece], written[piece]) << piece << " not flushed before the cut";
                EXPECT_GT(named[piece], flushed[piece])
                    << piece << "'s name not flushed before the cut";
            }
            cutFrom = offset / kPieceSize;
        } else if (call.name.starts_with("rename") && call.result == 0 &&
                   call.arguments.ends_with('"' + record + '"')) {
            EXPECT_GE(recordFlushed, 0) << "the record named before it was flushed";
            recordNamed = i;
        } else if (call.name.starts_with("rename") && call.result == 0) {
            EXPECT_NE(call.arguments.find('"' + source + "\", "), std::string::npos);
            EXPECT_NE(call.arguments.find('"' + source + ".001\""), std::string::npos);
            renamed = i;
        } else if (call.name == "unlink" && testing::QuotedPath(call.arguments) == record) {
            recordRemoved = i;
        } else if (call.name == "unlink") {
            ADD_FAILURE() << "unlink(" << call.arguments << ")";
        }
    }
    EXPECT_GT(recordRemoved, lastFolderFlush) << "the record went before the rename was durable";
    EXPECT_EQ(cutFrom, 1) << "not cut down to the first piece";
    EXPECT_GT(renamed, 0);
    EXPECT_GT(lastFolderFlush, renamed) << "the rename is not flushed";
    EXPECT_TRUE(ReadFileBytes(source + ".001") == bytes.substr(0, kPieceSize));
}
#endif

}  // namespace
}  // namespace morcelix
