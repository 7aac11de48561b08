// Creating recovery files and rebuilding pieces on a file system that fills
// up: nothing of the set is lost, nothing half-written stays, and the same
// call finishes once there is room.
#include <gtest/gtest.h>

#include <cstdio>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/par2_create.h"
#include "pieces/par2_repair.h"
#include "tests/support/small_disk.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using namespace par2;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class RecoveryFullDiskTest : public testing::SmallDiskTest {
  protected:
    void MakeSet(std::size_t count, std::int64_t pieceSize) {
        base = *folder / "été.bin";
        filler = *folder / "filler";
        index = RecoveryIndexPath(base);
        for (std::size_t n = 1; n <= count; ++n) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".%03zu", n);
            pieces.push_back(base + suffix);
            contents.push_back(PatternBytes(n == count ? pieceSize / 2 : pieceSize, unsigned(n)));
            WriteFileBytes(pieces.back(), contents.back());
        }
    }
    // Leaves about `free` bytes of room on the disk.
    void LeaveRoom(std::int64_t free) {
        const std::int64_t room = testing::FillDisk(filler);
        RemoveFile(filler);
        WriteFileBytes(filler, std::string(static_cast<std::size_t>(room - free), 'f'));
    }
    void ExpectPiecesAsWritten() {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            ASSERT_EQ(ReadFileBytes(pieces[i]), contents[i]) << pieces[i];
            ASSERT_FALSE(FileExists(RebuildFileOf(pieces[i])));
        }
    }

    std::string base, index;
    std::string filler;
    std::vector<std::string> pieces, contents;
};

TEST_F(RecoveryFullDiskTest, RecoveryFilesThatDoNotFitAreRemovedAndTheRerunWritesThem) {
    MakeSet(8, 100000);
    LeaveRoom(300000);
    RecoveryOptions options;
    options.slices = 6;
    EXPECT_THROW(CreateRecoveryFiles(pieces, index, options), EWriteError);
    for (const std::string& file : RecoveryFileNames(index, options.slices)) {
        EXPECT_FALSE(FileExists(file)) << file;
    }
    ExpectPiecesAsWritten();
    RemoveFile(filler);
    CreateRecoveryFiles(pieces, index, options);
    EXPECT_EQ(SurveyPieces(index).PiecesToRebuild(), 0);
}

TEST_F(RecoveryFullDiskTest, ARebuildThatDoesNotFitLeavesTheSetAsItWasAndTheRerunFinishes) {
    MakeSet(8, 100000);
    RecoveryOptions options;
    options.slices = 3;
    CreateRecoveryFiles(pieces, index, options);
    for (const std::size_t piece : {1, 4, 7}) {
        RemoveFile(pieces[piece]);
    }
    LeaveRoom(120000);  // room for one piece, not for the three
    EXPECT_THROW(RebuildPieces(SurveyPieces(index)), EWriteError);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_FALSE(FileExists(RebuildFileOf(pieces[i])));
        if (i != 1 && i != 4 && i != 7) {
            EXPECT_EQ(ReadFileBytes(pieces[i]), contents[i]);
        }
    }
    RemoveFile(filler);
    RebuildPieces(SurveyPieces(index));
    ExpectPiecesAsWritten();
}

}  // namespace
}  // namespace morcelix
