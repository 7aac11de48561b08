#include "pieces/split.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
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

class SplitTest : public ::testing::Test {
  protected:
    // Splits a fresh source of `size` bytes and returns the pieces' sizes.
    std::vector<std::int64_t> SplitSource(std::int64_t size, std::int64_t pieceSize) {
        content = PatternBytes(size);
        WriteFileBytes(source, content);
        Split(source, pieceSize, progress);
        std::vector<std::int64_t> sizes;
        for (std::uint64_t number = 1; FileExists(PieceName(source, number)); ++number) {
            sizes.push_back(FileSize(PieceName(source, number)));
        }
        return sizes;
    }

    std::string Concatenation(std::size_t pieces) {
        std::string bytes;
        for (std::uint64_t number = 1; number <= pieces; ++number) {
            bytes += ReadFileBytes(PieceName(source, number));
        }
        return bytes;
    }

    TempFolder folder;
    std::string source = folder / "film.avi";
    std::string content;
    RecordingProgress progress;
};

TEST_F(SplitTest, PieceSizesAroundTheBoundaries) {
    using Sizes = std::vector<std::int64_t>;
    struct Case {
        std::int64_t size, pieceSize;
        Sizes pieces;
    };
    const Case cases[] = {
        {2500000, 1000000, {1000000, 1000000, 500000}},
        {3000000, 1000000, {1000000, 1000000, 1000000, 0}},  // whole multiple: empty last piece
        {2999999, 1000000, {1000000, 1000000, 999999}},
        {3000001, 1000000, {1000000, 1000000, 1000000, 1}},
        {999, 1000, {999}},  // smaller than a piece
        {1, 1, {1, 0}},
        {5, 4700000000, {5}},  // a piece size beyond 32 bits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitSource(c.size, c.pieceSize), c.pieces) << c.size << " / " << c.pieceSize;
        EXPECT_EQ(Concatenation(c.pieces.size()), content);
        EXPECT_EQ(ReadFileBytes(source), content);  // the source is only read
        for (std::uint64_t number = 1; number <= c.pieces.size(); ++number) {
            RemoveFile(PieceName(source, number));
        }
    }
}

TEST_F(SplitTest, ProgressIsTheShareReadAfterEachPieceHalvesToEven) {
    const std::pair<std::int64_t, std::vector<int>> cases[] = {
        {8000000, {0, 12, 25, 38, 50, 62, 75, 88, 100, 100}},
        {2500000, {0, 40, 80, 100}},
        {0, {0, 100}},
    };
    for (const auto& [size, positions] : cases) {
        progress.positions.clear();
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        SplitSource(size, 1000000);
        EXPECT_EQ(progress.positions, positions) << size;
    }
}

TEST_F(SplitTest, AnEmptySourceGivesOneEmptyPiece) {
    EXPECT_EQ(SplitSource(0, 1000000), std::vector<std::int64_t>{0});
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"film.avi", "film.avi.001"}));
}

TEST_F(SplitTest, MoreThan999PiecesGoOnTo1000) {
    const auto sizes = SplitSource(10010, 10);
    ASSERT_EQ(sizes.size(), 1002u);
    EXPECT_EQ(sizes.back(), 0);
    EXPECT_TRUE(FileExists(source + ".1000"));
    EXPECT_TRUE(FileExists(source + ".1001"));
    EXPECT_EQ(Concatenation(1002), content);
}

// What stands under the names a split writes is replaced only when an earlier
// split of the same source wrote it: anything else is refused untouched, or
// replaced on request, the links among them as links, never through them.
TEST_F(SplitTest, OnlyAnEarlierSplitsPiecesOfTheSameSourceAreReplaced) {
    EXPECT_EQ(SplitSource(2500, 1000), (std::vector<std::int64_t>{1000, 1000, 500}));
    const auto set = folder.Snapshot();
    Split(source, 1000, progress);  // the same split again
    EXPECT_EQ(folder.Snapshot(), set);

    const std::string outside = folder / "ailleurs";
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string inTheWay;
    };
    const Case cases[] = {
        {"another file's piece", [&] { WriteFileBytes(source + ".002", std::string(1000, 'x')); },
         source + ".002"},
        {"a piece beyond the set", [&] { WriteFileBytes(source + ".004", "x"); }, source + ".004"},
        // Its first piece holds the beginning of the new one's bytes: not the second.
        {"a set of another size", [&] { Split(source, 500, progress, {.replaceOthers = true}); },
         source + ".002"},
        {"a link to a file elsewhere",
         [&] {
             RemoveFile(source + ".003");
             std::filesystem::create_symlink(testing::NativePath(outside),
                                             testing::NativePath(source + ".003"));
         },
         source + ".003"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
#ifdef _WIN32
        if (std::string(c.what).find("link") != std::string::npos) {
            continue;  // this runtime makes no symbolic links on Windows
        }
#endif
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        WriteFileBytes(source, content);
        WriteFileBytes(outside, "untouched");
        Split(source, 1000, progress);
        c.make();
        const auto before = folder.Snapshot();
        ExpectFailure<EDestinationExists>([&] { Split(source, 1000, progress); },
                                          "Le fichier " + c.inTheWay + " existe déjà");
        EXPECT_EQ(folder.Snapshot(), before);
        Split(source, 1000, progress, {.replaceOthers = true});
        EXPECT_EQ(Concatenation(3), content);
        EXPECT_FALSE(FileExists(source + ".004")) << "a stale piece left";
        EXPECT_FALSE(testing::PathExists(source + ".005"));
        EXPECT_EQ(ReadFileBytes(outside), "untouched");
        EXPECT_FALSE(IsLink(source + ".003"));
    }
    // Never the source itself, which the split reads.
    const std::string alias = folder / "alias";
    RemoveFile(source + ".001");
    std::error_code error;
    std::filesystem::create_hard_link(testing::NativePath(source),
                                      testing::NativePath(source + ".001"), error);
    if (!error) {
        ExpectFailure<EDestinationIsPiece>(
            [&] { Split(source, 1000, progress, {.replaceOthers = true}); },
            "Le fichier " + source + ".001 est aussi une partie du découpage");
        EXPECT_EQ(ReadFileBytes(source), content);
    }
}

