// The survey of a piece set: what a join is willing to take, decided before
// anything is touched.
#include "pieces/piece_set.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pieces/failure.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "tests/support/expect_failure.h"
#include "tests/support/stopped_join.h"
#include "tests/support/temp_folder.h"

#ifndef _WIN32
#include "tests/support/fifo_guard.h"
#endif

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::PatternBytes;
using testing::RecordingProgress;
using testing::TempFolder;
using testing::WriteFileBytes;

class PieceSetTest : public ::testing::Test {
  protected:
    void MakeSet(const std::vector<std::int64_t>& sizes) {
        std::int64_t offset = 0;
        const std::string content = PatternBytes(1 << 16, 4);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            WriteFileBytes(PieceName(destination, i + 1), content.substr(offset % 100, sizes[i]));
            offset += sizes[i];
        }
    }

    // The join's refusal of the set as it stands, checked to touch nothing.
    void ExpectRefused(const std::string& message, const std::string& picked = {}) {
        const auto before = folder.Snapshot();
        RecordingProgress progress;
        try {
            Join(picked.empty() ? first : picked, destination, progress);
            ADD_FAILURE() << "joined, expected: " << message;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.Message(), message);
        }
        EXPECT_EQ(folder.Snapshot(), before) << message;
    }

    TempFolder folder;
    std::string destination = folder / "f.bin";
    std::string first = destination + ".001";
};

TEST_F(PieceSetTest, EveryPieceButTheLastHasTheFirstOnesSize) {
    struct Case {
        std::vector<std::int64_t> sizes;
        int wrong;  // the number of the piece named, 0 when the set is sound
    };
    const Case cases[] = {
        {{100, 100, 50}, 0},
        {{100, 100, 0}, 0},  // an exact multiple: the last piece is empty
        {{100}, 0},
        {{0}, 0},
        {{100, 60, 100, 50}, 2},  // a copy cut off in the middle
        {{100, 100, 101}, 3},     // a last piece too long
        {{100, 100, 100, 0, 0}, 4},
        {{60, 100, 100}, 2},  // a short first piece: the others do not fit it
        {{0, 10, 0}, 2},
    };
    for (const auto& c : cases) {
        for (std::uint64_t i = 1; i <= 5; ++i) {
            RemoveFile(PieceName(destination, i));
        }
        MakeSet(c.sizes);
        const PieceSetSurvey survey = SurveyPieceSet(first, destination);
        EXPECT_EQ(survey.pieces.size(), c.sizes.size());
        if (c.wrong == 0) {
            EXPECT_FALSE(survey.refusal) << ::testing::PrintToString(c.sizes);
            continue;
        }
        ExpectRefused("Le fichier " + PieceName(destination, c.wrong) +
                      " n'a pas la taille attendue");
    }
}

TEST_F(PieceSetTest, AStalePieceOfAnEarlierSplitIsRefused) {
    MakeSet({200, 200, 150});
    WriteFileBytes(destination + ".004", std::string(100, 's'));  // put back by hand
    ExpectRefused("Le fichier " + destination + ".003 n'a pas la taille attendue");
}

TEST_F(PieceSetTest, OnlyAPieceNameCanBeJoined) {
    MakeSet({10, 10, 5});
    const std::string notes = folder / "notes.txt";
    WriteFileBytes(notes, "abc");
    ExpectRefused("Le fichier " + notes + " n'est pas la première partie d'un découpage", notes);
    ExpectRefused("Le fichier " + destination + ".002 n'est pas la première partie d'un découpage",
                  destination + ".002");
    // No first piece and no destination: nothing to join.
    const std::string absent = folder / "absent.bin.001";
    ExpectRefused("Fichier non trouvé", absent);
    WriteFileBytes(folder / "absent.bin.003", "x");
    ExpectRefused(
        "Le fichier " + folder / "absent.bin.003" + " n'est pas la première partie d'un découpage",
        folder / "absent.bin.003");
}

TEST_F(PieceSetTest, AFolderThatCanNotBeListedIsRefusedNotTakenAsComplete) {
    MakeSet({10, 10, 10, 10});
    RemoveFile(destination + ".003");  // a gap that only the listing shows
    SetFolderScansFailForTesting(true);
    ExpectRefused("Impossible de lire le dossier " + folder.Path());
    SetFolderScansFailForTesting(false);
    ExpectRefused("Le fichier " + destination + ".003 est manquant");
}

