#include "pieces/file_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "pieces/failure.h"
#include "tests/support/expect_failure.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

// A receiving stream in memory that records each write and can run out of room.
class MemoryStream : public TStream {
  public:
    explicit MemoryStream(std::size_t room = SIZE_MAX) : room_(room) {}
    std::int32_t Read(void*, std::int32_t) override { return 0; }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        const auto moved =
            static_cast<std::int32_t>(std::min<std::size_t>(count, room_ - bytes.size()));
        bytes.append(static_cast<const char*>(buffer), static_cast<std::size_t>(moved));
        writes.push_back(count);
        return moved;
    }
    std::int64_t Seek(std::int64_t, SeekOrigin) override {
        return static_cast<std::int64_t>(bytes.size());
    }

    std::string bytes;
    std::vector<std::int32_t> writes;

  private:
    std::size_t room_;
};

TEST(CopyFrom, MovesBlocksOfAtMost61440Bytes) {
    TempFolder folder;
    const std::pair<std::int64_t, std::vector<std::int32_t>> cases[] = {
        {1, {1}},
        {61440, {61440}},
        {61441, {61440, 1}},
        {3 * 61440 + 7, {61440, 61440, 61440, 7}},
    };
    for (const auto& [size, blocks] : cases) {
        const std::string content = testing::PatternBytes(size);
        WriteFileBytes(folder / "source", content);
        TFileStream source(folder / "source", OpenMode::Read);
        MemoryStream target;
        int observed = 0;
        EXPECT_EQ(target.CopyFrom(source, size, [&](std::int64_t) { ++observed; }), size);
        EXPECT_EQ(target.writes, blocks) << size;
        EXPECT_EQ(observed, static_cast<int>(blocks.size()));
        EXPECT_EQ(target.bytes, content);
        EXPECT_EQ(source.Position(), size);
    }
}

TEST(CopyFrom, CountZeroCopiesTheWholeSourceFromItsFirstByte) {
    TempFolder folder;
    const std::string content = testing::PatternBytes(200000);
    WriteFileBytes(folder / "source", content);
    TFileStream source(folder / "source", OpenMode::Read);
    source.SetPosition(123456);
    {
        TFileStream target(folder / "copy", OpenMode::Create);
        EXPECT_EQ(target.CopyFrom(source, 0), 200000);
        EXPECT_EQ(target.Size(), 200000);
    }
    EXPECT_EQ(ReadFileBytes(folder / "copy"), content);
}

TEST(CopyFrom, ContinuesFromBothPositions) {
    TempFolder folder;
    const std::string content = testing::PatternBytes(150000);
    WriteFileBytes(folder / "source", content);
    TFileStream source(folder / "source", OpenMode::Read);
    source.SetPosition(1000);
    {
        TFileStream target(folder / "copy", OpenMode::Create);
        target.WriteBuffer("head", 4);
        EXPECT_EQ(target.CopyFrom(source, 100000), 100000);
        EXPECT_EQ(source.Position(), 101000);
        EXPECT_EQ(target.Position(), 100004);
    }
    EXPECT_EQ(ReadFileBytes(folder / "copy"), "head" + content.substr(1000, 100000));
}

TEST(CopyFrom, ShortSourceOrFullTargetIsAStreamFailure) {
    TempFolder folder;
    const std::string content = testing::PatternBytes(100000);
    WriteFileBytes(folder / "source", content);
    {
        TFileStream source(folder / "source", OpenMode::Read);
        TFileStream target(folder / "copy", OpenMode::Create);
        ExpectFailure<EReadError>([&] { target.CopyFrom(source, 100001); },
                                  "Erreur de lecture du flux");
    }
    TFileStream source(folder / "source", OpenMode::Read);
    MemoryStream target(70000);
    ExpectFailure<EWriteError>([&] { target.CopyFrom(source, 100000); },
                               "Erreur d'écriture dans le flux");
    // What was written before the failing block stays written.
    EXPECT_EQ(target.bytes, content.substr(0, 70000));
}

TEST(FileStream, OpenAndCreateFailuresNameTheFileAsGiven) {
    TempFolder folder;
    const std::string missing = folder / "absent.avi.001";
    ExpectFailure<EFOpenError>([&] { TFileStream s(missing, OpenMode::Read); },
                               "Impossible d'ouvrir le fichier " + missing);
    const std::string noFolder = folder / "absent/piece.001";
    ExpectFailure<EFolderMissing>([&] { TFileStream s(noFolder, OpenMode::Create); },
                                  "Le dossier " + folder / "absent" + " n'existe pas");
    // A folder is not a file to read.
    ExpectFailure<EFOpenError>([&] { TFileStream s(folder.Path(), OpenMode::Read); },
                               "Impossible d'ouvrir le fichier " + folder.Path());
}

TEST(FileStream, CreateEmptiesAnExistingFile) {
    TempFolder folder;
    WriteFileBytes(folder / "piece", "old content");
    {
        TFileStream piece(folder / "piece", OpenMode::Create);
        EXPECT_EQ(piece.Size(), 0);
        piece.WriteBuffer("new", 3);
    }
    EXPECT_EQ(ReadFileBytes(folder / "piece"), "new");
}

TEST(FileStream, SharingKeepsWritersAndReadersApart) {
    TempFolder folder;
    const std::string path = folder / "film.avi";
    WriteFileBytes(path, "content");
    {
        TFileStream reader(path, OpenMode::Read);
        TFileStream secondReader(path, OpenMode::Read);  // readers share
        EXPECT_THROW(TFileStream(path, OpenMode::Create), EFCreateError);
    }
    EXPECT_EQ(ReadFileBytes(path), "content");  // the refused create truncated nothing
    TFileStream writer(path, OpenMode::Create);
    ExpectFailure<EFOpenError>([&] { TFileStream s(path, OpenMode::Read); },
                               "Impossible d'ouvrir le fichier " + path);
    EXPECT_THROW(TFileStream(path, OpenMode::Create), EFCreateError);
}

