// morcelix-cli run as a process, as a script runs it: exit statuses, the texts
// on each output, and what is left on disk.
#include <gtest/gtest.h>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

#ifndef _WIN32
#include <unistd.h>

#include <filesystem>

#include "tests/support/fifo_guard.h"
#endif

namespace morcelix {
namespace {

using testing::CliProgram;
using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::RunProgram;
using testing::TempFolder;
using testing::WriteFileBytes;

constexpr const char* kSeeHelp = "Pour l'aide : morcelix-cli --aide\n";

class CliTest : public ::testing::Test {
  protected:
    ProgramRun Run(const std::vector<std::string>& arguments) {
        return RunProgram(CliProgram(), arguments, scratch.Path());
    }

    TempFolder folder;
    TempFolder scratch;
    // Characters outside any ANSI code page, a blank and a quote: the name must
    // reach the program whole.
    std::string name = "vacances d'été Ωμέγα.avi";
    std::string source = folder / name;
    std::string first = source + ".001";
};

TEST_F(CliTest, SplitThenJoinGivesTheSourceBackByteForByte) {
    struct Case {
        std::int64_t size;
        std::vector<std::int64_t> pieces;
    };
    const Case cases[] = {
        {2500000, {1000000, 1000000, 500000}},
        {3000000, {1000000, 1000000, 1000000, 0}},  // a whole multiple: a last, empty piece
        {0, {0}},
    };
    for (const auto& c : cases) {
        const std::string bytes = PatternBytes(c.size, 5);
        WriteFileBytes(source, bytes);

        ProgramRun run = Run({"decouper", source, "1"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");  // no progress line when standard error is a file
        std::vector<std::int64_t> sizes;
        for (std::uint64_t i = 1; FileExists(PieceName(source, i)); ++i) {
            sizes.push_back(FileSize(PieceName(source, i)));
        }
        EXPECT_EQ(sizes, c.pieces) << c.size;
        EXPECT_EQ(ReadFileBytes(source), bytes);

        RemoveFile(source);
        run = Run({"regrouper", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ReadFileBytes(source), bytes) << c.size;
        EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
    }
}

TEST_F(CliTest, KeepingThePiecesLeavesTheSetWhereverTheOptionStands) {
    const std::string bytes = PatternBytes(2500000, 6);
    WriteFileBytes(source, bytes);
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    const auto set = folder.Snapshot();

    for (const auto& arguments : {std::vector<std::string>{"regrouper", "--garder", first},
                                  std::vector<std::string>{"regrouper", first, "--garder"}}) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFileBytes(source), bytes);
        RemoveFile(source);
        EXPECT_EQ(folder.Snapshot(), set);
    }
}

TEST_F(CliTest, VerifierListsTheSetAndReportsTheFirstMissingPiece) {
    WriteFileBytes(source, PatternBytes(2500000, 7));
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    auto before = folder.Snapshot();

    ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1000000  " + first + "\n" +               //
                           "1000000  " + source + ".002\n" +      //
                           " 500000  " + source + ".003\n" +      //
                           "Total : 3 parties, 2500000 octets\n"  //
                           "Fichier regroupé : " +
                           source + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(folder.Snapshot(), before);

    RemoveFile(source + ".002");
    before = folder.Snapshot();
    const std::string missing = "Le fichier " + source + ".002 est manquant\n";
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "1000000  " + first + "\n" +
                           "Total : 1 partie, 1000000 octets\n"
                           "Fichier regroupé : " +
                           source + "\n");
    EXPECT_EQ(run.err, missing);

    // Joining the same set refuses before touching anything.
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, missing);
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, RefusalsGiveTheirMessageAndStatusOneAndWriteNothing) {
    WriteFileBytes(source, PatternBytes(2500000, 8));
    const std::string empty = folder / "vide.txt";
    WriteFileBytes(empty, "");
    const std::string other = folder / "notes.txt";
    WriteFileBytes(other + ".001", "abc");
    WriteFileBytes(other + ".002", "def");
    const std::string missing = folder / "absent.avi";
    const auto before = folder.Snapshot();

    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"decouper", source, "-5"}, "'-5' n'est pas une taille de fichiers correcte"},
        {{"decouper", source, "abc"}, "'abc' n'est pas une valeur entière correcte"},
        {{"decouper", source, "1 "}, "'1 ' n'est pas une valeur entière correcte"},
        {{"decouper", source, ""}, "'' n'est pas une valeur entière correcte"},
        {{"decouper", source, "0"}, "Division par zéro en virgule flottante"},
        {{"decouper", empty, "0"}, "Opération en virgule flottante incorrecte"},
        // The file is looked for before the size is read, as in the window.
        {{"decouper", missing, "1"}, "Fichier non trouvé"},
        {{"decouper", missing, "abc"}, "Fichier non trouvé"},
        {{"regrouper", missing + ".001"}, "Fichier non trouvé"},
        {{"verifier", missing + ".001"}, "Fichier non trouvé"},
        {{"regrouper", other + ".002"},
         "Le fichier " + other + ".002 n'est pas la première partie d'un découpage"},
        {{"verifier", other + ".002"},
         "Le fichier " + other + ".002 n'est pas la première partie d'un découpage"},
    };
    for (const auto& c : cases) {
        const ProgramRun run = Run(c.arguments);
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_EQ(run.out, "") << c.message;
        EXPECT_EQ(run.err, c.message + "\n");
        EXPECT_EQ(folder.Snapshot(), before) << c.message;
    }
}

