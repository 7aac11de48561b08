// The notice a split writes with --notice: its commands, run by the shells
// a recipient has, rebuild the file byte for byte, and its SHA-256 is the file's.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::CliProgram;
using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RunProgram;
using testing::TempFolder;
using testing::WriteFileBytes;
using testing::kCliPrefix;

constexpr auto kTimeout = std::chrono::minutes(2);

// The notice's lines, without their CRLF ends; the byte order mark checked off.
std::vector<std::string> NoticeLines(const std::string& path) {
    const std::string text = ReadFileBytes(path);
    EXPECT_TRUE(text.starts_with("\xEF\xBB\xBF"));
    std::vector<std::string> lines;
    std::size_t at = 3;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "a line without CRLF";
        if (end == std::string::npos) {
            break;
        }
        EXPECT_EQ(text.substr(at, end - at).find('\n'), std::string::npos);
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// The commands under the first heading that starts with `heading`, up to the next blank line.
std::vector<std::string> CommandsUnder(const std::vector<std::string>& lines,
                                       const std::string& heading) {
    std::vector<std::string> commands;
    bool in = false;
    for (const std::string& line : lines) {
        if (!in) {
            in = line.starts_with(heading);
        } else if (line.empty()) {
            break;
        } else if (line.starts_with("    ")) {
            commands.push_back(line.substr(4));
        }
    }
    return commands;
}

class NoticeTest : public ::testing::Test {
  protected:
    ProgramRun Split(const std::vector<std::string>& arguments,
                     const testing::ProgramPipes& pipes = {}) {
        return testing::ProgramProcess(CliProgram(), arguments, scratch.Path(),
                                       testing::BuiltProgramLauncher(), pipes)
            .Wait(kTimeout);
    }
    // Cuts `name` holding `bytes` with `how`, and moves it away.
    std::vector<std::string> CutAndRemove(const std::string& name, const std::string& bytes,
                                          std::vector<std::string> how) {
        WriteFileBytes(folder / name, bytes);
        how.insert(how.begin(), {"--silencieux", "decouper", "--notice"});
        how.insert(how.begin() + 3, folder / name);
        const ProgramRun run = Split(how);
        EXPECT_EQ(run.status, 0) << run.err;
        std::filesystem::remove(std::filesystem::u8path(folder / name));
        return NoticeLines(folder / (name + ".regrouper.txt"));
    }

    TempFolder folder;
    TempFolder scratch;
};

#ifndef _WIN32
TEST_F(NoticeTest, ItsShellCommandRebuildsTheFileAndItsSumIsTheFiles) {
    const std::string name = "-l'été à l'eau x.bin";
    const std::string bytes = PatternBytes(2500000);
    const auto lines = CutAndRemove(name, bytes, {"1Mo"});
    const auto cat = CommandsUnder(lines, "macOS et Linux");
    ASSERT_EQ(cat.size(), 1u);
    ProgramRun run = testing::ProgramProcess("sh", {"-c", "cd \"$1\" && " + cat[0], "sh", folder.Path()},
                                             scratch.Path()).Wait(kTimeout);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(folder / name) == bytes);
    const auto sum = CommandsUnder(lines, "Somme SHA-256");
    ASSERT_FALSE(sum.empty());
    const auto check = CommandsUnder(lines, "Pour la v");
    ASSERT_EQ(check.size(), 4u);
    const std::string linux = check[3].substr(check[3].find("sha256sum"));
    run = testing::ProgramProcess("sh", {"-c", "cd \"$1\" && " + linux, "sh", folder.Path()},
                                  scratch.Path()).Wait(kTimeout);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with(sum[0] + " ")) << run.out;
    // The English half holds the same commands.
    EXPECT_EQ(CommandsUnder(lines, "macOS and Linux"), cat);
}

