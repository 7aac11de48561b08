#include "pieces/join.h"

#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/support/expect_failure.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::TempFolder;
using testing::WriteFileBytes;

class JoinTest : public ::testing::Test {
  protected:
    // Writes the pieces with the given sizes (consecutive slices of `content`).
    void MakeSet(const std::vector<std::int64_t>& sizes, const std::string& at = {}) {
        const std::string base = at.empty() ? destination : at;
        std::int64_t total = 0;
        for (auto size : sizes) {
            total += size;
        }
        content = PatternBytes(total, 7);
        std::int64_t offset = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            WriteFileBytes(PieceName(base, i + 1), content.substr(offset, sizes[i]));
            offset += sizes[i];
        }
    }

    TempFolder folder;
    std::string destination = folder / "film.avi";
    std::string first = destination + ".001";
    std::string content;
    RecordingProgress progress;
};

TEST_F(JoinTest, SplitThenJoinGivesTheSourceBackAndRemovesThePieces) {
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {0, 1000},    {3000, 1000}, {2999, 1000},
        {3001, 1000}, {999, 1000},  {10010, 10},  // 1002 pieces: .1000 and on
        {1, 1},
    };
    for (const auto& [size, pieceSize] : cases) {
        const std::string source = PatternBytes(size, 3);
        WriteFileBytes(destination, source);
        Split(destination, pieceSize, progress);
        RemoveFile(destination);
        progress.created.clear();
        progress.deleted.clear();
        Join(first, destination, progress);
        EXPECT_EQ(ReadFileBytes(destination), source) << size << " / " << pieceSize;
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"})
            << size << " / " << pieceSize;
    }
    // What it did to the disk, as it did it: the destination, then each piece gone.
    EXPECT_EQ(progress.created, std::vector<std::string>{destination});
    EXPECT_EQ(progress.deleted, (std::vector<std::string>{first, destination + ".002"}));
}

TEST_F(JoinTest, ProgressIsTheShareOfTheSetAppendedAndIsNotResetFirst) {
    struct Case {
        std::vector<std::int64_t> sizes;
        std::vector<int> positions;
    };
    const Case cases[] = {
        {{1000000, 1000000, 500000}, {40, 80, 100}},
        {{1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 0},
         {12, 25, 38, 50, 62, 75, 88, 100, 100}},
        {{0, 0}, {100, 100}},  // nothing at all to append
    };
    for (const auto& c : cases) {
        progress.positions.clear();
        MakeSet(c.sizes);
        Join(first, destination, progress);
        EXPECT_EQ(progress.positions, c.positions);
        EXPECT_EQ(ReadFileBytes(destination), content);
    }
}

TEST_F(JoinTest, KeepingThePiecesLeavesTheSetAsItWasAndCanJoinItAgain) {
    MakeSet({1000, 1000, 0});
    const auto before = folder.Snapshot();
    Join(first, destination, progress, {.keepPieces = true});
    EXPECT_EQ(ReadFileBytes(destination), content);
    RemoveFile(destination);
    EXPECT_EQ(folder.Snapshot(), before);

    Join(first, destination, progress);
    EXPECT_EQ(ReadFileBytes(destination), content);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
}

TEST_F(JoinTest, AnExistingDestinationIsOverwritten) {
    WriteFileBytes(destination, std::string(100000, 'x'));
    MakeSet({10, 5});
    Join(first, destination, progress);
    EXPECT_EQ(ReadFileBytes(destination), content);
}

TEST_F(JoinTest, OnlyTheFirstPieceOfASetIsAccepted) {
    MakeSet({10, 10, 10});
    const auto before = folder.Snapshot();
    const std::string third = destination + ".003";
    ExpectFailure<ENotFirstPiece>(
        [&] { Join(third, destination, progress); },
        "Le fichier " + third + " n'est pas la première partie d'un découpage");
    const std::string other = folder / "notes.txt";
    ExpectFailure<ENotFirstPiece>(
        [&] { Join(other, JoinDestination(other), progress); },
        "Le fichier " + other + " n'est pas la première partie d'un découpage");
    EXPECT_EQ(folder.Snapshot(), before);
    EXPECT_TRUE(progress.positions.empty());
}

