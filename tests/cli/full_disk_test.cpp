// morcelix-cli on a real file system that fills up, with the pieces' SHA-256
// manifest: the checked copy must report the full disk, never wait for ever,
// and leave what the program itself can finish. The tests share one small
// disk, so CTest runs them one at a time.
#include <gtest/gtest.h>

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

TEST_F(CliFullDiskTest, AChecksummedSplitThatFillsTheDiskFailsAndLeavesOnlyTheSource) {
    // Whatever room is left when the copy starts: from a few blocks to almost
    // the whole of the source.
    const std::string source = *folder / "f";
    const std::string content = PatternBytes(room / 4 * 3);
    WriteFileBytes(source, content);
    const std::int64_t free = room - static_cast<std::int64_t>(content.size());
    for (const std::int64_t taken : {std::int64_t{0}, free / 3, free - 100'000}) {
        SCOPED_TRACE(::testing::Message() << "taken beforehand: " << taken);
        const std::string filler = *folder / "filler";
        WriteFileBytes(filler, std::string(static_cast<std::size_t>(taken), 'f'));
        const ProgramRun run = Run({"decouper", "--somme", source, "196608"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "morcelix-cli : Erreur d'écriture dans le flux\n");
        RemoveFile(filler);
        EXPECT_EQ(folder->Names(), std::vector<std::string>{"f"});
        EXPECT_TRUE(ReadFileBytes(source) == content);
    }
}

TEST_F(CliFullDiskTest, AChecksummedJoinOnAFillingDiskLosesNothingAndFinishesOnceThereIsRoom) {
    // The set and its manifest on the small disk, with less room beside them
    // than one piece at times: the join frees room by deleting what is safe,
    // or stops at a whole piece.
    const std::string base = *folder / "film.avi";
    const std::int64_t pieceSize = room / 12;
    const std::string content = PatternBytes(pieceSize * 9 + pieceSize / 2, 5);
    for (const std::int64_t left : {pieceSize * 2, pieceSize / 2, std::int64_t{4096}}) {
        SCOPED_TRACE(::testing::Message() << "room left beside the set: " << left);
        testing::TempFolder elsewhere;
        WriteFileBytes(elsewhere / "film.avi", content);
        testing::RecordingProgress progress;
        Split(elsewhere / "film.avi", pieceSize, progress, {.piecesAt = base, .manifest = true});
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
            EXPECT_EQ(run.err, "morcelix-cli : Erreur d'écriture dans le flux\n");
            const ProgramRun again = Run({"regrouper", base + ".001"});
            EXPECT_EQ(again.status, 0) << again.err;
        }
        EXPECT_TRUE(ReadFileBytes(base) == content);
        EXPECT_EQ(folder->Names(), (std::vector<std::string>{"film.avi", "film.avi.sha256"}));
        RemoveFile(base);
        RemoveManifest(base);
    }
}

}  // namespace
}  // namespace morcelix