TEST_F(SplitTest, SourceWithoutExtension) {
    source = folder / "liste";
    EXPECT_EQ(SplitSource(15, 10), (std::vector<std::int64_t>{10, 5}));
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"liste", "liste.001", "liste.002"}));
}

TEST_F(SplitTest, BadPieceSizesFailBeforeAnyPieceExists) {
    WriteFileBytes(source, "some bytes");
    ExpectFailure<EZeroDivide>([&] { Split(source, 0, progress); },
                               "Division par zéro en virgule flottante");
    ExpectFailure<EPieceSizeError>([&] { Split(source, -1000000, progress); },
                                   "'-1000000' n'est pas une taille de fichiers correcte");
    WriteFileBytes(source, "");
    ExpectFailure<EInvalidOp>([&] { Split(source, 0, progress); },
                              "Opération en virgule flottante incorrecte");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
    // A negative size is refused before the source is even looked at.
    ExpectFailure<EPieceSizeError>([&] { Split(folder / "absent", -1, progress); },
                                   "'-1' n'est pas une taille de fichiers correcte");
}

TEST_F(SplitTest, MissingOrLockedSourceIsAnOpenFailure) {
    ExpectFailure<EFOpenError>([&] { Split(source, 10, progress); },
                               "Impossible d'ouvrir le fichier " + source);
    WriteFileBytes(source, "content");
    {
        TFileStream writer(source, OpenMode::Create);  // held open for writing
        ExpectFailure<EFOpenError>([&] { Split(source, 10, progress); },
                                   "Impossible d'ouvrir le fichier " + source);
    }
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
}

TEST_F(SplitTest, APieceThatCanNotBeCreatedStopsTheSplit) {
    WriteFileBytes(source, PatternBytes(35));
    testing::MakeFolder(source + ".003");  // a folder stands where piece 3 goes
    ExpectFailure<EFCreateError>([&] { Split(source, 10, progress, {.replaceOthers = true}); },
                                 "Impossible de créer le fichier " + source + ".003");
    // The pieces written before it are gone again: no partial set is left.
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"film.avi", "film.avi.003"}));
    EXPECT_EQ(progress.deleted, (std::vector<std::string>{source + ".001", source + ".002"}));

    TFileStream held(source + ".001", OpenMode::Create);  // a piece held open elsewhere
    ExpectFailure<EInUse>([&] { Split(source, 10, progress, {.replaceOthers = true}); },
                          "Le fichier " + source + ".001 est utilisé par un autre programme");
}

TEST_F(SplitTest, PiecesCanGoIntoAnotherFolderUnderAnotherName) {
    WriteFileBytes(source, PatternBytes(25));
    const TempFolder elsewhere;
    Split(source, 10, progress, {.piecesAt = elsewhere / "copie.avi"});
    EXPECT_EQ(elsewhere.Names(),
              (std::vector<std::string>{"copie.avi.001", "copie.avi.002", "copie.avi.003"}));
    EXPECT_EQ(progress.created,
              (std::vector<std::string>{elsewhere / "copie.avi.001", elsewhere / "copie.avi.002",
                                        elsewhere / "copie.avi.003"}));
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
}

TEST_F(SplitTest, RoundTripOfALargeFile) {
    const std::int64_t size = 150'000'000 + 12345;
    const auto sizes = SplitSource(size, 7'000'000);
    ASSERT_EQ(sizes.size(), 22u);
    EXPECT_EQ(Concatenation(sizes.size()), content);
}

}  // namespace
}  // namespace morcelix