// With recovery data, the notice's repair command rebuilds lost and damaged
// pieces with the reference PAR2 tool, and its cat command then the file.
TEST_F(NoticeTest, WithRecoveryDataItsRepairCommandRebuildsThePiecesBeforeTheJoin) {
    if (!std::filesystem::exists("/usr/bin/par2")) {
        GTEST_SKIP() << "no par2 here";
    }
    const std::string name = "l'été.iso";
    const std::string bytes(3500000, '\0');  // pieces alike: only their place tells them apart
    const auto lines = CutAndRemove(name, bytes, {"--secours", "2", "1Mo"});
    const auto repair = CommandsUnder(lines, "Données de secours");
    ASSERT_EQ(repair, std::vector<std::string>{"par2 repair 'l'\\''été.iso.par2'"});
    EXPECT_EQ(CommandsUnder(lines, "Recovery data"), repair);
    std::filesystem::remove(std::filesystem::u8path(folder / (name + ".002")));
    WriteFileBytes(folder / (name + ".004"), std::string(500000, 'x'));
    const auto cat = CommandsUnder(lines, "macOS et Linux");
    ASSERT_EQ(cat.size(), 1u);
    const ProgramRun run =
        testing::ProgramProcess("sh", {"-c", "cd \"$1\" && " + repair[0] + " && " + cat[0], "sh",
                                       folder.Path()},
                                scratch.Path())
            .Wait(kTimeout);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(ReadFileBytes(folder / name) == bytes);
}

// A name that cmd's quotes can not hold, or that can not be typed, is refused
// before anything is touched, by each kind of split: an earlier set of that
// name, which a split would replace, stays as it was.
TEST_F(NoticeTest, ANameItsCommandsCanNotHoldIsRefusedBeforeAnythingIsWritten) {
    const std::string bytes = PatternBytes(25);
    for (const std::string name :
         {"guillemet \" dedans.bin", "fin\nde ligne.bin", "retour\r.bin", "tab\t.bin",
          "pas de l'UTF-8 \xE9t\xE9.bin", "surrogate \xED\xA0\x80.bin"}) {
        const std::string path = folder / name;
        WriteFileBytes(path, bytes);
        ProgramRun run = Split({"--silencieux", "decouper", "--somme", path, "10o"});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto before = folder.Snapshot();
        const std::string refusal =
            kCliPrefix + "Le nom " + name +
            " ne peut pas s'écrire dans les commandes de la notice : il contient un guillemet"
            " (\"), une fin de ligne ou un autre caractère de contrôle, ou n'est pas de"
            " l'UTF-8 ; donnez-en un autre avec --nom\n";
        const std::vector<std::vector<std::string>> splits = {
            {"decouper", "--notice", "--somme", "-f", path, "10o"},
            {"decouper", "--notice", "--sur-place", path, "10o"},
            {"decouper", "--notice", "-f", "--nom", path, "-", "10o"},
        };
        for (const auto& arguments : splits) {
            run = Split(arguments, {.input = bytes});
            EXPECT_EQ(run.status, 1) << arguments[2];
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, refusal);
            EXPECT_EQ(folder.Snapshot(), before) << arguments[2];
        }
    }
}

TEST_F(NoticeTest, ItsCmdCommandsRebuildALongSetUnderWine) {
    const char* wine = "/usr/lib/wine/wine64";
    if (!std::filesystem::exists(wine)) {
        GTEST_SKIP() << "Wine is not installed: " << wine;
    }
    const std::string name = "Un nom très long, avec des espaces et l'apostrophe " +
                             std::string(60, 'n') + ".bin";
    const std::string bytes = PatternBytes(300000);
    const auto lines = CutAndRemove(name, bytes, {"--parties", "150"});
    const auto commands = CommandsUnder(lines, "Windows (invite");
    ASSERT_GE(commands.size(), 3u);  // chcp, then more than one copy
    EXPECT_EQ(commands[0], "chcp 65001");
    const std::string prefix =
        (std::filesystem::current_path() / "notice-wineprefix").string();
    // Each command goes to cmd as its words: Wine quotes again those that hold
    // spaces (its cmd reads a batch file in the ANSI code page, whatever chcp says).
    for (std::size_t i = 1; i < commands.size(); ++i) {
        EXPECT_LE(commands[i].size(), 8191u);
        std::vector<std::string> words = {"-c", "cd \"$1\" && shift && exec env \"$@\"", "sh",
                                          folder.Path(), "WINEPREFIX=" + prefix, "WINEARCH=win64",
                                          "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
                                          wine, "cmd", "/c"};
        std::string word;
        bool quoted = false;
        for (const char c : commands[i] + " ") {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ' ' && !quoted) {
                if (!word.empty()) {
                    words.push_back(word);
                }
                word.clear();
            } else {
                word += c;
            }
        }
        const ProgramRun run =
            testing::ProgramProcess("sh", words, scratch.Path()).Wait(kTimeout);
        ASSERT_EQ(run.status, 0) << commands[i] << "\n" << run.out << run.err;
    }
    EXPECT_TRUE(ReadFileBytes(folder / name) == bytes);
}
#endif

}  // namespace
}  // namespace morcelix