TEST_F(JoinTest, AGapIsRefusedBeforeAnythingIsTouched) {
    MakeSet({10, 10, 10, 10});
    RemoveFile(destination + ".003");
    const auto before = folder.Snapshot();
    ExpectFailure<EMissingPiece>([&] { Join(first, destination, progress); },
                                 "Le fichier " + destination + ".003 est manquant");
    EXPECT_EQ(folder.Snapshot(), before);

    // Names that are not pieces of this set do not make a gap.
    RemoveFile(destination + ".004");
    WriteFileBytes(destination + ".0004", "not a number text");
    WriteFileBytes(folder / "film.avj.005", "another set");
    WriteFileBytes(destination + ".005.bak", "not a piece");
    Join(first, destination, progress);
    EXPECT_EQ(ReadFileBytes(destination), content.substr(0, 20));
    EXPECT_FALSE(FileExists(first));
}

TEST_F(JoinTest, SurveyListsThePiecesAndTheFirstMissingOne) {
    MakeSet({20, 20, 5});
    PieceSetSurvey survey = SurveyPieceSet(first, destination);
    ASSERT_EQ(survey.pieces.size(), 3u);
    EXPECT_EQ(survey.pieces[1].path, destination + ".002");
    EXPECT_EQ(survey.pieces[1].facts.size, 20);
    EXPECT_EQ(survey.totalSize, 45);
    EXPECT_FALSE(survey.refusal);

    WriteFileBytes(destination + ".1000", "far away");
    survey = SurveyPieceSet(first, destination);
    EXPECT_EQ(survey.pieces.size(), 3u);
    ExpectFailure<EMissingPiece>([&] { survey.Refuse(); },
                                 "Le fichier " + destination + ".004 est manquant");
}

// After a failure mid-way, the destination's content followed by the remaining
// pieces is still the whole source.
class JoinFailureTest : public JoinTest {
  protected:
    void ExpectRebuildable(std::size_t appended, std::size_t pieces) {
        for (std::size_t number = 1; number <= appended; ++number) {
            EXPECT_FALSE(FileExists(PieceName(destination, number))) << number;
        }
        std::string rebuilt = ReadFileBytes(destination);
        EXPECT_EQ(rebuilt, content.substr(0, rebuilt.size()));
        rebuilt.resize(appendedBytes);
        for (std::size_t number = appended + 1; number <= pieces; ++number) {
            rebuilt += ReadFileBytes(PieceName(destination, number));
        }
        EXPECT_EQ(rebuilt, content);
    }
    std::size_t appendedBytes = 0;
};

TEST_F(JoinFailureTest, ALockedPieceStopsTheJoinWithThePiecesAfterItInPlace) {
    MakeSet({100, 100, 100, 100});
    {
        TFileStream locked(destination + ".003", OpenMode::Create);
        // Creating it emptied it: put its bytes back through the held handle.
        locked.WriteBuffer(content.data() + 200, 100);
        ExpectFailure<EFOpenError>([&] { Join(first, destination, progress); },
                                   "Impossible d'ouvrir le fichier " + destination + ".003");
    }
    EXPECT_EQ(progress.positions, (std::vector<int>{25, 50}));
    appendedBytes = 200;
    EXPECT_EQ(ReadFileBytes(destination).size(), 200u);
    ExpectRebuildable(2, 4);
}

TEST_F(JoinFailureTest, ADestinationThatCanNotBeCreatedTouchesNoPiece) {
    MakeSet({10, 10});
    const auto before = folder.Snapshot();
    const std::string unreachable = folder / "absent/film.avi";
    ExpectFailure<EFCreateError>([&] { Join(first, unreachable, progress); },
                                 "Impossible de créer le fichier " + unreachable);
    EXPECT_EQ(folder.Snapshot(), before);
}

}  // namespace
}  // namespace morcelix