TEST_F(PieceSetTest, APieceOfAnotherKindThanAFileIsAbsent) {
#ifdef _WIN32
    GTEST_SKIP() << "no FIFO on Windows";
#else
    MakeSet({10, 10, 5});
    const std::string second = destination + ".002";
    RemoveFile(second);
    testing::MakeFifo(second);
    // A FIFO in the middle is a gap, never read (it would wait for a writer).
    testing::WithoutWaitingOn(second,
                              [&] { ExpectRefused("Le fichier " + second + " est manquant"); });
    EXPECT_FALSE(FileExists(second));
    EXPECT_EQ(FileSize(second), -1);
    // As the last piece it ends the set: not joined, not deleted.
    RemoveFile(destination + ".003");
    RecordingProgress progress;
    testing::WithoutWaitingOn(second, [&] { Join(first, destination, progress); });
    EXPECT_EQ(FileSize(destination), 10);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"f.bin", "f.bin.002"}));
#endif
}

TEST_F(PieceSetTest, PieceNamesAreComparedAsTheFileSystemComparesThem) {
    MakeSet({10, 10, 10, 10});
    RemoveFile(destination + ".003");
    const std::string typed = folder / "F.BIN.001";
#ifdef _WIN32
    // The pieces are found whatever the case typed, and so is the gap.
    ExpectRefused("Le fichier " + folder / "F.BIN.003 est manquant", typed);
#else
    // Another case is another name.
    ExpectRefused("Fichier non trouvé", typed);
#endif
}

// What an interrupted join leaves, and how joining again takes it: by its
// record, the pieces left telling where it stopped, the destination's length
// only checked.
TEST_F(PieceSetTest, AnInterruptedJoinIsResumedAsItsRecordSays) {
    struct Case {
        std::int64_t destinationSize;  // -1: none
        std::vector<std::uint64_t> left;
        std::uint64_t firstNumber;  // of the pieces left to append
        std::size_t held;           // the pieces below it still there
        std::string refusal;
    };
    const Case cases[] = {
        {200, {3, 4, 5}, 3, 0, ""},  // stopped between two pieces
        {250, {3, 4, 5}, 3, 0, ""},  // part of piece 3 in it
        {450, {3, 4, 5}, 3, 0, ""},  // every byte in it, pieces 3 to 5 not yet deleted
        {450, {3, 5}, 5, 1, ""},     // piece 3 could not be deleted
        {450, {3}, 6, 1, ""},        // a finished join, piece 3 left
        {199, {3, 4, 5}, 3, 0, "Le fichier " + destination + ".002 est manquant"},
        {451, {3, 4, 5}, 3, 0, "Le fichier " + destination + " est endommagé"},
        {-1, {3, 4, 5}, 3, 0, "Le fichier " + destination + " est manquant"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destinationSize);
        MakeSet({100, 100, 100, 100, 50});
        testing::RecordJoinUnderWay(destination, destination, {100, 100, 100, 100, 50});
        for (std::uint64_t number = 1; number <= 5; ++number) {
            if (std::find(c.left.begin(), c.left.end(), number) == c.left.end()) {
                RemoveFile(PieceName(destination, number));
            }
        }
        RemoveFile(destination);
        if (c.destinationSize >= 0) {
            WriteFileBytes(destination,
                           std::string(static_cast<std::size_t>(c.destinationSize), 'd'));
        }
        const PieceSetSurvey survey = SurveyPieceSet(first, destination);
        EXPECT_EQ(survey.firstNumber, c.firstNumber);
        EXPECT_EQ(survey.held.size(), c.held);
        if (c.refusal.empty()) {
            EXPECT_FALSE(survey.refusal);
            EXPECT_EQ(survey.totalSize, 450);
        } else {
            ExpectFailure<Failure>([&] { survey.Refuse(); }, c.refusal);
        }
        for (const std::string& picked :
             {first, destination + ".003", destination + ".000", destination + ".1000"}) {
            EXPECT_EQ(StartOf(picked, destination).start, JoinStart::Resume) << picked;
        }
        EXPECT_EQ(StartOf(first, folder / "ailleurs.avi").start, JoinStart::None);
    }
    RemoveFile(RecordPath(destination));
    EXPECT_EQ(StartOf(first, destination).start, JoinStart::None);
    ExpectRefused("Fichier non trouvé");
}

}  // namespace
}  // namespace morcelix
