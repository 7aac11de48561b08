// A power cut just after morcelix-cli said it was done: the disk image of a
// small ext4 file system (mounted from an image file by scripts/test.sh, its
// journal committed only when asked) is copied the moment the command has
// returned, and read as the disk would be read after the cut. What the
// command reported done must be on it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RunProgram;
using testing::TempFolder;

TEST(PowerCutTest, WhatASplitSaysIsDoneIsOnTheDiskAfterAPowerCut) {
#ifdef _WIN32
    GTEST_SKIP() << "the disk image is read with Linux's own tools";
#else
    const char* disk = std::getenv("MORCELIX_POWER_CUT_DISK");
    const char* image = std::getenv("MORCELIX_POWER_CUT_IMAGE");
    if (disk == nullptr || image == nullptr) {
        GTEST_SKIP() << "no file system mounted from an image (MORCELIX_POWER_CUT_DISK)";
    }
    const TempFolder scratch;
    const TempFolder folder(disk);
    const std::string inside = folder.Path().substr(std::string(disk).size());
    std::mt19937 random(28);
    std::string bytes(350'000, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> kept;  // the files that must survive, besides the source
    };
    const Case cases[] = {
        {{"--somme"}, {"f.sha256"}},
        {{"--somme=crc"}, {"f.sha256", "f.crc"}},
        {{"--sur-place", "--somme"}, {"f.sha256", "f.001", "f.002", "f.003", "f.004"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.front());
        const std::string source = folder / "f";
        testing::WriteFileBytes(source, bytes);
        ASSERT_EQ(RunProgram("sync", {"-f", source}, scratch.Path()).status, 0);
        std::vector<std::string> arguments = {"decouper"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.insert(arguments.end(), {source, "100k"});
        ProgramRun run = RunProgram(testing::CliProgram(), arguments, scratch.Path(),
                                    testing::BuiltProgramLauncher());
        ASSERT_EQ(run.status, 0) << run.err;
        // The cut: what the disk holds now is what it would hold.
        const std::string copy = scratch / "cut.img";
        ASSERT_EQ(RunProgram("cp", {"--sparse=always", image, copy}, scratch.Path()).status, 0);
        run = RunProgram("e2fsck", {"-fy", copy}, scratch.Path());
        ASSERT_LE(run.status, 1) << run.out << run.err;  // the journal replayed, or nothing to do
        for (const std::string& name : c.kept) {
            run = RunProgram("debugfs", {"-R", "cat " + inside + "/" + name, copy}, scratch.Path());
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(run.out == ReadFileBytes(folder / name))
                << name << " is not whole after the cut: " << run.out.size() << " bytes";
        }
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        RemoveFile(copy);
    }
#endif
}

}  // namespace
}  // namespace morcelix
