// Split and join on a real file system that fills up. They share one small
// disk, so CTest runs them one at a time.
#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/support/expect_failure.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class FullDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string disk = testing::SmallDiskFolder();
        if (disk.empty()) {
            GTEST_SKIP()
                << "no small file system to fill (MORCELIX_SMALL_DISK unset: mounting needs root)";
        }
        folder = std::make_unique<testing::TempFolder>(disk);
        room = RoomLeft();
    }

    // The bytes a file can still take, found by filling the disk (the free
    // space Wine reports is that of its drive, not of the mounted folder).
    std::int64_t RoomLeft() {
        const std::string filler = *folder / "filler";
        std::int64_t written = 0;
        {
            TFileStream file(filler, OpenMode::Create);
            const std::string block(4096, 'f');
            while (file.Write(block.data(), 4096) == 4096) {
                written += 4096;
            }
        }
        RemoveFile(filler);
        return written;
    }

    std::unique_ptr<testing::TempFolder> folder;
    std::int64_t room = 0;
    testing::RecordingProgress progress;
};

TEST_F(FullDiskTest, SplitFailsWithAWriteFailureAndKeepsWhatWasWritten) {
    // A source of two thirds of the room: its pieces can not all fit beside it.
    const std::string source = *folder / "big.bin";
    const std::string content = PatternBytes(room / 3 * 2);
    WriteFileBytes(source, content);
    ExpectFailure<EWriteError>([&] { Split(source, room / 10, progress); },
                               "Erreur d'écriture dans le flux");
    // Every piece but the failing one is whole; the failing one holds a prefix.
    std::string written;
    std::uint64_t number = 1;
    for (; FileExists(PieceName(source, number)); ++number) {
        written += ReadFileBytes(PieceName(source, number));
    }
    EXPECT_GE(number, 3u);
    EXPECT_LT(written.size(), content.size());
    EXPECT_EQ(written, content.substr(0, written.size()));
    EXPECT_EQ(ReadFileBytes(source), content);
}

TEST_F(FullDiskTest, JoinKeepsTheFailingPieceAndAllLaterOnes) {
    // A small first piece that fits, then two that fill the rest: appending the
    // second needs room that only its own deletion would free.
    const std::string destination = *folder / "film.avi";
    const std::vector<std::int64_t> sizes = {room / 20, room * 44 / 100, room * 44 / 100};
    const std::string content = PatternBytes(sizes[0] + sizes[1] + sizes[2]);
    for (std::size_t i = 0, offset = 0; i < sizes.size(); offset += sizes[i], ++i) {
        WriteFileBytes(PieceName(destination, i + 1), content.substr(offset, sizes[i]));
    }
    ExpectFailure<EWriteError>([&] { Join(destination + ".001", destination, progress); },
                               "Erreur d'écriture dans le flux");
    EXPECT_EQ(progress.positions.size(), 1u);
    EXPECT_FALSE(FileExists(destination + ".001"));
    // The destination begins with piece 1 (and whatever of piece 2 fitted);
    // piece 1 followed by the pieces left is the whole source.
    const std::string joined = ReadFileBytes(destination);
    EXPECT_EQ(joined, content.substr(0, joined.size()));
    EXPECT_EQ(joined.substr(0, sizes[0]) + ReadFileBytes(destination + ".002") +
                  ReadFileBytes(destination + ".003"),
              content);
}

}  // namespace
}  // namespace morcelix
