// morcelix-cli on a real file system that fills up, with the pieces' SHA-256
// manifest: the checked copy must report the full disk, never wait for ever,
// and leave what the program itself can finish. The tests share one small
// disk, so CTest runs them one at a time.
#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/cli/run_program.h"
#include "tests/support/small_disk.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::WriteFileBytes;

class CliFullDiskTest : public testing::SmallDiskTest {
  protected:
    // A run that fails must fail, not wait: a minute is far beyond any of them.
    ProgramRun Run(const std::vector<std::string>& arguments) {
        return testing::ProgramProcess(testing::CliProgram(), arguments, scratch.Path(),
                                       testing::BuiltProgramLauncher())
            .Wait(std::chrono::minutes(1));
    }

    testing::TempFolder scratch;
};

TEST_F(CliFullDiskTest, ASplitOrJoinWithoutTheRoomIsRefusedBeforeAnythingIsWritten) {
    const std::string source = *folder / "f";
    const std::string content = PatternBytes(room / 5 * 3);
    WriteFileBytes(source, content);
    const auto free = [&] { return FormatBytes(DiskFactsOf(source)->freeBytes); };
    const std::string left = free();
    ProgramRun run = Run({"decouper", "--somme", source, "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morcelix-cli : Espace disque insuffisant pour " + source +
                           ".001 : il faut " + FormatBytes(room / 5 * 3) + ", il reste " + left +
                           "\n");
    EXPECT_EQ(folder->Names(), std::vector<std::string>{"f"});

    // Pieces elsewhere, joined onto the small disk: the whole file must fit.
    testing::TempFolder elsewhere;
    RecordingProgress progress;
    Split(source, 1'000'000, progress, {.piecesAt = elsewhere / "g"});
    run = Run({"regrouper", "-o", folder->Path(), elsewhere / "g.001"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morcelix-cli : Espace disque insuffisant pour " + *folder / "g" +
                           " : il faut " + FormatBytes(room / 5 * 3) + ", il reste " + left + "\n");
    EXPECT_EQ(folder->Names(), std::vector<std::string>{"f"});
}

TEST_F(CliFullDiskTest, AChecksummedSplitThatFillsTheDiskFailsAndLeavesOnlyTheSource) {
    // Pieces of a page and a byte each take two pages of this file system: the
    // bytes fit the room left, the pieces do not, and the disk fills part-way.
    const std::string source = *folder / "f";
    const std::string content = PatternBytes(room / 5 * 2);
    WriteFileBytes(source, content);
    const std::int64_t parts = static_cast<std::int64_t>(content.size()) / 4097;
    const ProgramRun run = Run({"decouper", "--somme", "--parties", std::to_string(parts), source});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(
        run.err.starts_with("morcelix-cli : Espace disque insuffisant pour écrire " + source + "."))
        << run.err;
    EXPECT_EQ(folder->Names(), std::vector<std::string>{"f"});
    EXPECT_TRUE(ReadFileBytes(source) == content);
}

TEST_F(CliFullDiskTest, AChecksummedJoinOnAFillingDiskLosesNothingAndFinishesOnceThereIsRoom) {
    // The set and its manifest on the small disk, with less room beside them
    // than one piece at times: the join frees room by deleting what is safe,
    // or stops at a whole piece.
    const std::string base = *folder / "film.avi";
    const std::int64_t pieceSize = room / 12;
    const std::string content = PatternBytes(pieceSize * 9 + pieceSize / 2, 5);
    // Room for a piece or two beside the set: the join must free room as it
    // goes, by deleting the pieces already safe in the destination.
    for (const std::int64_t left : {pieceSize * 2, pieceSize + 8192}) {
        SCOPED_TRACE(::testing::Message() << "room left beside the set: " << left);
        testing::TempFolder elsewhere;
        WriteFileBytes(elsewhere / "film.avi", content);
        testing::RecordingProgress progress;
        Split(elsewhere / "film.avi", pieceSize, progress, {.piecesAt = base, .sums = {.manifest = true}});
        const std::string filler = *folder / "filler";
        const std::int64_t set = pieceSize * 10 + 4096 * 12;
        WriteFileBytes(
            filler,
            std::string(static_cast<std::size_t>(std::max<std::int64_t>(room - set - left, 0)),
                        'f'));

        const ProgramRun run = Run({"regrouper", base + ".001"});
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.err;
        std::string rebuilt = testing::PathExists(base) ? ReadFileBytes(base) : "";
        for (std::uint64_t number = 1; number <= 10; ++number) {
            if (FileExists(PieceName(base, number))) {
                rebuilt += ReadFileBytes(PieceName(base, number));
            }
        }
        EXPECT_TRUE(rebuilt == content) << "the destination and the pieces left are not the file";

        RemoveFile(filler);
        if (run.status != 0) {
            EXPECT_EQ(run.err,
                      "morcelix-cli : Espace disque insuffisant pour écrire " + base + "\n");
            const ProgramRun again = Run({"regrouper", base + ".001"});
            EXPECT_EQ(again.status, 0) << again.err;
        }
        EXPECT_TRUE(ReadFileBytes(base) == content);
        EXPECT_EQ(folder->Names(), (std::vector<std::string>{"film.avi", "film.avi.sha256"}));
        RemoveFile(base);
        RemoveFile(ManifestPath(base));
    }
}

}  // namespace
}  // namespace morcelix