TEST_F(CliTest, MalformedCommandsAreUsageErrorsAndHelpGoesToStandardOutput) {
    WriteFileBytes(source, "abc");
    const auto before = folder.Snapshot();
    const std::vector<std::string> malformed[] = {
        {},
        {"couper", source, "1"},
        {"decouper", source},
        {"decouper", source, "1", "2"},
        {"regrouper"},
        {"verifier", first, first},
        {"decouper", "--taille", source, "1"},
        {"decouper", "--garder", source, "1"},
        {"verifier", "--garder", first},
        {"--", "--aide"},
    };
    for (const auto& arguments : malformed) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(arguments);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.ends_with(kSeeHelp)) << run.err;
        EXPECT_GT(run.err.size(), std::string(kSeeHelp).size());
    }
    for (const auto& arguments :
         {std::vector<std::string>{"-h"}, {"--aide"}, {"decouper", source, "--aide"}}) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out.starts_with("Usage : morcelix-cli")) << run.out;
        EXPECT_NE(run.out.find("découpe FICHIER en parties de TAILLE Mo"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, APieceOfTheWrongSizeIsReportedAndRefused) {
    WriteFileBytes(source, PatternBytes(2500000, 7));
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    // A copy cut off: the middle piece is short.
    WriteFileBytes(source + ".002", ReadFileBytes(source + ".002").substr(0, 600000));
    const auto before = folder.Snapshot();
    const std::string wrong = "Le fichier " + source + ".002 n'a pas la taille attendue\n";

    ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "1000000  " + first + "\n" +               //
                           " 600000  " + source + ".002\n" +      //
                           " 500000  " + source + ".003\n" +      //
                           "Total : 3 parties, 2100000 octets\n"  //
                           "Fichier regroupé : " +
                           source + "\n");
    EXPECT_EQ(run.err, wrong);
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, wrong);
    EXPECT_EQ(folder.Snapshot(), before);
}

#ifndef _WIN32
TEST_F(CliTest, AFolderThatCanNotBeListedIsRefusedBeforeAnythingIsTouched) {
    WriteFileBytes(source, PatternBytes(2500000, 8));
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    RemoveFile(source + ".002");  // a gap that only the listing shows
    const auto before = folder.Snapshot();
    // Its files can be reached, but the folder can not be read. Root reads
    // every folder: the tool then runs as nobody.
    std::filesystem::permissions(testing::NativePath(folder.Path()),
                                 std::filesystem::perms::owner_all |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec);
    const std::vector<std::string> asNobody =
        geteuid() == 0 ? std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534",
                                                  "--clear-groups", "--"}
                       : std::vector<std::string>{};
    const ProgramRun run = RunProgram(CliProgram(), {"regrouper", first}, scratch.Path(), asNobody);
    std::filesystem::permissions(testing::NativePath(folder.Path()),
                                 std::filesystem::perms::owner_all);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Impossible de lire le dossier " + folder.Path() + "\n");
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, OnlyARegularFileIsSplit) {
    const std::string fifo = folder / "tube";
    testing::MakeFifo(fifo);
    for (const std::string& notAFile : {fifo, std::string("/dev/zero")}) {
        const ProgramRun run =
            testing::ProgramProcess(CliProgram(), {"decouper", notAFile, "1"}, scratch.Path())
                .Wait(std::chrono::seconds(20));
        EXPECT_EQ(run.status, 1) << notAFile << " (-1: it waited on the FIFO)";
        EXPECT_EQ(run.err, "Fichier non trouvé\n");
    }
    EXPECT_FALSE(FileExists(fifo + ".001"));
    EXPECT_FALSE(testing::PathExists("/dev/zero.001"));
}
#endif

TEST_F(CliTest, ASetWrittenByTheSplitRoutineInProcessIsJoinedByTheTool) {
    const std::string bytes = PatternBytes(2500001, 9);
    WriteFileBytes(source, bytes);
    RecordingProgress progress;
    Split(source, 1000000, progress);
    RemoveFile(source);

    const ProgramRun run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
}

}  // namespace
}  // namespace morcelix
