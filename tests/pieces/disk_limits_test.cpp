// The largest file a disk's file system takes, checked before a split or join
// writes anything: FAT's 4 GiB less a byte. The type is set through the test
// seam, so that this runs wherever the tests do (Wine reports its own types);
// the tool's tests meet a real FAT32 file system.
#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "pieces/split_in_place.h"
#include "tests/support/expect_failure.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::MakeSparseFile;
using testing::TempFolder;

constexpr std::int64_t kGiB = std::int64_t{1} << 30;

class DiskLimitsTest : public ::testing::Test {
  protected:
    void SetUp() override { SetFileSystemTypeForTesting("FAT32"); }
    void TearDown() override { SetFileSystemTypeForTesting(std::nullopt); }

    TempFolder folder;
    testing::RecordingProgress progress;
};

TEST_F(DiskLimitsTest, LargestFileOfEachFileSystem) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"vfat", 4 * kGiB - 1},
        {"msdos", 4 * kGiB - 1},
        {"fuse.fusefat", 4 * kGiB - 1},
        {"FAT", 4 * kGiB - 1},
        {"FAT32", 4 * kGiB - 1},
        {"exFAT", -1},
        {"NTFS", -1},
        {"ext4", -1},
        {"fuse.sshfs", -1},
    };
    for (const auto& [type, largest] : cases) {
        EXPECT_EQ(LargestFileOn({.fileSystem = type}), largest) << type;
    }
}

TEST_F(DiskLimitsTest, PiecesOrAJoinLargerThanTheFileSystemTakesAreRefusedBeforeAnyIsWritten) {
    const std::string source = folder / "film.avi";
    MakeSparseFile(source, 5 * kGiB);
    // Pieces of up to 4 GiB less a byte go; one byte more does not.
    ExpectFailure<ETooLargeForDisk>(
        [&] { Split(source, 4 * kGiB, progress); },
        "Le disque de " + source + ".001 n'accepte pas les fichiers de plus de 4 Go");
    ExpectFailure<ETooLargeForDisk>(
        [&] { Split(source, 4'500'000'000, progress); },
        "Le disque de " + source + ".001 n'accepte pas les fichiers de plus de 4 Go");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
    // In place, into another folder: its pieces as large as the first are too.
    const TempFolder elsewhere;
    ExpectFailure<ETooLargeForDisk>(
        [&] { SurveyInPlaceSplit(source, 4'500'000'000, elsewhere / "film.avi"); },
        "Le disque de " + elsewhere / "film.avi.001" +
            " n'accepte pas les fichiers de plus de 4 Go");

    // A set whose whole is larger than the limit, joined there.
    const TempFolder pieces;
    const std::string base = pieces / "film.avi";
    MakeSparseFile(base + ".001", 2 * kGiB);
    MakeSparseFile(base + ".002", 2 * kGiB);
    MakeSparseFile(base + ".003", 1000);
    ExpectFailure<ETooLargeForDisk>(
        [&] { Join(base + ".001", source + ".joined", progress); },
        "Le disque de " + source + ".joined n'accepte pas les fichiers de plus de 4 Go");
    EXPECT_EQ(pieces.Names(),
              (std::vector<std::string>{"film.avi.001", "film.avi.002", "film.avi.003"}));
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
}

}  // namespace
}  // namespace morcelix
