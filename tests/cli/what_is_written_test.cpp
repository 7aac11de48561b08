// What morcelix-cli writes and deletes, as a script meets it: only where it
// was pointed, never through a link, never over what it did not write, and
// with a message that says what it found.
#include <gtest/gtest.h>

#include <filesystem>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::CliProgram;
using testing::kCliPrefix;
using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RunProgram;
using testing::TempFolder;
using testing::WriteFileBytes;

class WhatIsWrittenTest : public ::testing::Test {
  protected:
    ProgramRun Run(const std::vector<std::string>& arguments,
                   const testing::ProgramPipes& pipes = {}) {
        return RunProgram(CliProgram(), arguments, scratch.Path(), testing::BuiltProgramLauncher(),
                          pipes);
    }
#ifndef _WIN32
    // Runs the tool with its standard input as `redirection` makes it for a
    // POSIX shell: "<&-" closes it, "<FOLDER" makes it a folder.
    ProgramRun RunWithInput(const std::string& redirection,
                            const std::vector<std::string>& arguments) {
        std::vector<std::string> command = testing::BuiltProgramLauncher();
        command.push_back(CliProgram());
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::vector<std::string> shell = {"-c", "exec \"$@\" " + redirection, "sh"};
        shell.insert(shell.end(), command.begin(), command.end());
        return RunProgram("sh", shell, scratch.Path());
    }
#endif

    TempFolder folder;
    TempFolder scratch;
};

#ifndef _WIN32
TEST_F(WhatIsWrittenTest, StandardInputThatCanNotBeReadIsRefusedBeforeAnythingIsWritten) {
    const std::string pieces = folder / "flux";
    const std::string writeOnly = scratch / "sortie";
    WriteFileBytes(writeOnly, "");
    const std::pair<std::string, std::string> cases[] = {
        {"<&-", "L'entrée standard est fermée"},
        {"<" + folder.Path(), "L'entrée standard est un dossier"},
        {"0>" + writeOnly, "L'entrée standard ne peut pas être lue"},
    };
    for (const auto& [redirection, message] : cases) {
        const ProgramRun run = RunWithInput(redirection, {"decouper", "--nom", pieces, "-", "1"});
        EXPECT_EQ(run.status, 1) << redirection;
        EXPECT_EQ(run.err, kCliPrefix + message + "\n");
        EXPECT_EQ(folder.Names(), std::vector<std::string>{}) << redirection;
    }
}

// Standard input's bytes are not known beforehand: whatever stands under the
// names it would write is replaced on request only, and never when standard
// input is one of those files.
TEST_F(WhatIsWrittenTest, AStandardInputSplitReplacesNothingUnaskedAndNeverItsOwnInput) {
    const std::string source = folder / "X";
    const std::string bytes = PatternBytes(5'500'000, 8);
    WriteFileBytes(source, bytes);
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    const auto set = folder.Snapshot();
    ProgramRun run = Run({"decouper", "--nom", source, "-", "1"}, {.input = "hello\n"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + source + ".001 existe déjà\n");
    EXPECT_EQ(folder.Snapshot(), set);
    for (const bool force : {false, true}) {
        std::vector<std::string> arguments = {"decouper", "--nom", source, "-", "1"};
        if (force) {
            arguments.insert(arguments.begin() + 1, "-f");
        }
        run = RunWithInput("<" + source + ".002", arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, kCliPrefix + "L'entrée standard est le fichier " + source +
                               ".002, que le découpage remplacerait\n");
        EXPECT_EQ(folder.Snapshot(), set);
    }
    run = Run({"decouper", "-f", "--nom", source, "-", "1"}, {.input = "hello\n"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"X.001"}) << "stale pieces left";
    EXPECT_EQ(ReadFileBytes(source + ".001"), "hello\n");
}

// -o into a folder whose names are links: the links are in the way, replaced
// (as links) on request; what they lead to is never written.
TEST_F(WhatIsWrittenTest, AFolderWhoseNamesAreLinksIsNeverWrittenThrough) {
    const TempFolder out;
    const TempFolder elsewhere;
    const std::string source = folder / "f";
    const std::string bytes = PatternBytes(2'500'000, 9);
    WriteFileBytes(source, bytes);
    const std::string target = elsewhere / "cible";
    WriteFileBytes(target, "elsewhere");
    std::filesystem::create_symlink(testing::NativePath(target),
                                    testing::NativePath(out / "f.002"));
    std::filesystem::create_symlink(testing::NativePath(elsewhere / "nouveau"),
                                    testing::NativePath(out / "f"));
    const auto before = out.Snapshot();
    ProgramRun run = Run({"decouper", "-o", out.Path(), source, "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + out / "f.002" + " existe déjà\n");
    EXPECT_EQ(out.Snapshot(), before);
    run = Run({"decouper", "-f", "-o", out.Path(), source, "1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(IsLink(out / "f.002"));
    // The join, into a dangling link's name: refused, then replaced on request.
    run = Run({"regrouper", "--garder", out / "f.001"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + out / "f" + " existe déjà\n");
    run = Run({"regrouper", "-f", out / "f.001"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(IsLink(out / "f"));
    EXPECT_TRUE(ReadFileBytes(out / "f") == bytes);
    EXPECT_EQ(ReadFileBytes(target), "elsewhere");
    EXPECT_EQ(elsewhere.Names(), std::vector<std::string>{"cible"});
}
#endif

// The longest names a file system takes (255 bytes): every name the tool
// writes, temporary ones included, fits wherever its final name fits.
TEST_F(WhatIsWrittenTest, NamesUpTo255BytesAreSplitCheckedAndJoined) {
    for (const std::size_t length : {240u, 244u, 248u, 251u}) {
        SCOPED_TRACE(length);
        const std::string name(length, 'n');  // its pieces' names: length + 4 bytes
        const std::string source = folder / name;
        const std::string bytes = PatternBytes(2'500'000, static_cast<unsigned>(length));
        WriteFileBytes(source, bytes);
        // NAME.sha256 fits up to 248 bytes; beyond, it can not be written:
        // refused, and nothing left but the source.
        ProgramRun run = Run({"decouper", "--somme", source, "1"});
        const bool sums = length <= 248;
        ASSERT_EQ(run.status, sums ? 0 : 1) << run.err;
        if (!sums) {
            EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
            ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
        }
        RemoveFile(source);
        EXPECT_EQ(Run({"verifier", source + ".001"}).status, 0);
        run = Run({"regrouper", source + ".001"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ReadFileBytes(source) == bytes);
        std::vector<std::string> left = {name};
        if (sums) {
            left.push_back(name + ".sha256");
        }
        EXPECT_EQ(folder.Names(), left);
        for (const std::string& entry : folder.Names()) {
            RemoveFile(folder / entry);
        }
    }
}

}  // namespace
}  // namespace morcelix
