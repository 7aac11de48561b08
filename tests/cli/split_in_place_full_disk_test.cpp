// decouper --sur-place on a small file system: with room for less than two
// pieces it writes the set an ordinary split writes, where the ordinary split
// is refused; a disk that fills part-way stops it with nothing lost, and
// running it again once there is room finishes it.
#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/cli/run_program.h"
#include "tests/support/in_place_state.h"
#include "tests/support/small_disk.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::InPlaceStateFault;
using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::WriteFileBytes;
using Snapshot = std::vector<std::pair<std::string, std::string>>;

class CliInPlaceFullDiskTest : public testing::SmallDiskTest {
  protected:
    void SetUp() override {
        SmallDiskTest::SetUp();
        if (folder) {
            source = *folder / "f";
        }
    }

    ProgramRun Run(const std::vector<std::string>& arguments) {
        return testing::ProgramProcess(testing::CliProgram(), arguments, scratch.Path(),
                                       testing::BuiltProgramLauncher())
            .Wait(std::chrono::minutes(2));
    }

    // The set that an ordinary split of `bytes` into pieces of `size` writes, elsewhere.
    Snapshot OrdinarySet(const std::string& bytes, const std::string& size, bool manifest) {
        const testing::TempFolder elsewhere;
        WriteFileBytes(elsewhere / "f", bytes);
        const ProgramRun run =
            Run({"decouper", manifest ? "--somme" : "--", elsewhere / "f", size});
        EXPECT_EQ(run.status, 0) << run.err;
        RemoveFile(elsewhere / "f");
        return elsewhere.Snapshot();
    }

    testing::TempFolder scratch;
    std::string source;
};

TEST_F(CliInPlaceFullDiskTest, WithRoomForLessThanTwoPiecesTheFileBecomesItsSet) {
    const std::int64_t pieceSize = room / 5 / 4096 * 4096;
    const std::string bytes = PatternBytes(room - pieceSize * 3 / 2, 9);
    const std::string size = std::to_string(pieceSize) + "o";
    WriteFileBytes(source, bytes);
    const std::int64_t left = DiskFactsOf(source)->freeBytes;
    ASSERT_LT(left, 2 * pieceSize);

    ProgramRun run = Run({"decouper", "--somme", source, size});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with("morcelix-cli : Espace disque insuffisant pour ")) << run.err;
    run = Run({"decouper", "--sur-place", "--somme", source, size});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(folder->Snapshot() == OrdinarySet(bytes, size, true));
    EXPECT_EQ(Run({"verifier", source + ".001"}).status, 0);
    run = Run({"regrouper", source + ".001"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(source) == bytes);
}

TEST_F(CliInPlaceFullDiskTest, ADiskThatFillsPartWayStopsItAndRunningAgainFinishesIt) {
    // Pieces of a page and a half: each takes two pages of this file system,
    // and cutting it off the file frees one or two. The room checked before
    // is there, and the disk fills part-way.
    const std::int64_t pieceSize = 6144;
    const std::string filler = *folder / "filler";
    WriteFileBytes(filler, std::string(static_cast<std::size_t>(room / 4), 'f'));
    const std::string bytes =
        PatternBytes((room - room / 4 - room / 10) / pieceSize * pieceSize - 100, 4);
    WriteFileBytes(source, bytes);
    const std::vector<std::string> split = {"decouper", "--sur-place", source, "6144o"};

    const ProgramRun run = Run(split);
    ASSERT_EQ(run.status, 1) << "the disk did not fill";
    const std::string piece = run.err.substr(0, run.err.find('\n'));
    EXPECT_TRUE(
        piece.starts_with("morcelix-cli : Espace disque insuffisant pour écrire " + source + "."))
        << run.err;
    EXPECT_EQ(run.err.substr(piece.size() + 1),
              "morcelix-cli : Le découpage sur place n'est pas terminé : " + source +
                  " et ses parties contiennent tout le fichier ; relancez la même commande pour "
                  "le finir\n");
    EXPECT_EQ(InPlaceStateFault(source, pieceSize, bytes), "");
    EXPECT_LT(FileSize(source), static_cast<std::int64_t>(bytes.size())) << "nothing was cut";

    RemoveFile(filler);
    const ProgramRun again = Run(split);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(folder->Snapshot() == OrdinarySet(bytes, "6144o", false));
}

TEST_F(CliInPlaceFullDiskTest, ToAnotherDiskTheWholeFileMustFitThere) {
    const testing::TempFolder elsewhere;
    const std::string far = elsewhere / "f";
    std::string bytes = PatternBytes(room / 2, 5);
    WriteFileBytes(far, bytes);
    const Snapshot expected = OrdinarySet(bytes, "300k", false);
    ProgramRun run = Run({"decouper", "--sur-place", "-o", folder->Path(), far, "300k"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(folder->Snapshot() == expected);
    EXPECT_EQ(elsewhere.Names(), std::vector<std::string>{});

    // Larger than the room left there: refused, nothing touched.
    for (const std::string& name : folder->Names()) {
        RemoveFile(*folder / name);
    }
    bytes = PatternBytes(room + 5000, 6);
    WriteFileBytes(far, bytes);
    const std::string left = FormatBytes(DiskFactsOf(*folder / "f")->freeBytes);
    run = Run({"decouper", "--sur-place", "-o", folder->Path(), far, "300k"});
    EXPECT_EQ(run.status, 1);
    const std::uint64_t count = bytes.size() / 300000 + 1;
    EXPECT_EQ(run.err, "morcelix-cli : Espace disque insuffisant pour " +
                           PieceName(*folder / "f", count) + " : il faut " +
                           FormatBytes(static_cast<std::int64_t>(bytes.size())) + ", il reste " +
                           left + "\n");
    EXPECT_EQ(folder->Names(), std::vector<std::string>{});
    EXPECT_TRUE(ReadFileBytes(far) == bytes);
}

}  // namespace
}  // namespace morcelix
