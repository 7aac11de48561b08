// The split in place gives the set an ordinary split gives, byte for byte and
// name for name, from whatever state a run stopped at any point leaves.
#include "pieces/split_in_place.h"

#include <gtest/gtest.h>

#include <map>

#include "pieces/checksum_files.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/support/in_place_state.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::InPlaceStateFault;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::TempFolder;
using testing::WriteFileBytes;
using Snapshot = std::vector<std::pair<std::string, std::string>>;

class SplitInPlaceTest : public ::testing::Test {
  protected:
    // A fresh source of `size` bytes, and the set that an ordinary split of it
    // writes, its checksum files included when asked: what the folder must
    // hold at the end.
    void MakeSource(std::int64_t size, std::int64_t pieceSize, bool sums = false) {
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        bytes = PatternBytes(size, 3);
        WriteFileBytes(source, bytes);
        const TempFolder elsewhere;
        WriteFileBytes(elsewhere / "film.avi", bytes);
        RecordingProgress progress;
        Split(elsewhere / "film.avi", pieceSize, progress, {.sums = Sums(sums)});
        RemoveFile(elsewhere / "film.avi");
        expected = elsewhere.Snapshot();
    }

    void SplitAgain(std::int64_t pieceSize, bool sums = false) {
        RecordingProgress progress;
        SplitInPlace(SurveyInPlaceSplit(source, pieceSize), progress, Sums(sums));
    }
    // The manifest and the .crc file, or neither.
    static SplitSums Sums(bool sums) {
        return {.manifest = sums, .crcFile = sums};
    }

    // What a run stopped at any point may leave, as a kill leaves it: the file
    // cut to `kept` bytes, the pieces beyond them whole, and `copies` (number,
    // bytes) of pieces whose bytes the file still holds.
    void MakeState(std::int64_t pieceSize, std::int64_t kept,
                   const std::map<std::uint64_t, std::int64_t>& copies) {
        const auto count = static_cast<std::uint64_t>(bytes.size()) / pieceSize + 1;
        for (std::uint64_t number = 1; number <= count; ++number) {
            const std::int64_t offset = static_cast<std::int64_t>(number - 1) * pieceSize;
            const std::string piece = bytes.substr(offset, pieceSize);
            if (offset >= kept) {
                WriteFileBytes(PieceName(source, number), piece);
            } else if (copies.contains(number)) {
                WriteFileBytes(PieceName(source, number), piece.substr(0, copies.at(number)));
            }
        }
        WriteFileBytes(source, bytes.substr(0, kept));
    }

    TempFolder folder;
    std::string source = folder / "film.avi";
    std::string bytes;
    Snapshot expected;
};

TEST_F(SplitInPlaceTest, TheFileBecomesTheSetThatASplitWritesWhateverTheSizes) {
    struct Case {
        std::int64_t size, pieceSize;
    };
    const Case cases[] = {
        {2500000, 1000000}, {3000000, 1000000},  // whole multiple: empty last piece
        {2999999, 1000000}, {3000001, 1000000}, {999, 1000}, {1, 1}, {0, 5},
        {5, 4700000000},    {1000, 1},  // 1001 pieces: .1000, .1001
    };
    for (const auto& [size, pieceSize] : cases) {
        for (const bool sums : {false, true}) {
            if (sums && pieceSize == 1) {
                continue;
            }
            SCOPED_TRACE(::testing::Message()
                         << size << " / " << pieceSize << " checksum files " << sums);
            MakeSource(size, pieceSize, sums);
            SplitAgain(pieceSize, sums);
            EXPECT_TRUE(folder.Snapshot() == expected);
        }
    }
}

TEST_F(SplitInPlaceTest, WhatAKilledRunLeavesIsFinishedByRunningAgain) {
    constexpr std::int64_t S = 300000;
    struct Case {
        std::int64_t kept;
        std::map<std::uint64_t, std::int64_t> copies;
        const char* when;
    };
    const Case cases[] = {
        {2500000, {{9, 0}}, "the last piece created"},
        {2500000, {{9, 50000}}, "the last piece copied in part"},
        {2500000, {{9, 100000}, {8, S}}, "two pieces flushed, their cuts lost"},
        {6 * S, {{6, 1}}, "a piece copied in part after three cut"},
        {6 * S, {{6, S}, {5, 12}}, "a cut lost, and the next piece begun"},
        {S, {}, "every piece cut off, the file not yet renamed"},
        {S, {{1, S / 2}}, "the first piece copied in part, as to another disk"},
    };
    for (const bool sums : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.when << ", checksum files " << sums);
            MakeSource(2500000, S, sums);
            MakeState(S, c.kept, c.copies);
            ASSERT_EQ(InPlaceStateFault(source, S, bytes), "");
            SplitAgain(S, sums);
            EXPECT_TRUE(folder.Snapshot() == expected);
        }
        // Killed once the file was renamed: finished, the checksum files
        // written if they were not yet; running again changes nothing.
        RemoveFile(ManifestPath(source));
        RemoveFile(CrcFilePath(source));
        SplitAgain(S, sums);
        EXPECT_TRUE(folder.Snapshot() == expected);
        SplitAgain(S, sums);
        EXPECT_TRUE(folder.Snapshot() == expected);
    }
}

}  // namespace
}  // namespace morcelix
