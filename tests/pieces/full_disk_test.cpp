// Split and join on a real file system that fills up. They share one small
// disk, so CTest runs them one at a time. After every failure, what is left
// can be finished by the program itself.
#include <gtest/gtest.h>

#include <utility>

#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/support/bounded.h"
#include "tests/support/expect_failure.h"
#include "tests/support/small_disk.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class FullDiskTest : public testing::SmallDiskTest {
  protected:
    // The bytes the disk has free, as the program is told.
    std::int64_t FreeBytes() const { return DiskFactsOf(*folder / "x")->freeBytes; }

    testing::RecordingProgress progress;
};

// Another program fills the disk once the operation has begun: at the first
// block copied after two pieces.
class FillingProgress : public testing::RecordingProgress {
  public:
    explicit FillingProgress(std::string filler) : filler_(std::move(filler)) {}
    void BlockCopied() override {
        if (!filler_.empty() && positions.size() >= 3) {
            testing::FillDisk(std::exchange(filler_, {}));
        }
    }

  private:
    std::string filler_;
};

TEST_F(FullDiskTest, ASplitWithoutTheRoomForItsPiecesIsRefusedBeforeAnyIsWritten) {
    // A source of two thirds of the room: its pieces can not all fit beside it.
    const std::string source = *folder / "big.bin";
    const std::string content = PatternBytes(room / 3 * 2);
    WriteFileBytes(source, content);
    const std::int64_t free = FreeBytes();
    ExpectFailure<ENoRoom>([&] { Split(source, room / 10, progress); },
                           "Espace disque insuffisant pour " + source + ".001 : il faut " +
                               FormatBytes(room / 3 * 2) + ", il reste " + FormatBytes(free));
    EXPECT_TRUE(progress.created.empty());
    EXPECT_EQ(folder->Names(), std::vector<std::string>{"big.bin"});
}

TEST_F(FullDiskTest, ASplitThatFillsTheDiskLeavesNoPieceBehind) {
    const std::string source = *folder / "big.bin";
    const std::string content = PatternBytes(room / 3);
    WriteFileBytes(source, content);
    for (const bool manifest : {false, true}) {
        SCOPED_TRACE(manifest ? "with a manifest" : "without a manifest");
        FillingProgress filling(*folder / "filler");
        testing::WithinTime(std::chrono::seconds(60), "the split", [&] {
            try {
                Split(source, room / 30, filling, {.sums = {.manifest = manifest}});
                ADD_FAILURE() << "the split succeeded on a full disk";
            } catch (const ENoRoomToWrite& failure) {
                EXPECT_TRUE(
                    std::string(failure.Message())
                        .starts_with("Espace disque insuffisant pour écrire " + source + ".0"))
                    << failure.Message();
            }
        });
        EXPECT_GE(filling.created.size(), 2u);
        EXPECT_EQ(filling.deleted, filling.created);
        RemoveFile(*folder / "filler");
        EXPECT_EQ(folder->Names(), std::vector<std::string>{"big.bin"});
        EXPECT_EQ(ReadFileBytes(source), content);
    }
}

// Writes the pieces of `content` at `pieceSize` under `base`, and with
// `manifest` their SHA-256 manifest.
void WritePieces(const std::string& base, const std::string& content, std::int64_t pieceSize,
                 bool manifest = false) {
    Manifest digests;
    const auto digest = [](std::string_view bytes) {
        Sha256 sha;
        sha.Update(bytes.data(), bytes.size());
        return sha.HexDigest();
    };
    for (std::size_t offset = 0, number = 1; offset < content.size();
         offset += static_cast<std::size_t>(pieceSize), ++number) {
        const std::string piece = content.substr(offset, static_cast<std::size_t>(pieceSize));
        WriteFileBytes(PieceName(base, number), piece);
        digests.pieces.push_back(digest(piece));
    }
    if (manifest) {
        digests.whole = digest(content);
        WriteManifest(base, digests);
    }
}

TEST_F(FullDiskTest, AJoinIntoAFullDiskStopsAtAWholePieceAndFinishesOnceThereIsRoom) {
    // The pieces on a disk with room, the destination on the small one, which
    // the join needs whole; another program fills it once the join has begun.
    for (const bool manifest : {false, true}) {
        SCOPED_TRACE(manifest ? "with a manifest" : "without a manifest");
        const testing::TempFolder pieces;
        const std::string base = pieces / "film.avi";
        const std::int64_t pieceSize = room / 10;
        const std::string content = PatternBytes(pieceSize * 5 + 123);
        WritePieces(base, content, pieceSize, manifest);
        const std::string destination = *folder / "film.avi";

        const std::string filler = *folder / "filler";
        WriteFileBytes(filler, std::string(static_cast<std::size_t>(room - pieceSize * 5), 'f'));
        const std::int64_t free = FreeBytes();
        ExpectFailure<ENoRoom>([&] { Join(base + ".001", destination, progress); },
                               "Espace disque insuffisant pour " + destination + " : il faut " +
                                   FormatBytes(pieceSize * 5 + 123) + ", il reste " +
                                   FormatBytes(free));
        EXPECT_FALSE(FileExists(destination));
        RemoveFile(filler);

        FillingProgress filling(filler);
        testing::WithinTime(std::chrono::seconds(60), "the join", [&] {
            ExpectFailure<ENoRoomToWrite>([&] { Join(base + ".001", destination, filling); },
                                          "Espace disque insuffisant pour écrire " + destination);
        });
        const std::int64_t kept = FileSize(destination);
        EXPECT_EQ(kept % pieceSize, 0) << "not cut back to a whole piece";
        std::string rebuilt = ReadFileBytes(destination);
        for (const std::string& name : pieces.Names()) {
            if (name != "film.avi.sha256" && name != "film.avi.000") {  // the sums, the record
                rebuilt += ReadFileBytes(pieces / name);
            }
        }
        EXPECT_EQ(rebuilt, content);

        RemoveFile(filler);
        testing::RecordingProgress again;
        Join(base + ".001", destination, again);
        EXPECT_EQ(ReadFileBytes(destination), content);
        EXPECT_EQ(pieces.Names().size(), manifest ? 1u : 0u);
        RemoveFile(destination);
    }
}

TEST_F(FullDiskTest, DeletingInGroupsNeverFailsAJoinThatDeletingOneByOneWouldFinish) {
    // Ten pieces and room for two more beside them: far less than a group, but
    // enough to join one piece at a time, deleting each.
    const std::int64_t pieceSize = room / 12;
    const std::string content = PatternBytes(pieceSize * 9 + pieceSize / 2);
    const std::string destination = *folder / "film.avi";
    for (const bool manifest : {false, true}) {
        SCOPED_TRACE(manifest ? "with a manifest" : "without a manifest");
        WritePieces(destination, content, pieceSize, manifest);
        testing::WithinTime(std::chrono::seconds(60), "the join",
                            [&] { Join(destination + ".001", destination, progress); });
        EXPECT_EQ(ReadFileBytes(destination), content);
        RemoveFile(ManifestPath(destination));
        EXPECT_EQ(folder->Names(), std::vector<std::string>{"film.avi"});
        RemoveFile(destination);
    }
}

}  // namespace
}  // namespace morcelix