TEST(FileStream, UpdateOpensAFileAsItIsAndSaysWhetherItCreatedIt) {
    TempFolder folder;
    const std::string path = folder / "film.avi";
    {
        TFileStream created(path, OpenMode::Update);
        EXPECT_TRUE(created.Created());
        created.WriteBuffer("abcdef", 6);
    }
    {
        TFileStream held(path, OpenMode::Update);
        EXPECT_FALSE(held.Created());
        EXPECT_EQ(held.Size(), 6);  // not emptied
        // Held for writing: nobody else may open it, and nothing empties it.
        EXPECT_THROW(TFileStream(path, OpenMode::Read), EFOpenError);
        EXPECT_THROW(TFileStream(path, OpenMode::Update), EFCreateError);
        EXPECT_THROW(TFileStream(path, OpenMode::Create), EFCreateError);
        EXPECT_EQ(held.Size(), 6);

        const FileFacts before = held.Facts();
        EXPECT_EQ(RegularFileFacts(path), before);
        held.SetSize(2);
        EXPECT_EQ(held.Position(), 2);
        held.WriteBuffer("Z", 1);
        held.Flush();
        EXPECT_EQ(held.Facts().size, 3);
        EXPECT_EQ(held.Facts().identity, before.identity);
    }
    EXPECT_EQ(ReadFileBytes(path), "abZ");
}

TEST(FileStream, AFileRemovedWhileOpenGoesAndNobodyOpensItMeanwhile) {
    TempFolder folder;
    const std::string path = folder / "film.avi";
    {
        TFileStream file(path, OpenMode::Update);
        ASSERT_TRUE(file.RemoveWhileOpen(path));
        EXPECT_THROW(TFileStream(path, OpenMode::Read), EFOpenError);
    }
    EXPECT_FALSE(testing::PathExists(path));
}

TEST(FileStream, OnlyRegularFilesAreFiles) {
    TempFolder folder;
    EXPECT_FALSE(RegularFileFacts(folder.Path()));
    EXPECT_FALSE(RegularFileFacts(folder / "absent"));
    EXPECT_THROW(TFileStream(folder.Path(), OpenMode::Update), EFCreateError);
#ifdef _WIN32
    const std::string device = folder / "NUL";
#else
    const std::string device = "/dev/zero";
#endif
    EXPECT_FALSE(FileExists(device));
    EXPECT_THROW(TFileStream(device, OpenMode::Read), EFOpenError);
}

TEST(FileStream, PositionsAndSizesAre64Bit) {
    TempFolder folder;
    constexpr std::int64_t kFar = (std::int64_t{5} << 30) + 3;  // past 4 GiB, sparse
    TFileStream file(folder / "large", OpenMode::Create);
    EXPECT_EQ(file.Seek(kFar, SeekOrigin::Beginning), kFar);
    file.WriteBuffer("x", 1);
    EXPECT_EQ(file.Position(), kFar + 1);
    EXPECT_EQ(file.Size(), kFar + 1);
    EXPECT_EQ(file.Seek(-2, SeekOrigin::End), kFar - 1);
    EXPECT_EQ(FileSize(folder / "large"), kFar + 1);
}

TEST(FileExists, IsTrueForExactlyThatNameWhenNotAFolder) {
    TempFolder folder;
    WriteFileBytes(folder / "a.txt", "a");
    WriteFileBytes(folder / "old.txt", "o");
    testing::MakeFolder(folder / "sub");
    // A file last written before 1980 still exists.
    const auto path = testing::NativePath(folder / "old.txt");
    std::filesystem::last_write_time(
        path, std::filesystem::last_write_time(path) - std::chrono::hours(24 * 365 * 55));

    EXPECT_TRUE(FileExists(folder / "a.txt"));
    EXPECT_TRUE(FileExists(folder / "old.txt"));
    EXPECT_FALSE(FileExists(folder / "sub"));
    EXPECT_FALSE(FileExists(folder / "b.txt"));
    EXPECT_FALSE(FileExists(folder / "*.txt"));
    EXPECT_FALSE(FileExists(folder / "?.txt"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_EQ(FileSize(folder / "a.txt"), 1);
    EXPECT_EQ(FileSize(folder / "sub"), -1);
    EXPECT_EQ(FileSize(folder / "*.txt"), -1);
}

TEST(RemoveFile, ReportsWhetherTheFileWentAndRaisesNothing) {
    TempFolder folder;
    WriteFileBytes(folder / "piece", "p");
    EXPECT_TRUE(RemoveFile(folder / "piece"));
    EXPECT_FALSE(FileExists(folder / "piece"));
    EXPECT_FALSE(RemoveFile(folder / "piece"));
}

TEST(FileNames, AnyCharactersWork) {
    TempFolder folder;
    const std::string name = folder / "Été – 日本 ✂.bin";
    {
        TFileStream file(name, OpenMode::Create);
        file.WriteBuffer("abc", 3);
    }
    EXPECT_TRUE(FileExists(name));
    EXPECT_EQ(FileSize(name), 3);
    TFileStream file(name, OpenMode::Read);
    EXPECT_EQ(file.Size(), 3);
    bool listed = false;
    ForEachEntryBeside(name, [&](const std::string& entry) { listed = listed || entry == name; });
    EXPECT_TRUE(listed);
}

}  // namespace
}  // namespace morcelix
