// The SHA-256 manifest of a piece set: its digests, its format, and the join
// that checks every piece against it before deleting it.
#include "pieces/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "pieces/checksum_files.h"
#include "pieces/digest.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/support/bounded.h"
#include "tests/support/expect_failure.h"
#include "tests/support/stopped_join.h"
#include "tests/support/temp_folder.h"
#include "tests/support/zlib_crc.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::TempFolder;
using testing::WriteFileBytes;

std::string DigestOf(const std::string& bytes) {
    Sha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.HexDigest();
}

TEST(Sha256Test, DigestsOfKnownTextsAndACopyThatGoesOnAlone) {
    EXPECT_EQ(DigestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(DigestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(DigestOf(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    Sha256 first;
    first.Update("ab", 2);
    Sha256 copy(first);
    copy.Update("c", 1);
    first.Update("d", 1);
    EXPECT_EQ(copy.HexDigest(), DigestOf("abc"));
    EXPECT_EQ(first.HexDigest(), DigestOf("abd"));
}

class ManifestTest : public ::testing::Test {
  protected:
    // A split with a manifest of `size` bytes at `pieceSize`, the source kept
    // aside; with `crcFileOnly`, the set's .crc file instead, which vouches for
    // the whole file only.
    void SplitWithManifest(std::int64_t size, std::int64_t pieceSize, bool crcFileOnly = false) {
        content = PatternBytes(size, 21);
        WriteFileBytes(base, content);
        Split(base, pieceSize, progress, {.sums = {.manifest = !crcFileOnly, .crcFile = crcFileOnly}});
        RemoveFile(base);
    }

    void ExpectRefusedUntouched(const std::string& message) {
        const auto before = folder.Snapshot();
        try {
            Join(first, base, progress);
            ADD_FAILURE() << "joined, expected: " << message;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.Message(), message);
        }
        EXPECT_EQ(folder.Snapshot(), before);
    }

    TempFolder folder;
    std::string base = folder / "film.avi";
    std::string first = base + ".001";
    std::string manifest = base + ".sha256";
    std::string crcFile = base + ".crc";
    std::string content;
    RecordingProgress progress;
};

TEST_F(ManifestTest, ASplitWritesTheDigestsInTheSystemToolsFormat) {
    SplitWithManifest(250000, 100000);
    EXPECT_EQ(ReadFileBytes(manifest), DigestOf(content.substr(0, 100000)) + "  film.avi.001\n" +
                                           DigestOf(content.substr(100000, 100000)) +
                                           "  film.avi.002\n" + DigestOf(content.substr(200000)) +
                                           "  film.avi.003\n" + DigestOf(content) + "  film.avi\n");
    EXPECT_EQ(progress.created.back(), manifest);
    EXPECT_EQ(FileDigest(base + ".002", DigestKind::Sha256),
              DigestOf(content.substr(100000, 100000)));
    // Nothing else: the manifest's temporary name is gone.
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"film.avi.001", "film.avi.002",
                                                        "film.avi.003", "film.avi.sha256"}));
}

TEST_F(ManifestTest, AnOlderManifestGoesWithAnySplitOfTheSameName) {
    SplitWithManifest(250000, 100000);
    WriteFileBytes(base, content);
    // A split without one: the old manifest would call every new piece damaged.
    Split(base, 100000, progress);
    EXPECT_FALSE(FileExists(manifest));
    // A split that fails leaves none either.
    Split(base, 100000, progress, {.sums = {.manifest = true}});
    RemoveFile(base + ".002");
    testing::MakeFolder(base + ".002");
    EXPECT_THROW(Split(base, 100000, progress, {.sums = {.manifest = true}, .replaceOthers = true}),
                 EFCreateError);
    EXPECT_FALSE(FileExists(manifest));
    EXPECT_FALSE(FileExists(first));
}

TEST_F(ManifestTest, ManifestsAreReadAsOtherToolsWriteThem) {
    const std::string one = DigestOf("1"), two = DigestOf("2"), whole = DigestOf("12");
    std::string upper = whole;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::pair<std::string, bool> cases[] = {
        {one + "  film.avi.001\n" + two + "  film.avi.002\n" + whole + "  film.avi\n", true},
        {one + "  film.avi.001\r\n" + two + "  film.avi.002\r\n" + whole + "  film.avi\r\n", true},
        {one + " *film.avi.001\n" + two + " *film.avi.002\n" + upper + " *film.avi", true},
        {"", false},
        {two + "  film.avi.002\n" + whole + "  film.avi\n", false},  // no piece 1
        {one + "  film.avi.001\n" + one + "  film.avi.001\n" + whole + "  film.avi\n", false},
        {one + "  film.avi.001\n" + two + "  film.avi.002\n" + whole + "  autre.avi\n", false},
        {one + " film.avi.001\n" + two + "  film.avi.002\n" + whole + "  film.avi\n", false},
        {one.substr(1) + "  film.avi.001\n" + whole + "  film.avi\n", false},
        {one + "  film.avi.001\n\n" + whole + "  film.avi\n", false},
        {"\\" + one + "  film.avi.00\\1\n" + whole + "  film.avi\n", false},  // no such escape
    };
    for (const auto& [text, valid] : cases) {
        WriteFileBytes(manifest, text);
        if (valid) {
            const auto read = ReadChecksumFile(base);
            ASSERT_TRUE(read) << text;
            EXPECT_EQ(read->pieces, (std::vector<std::string>{one, two})) << text;
            EXPECT_EQ(read->whole, whole);
        } else {
            ExpectFailure<EBadManifest>(
                [&] { ReadChecksumFile(base); },
                "Le fichier " + manifest + " n'est pas un fichier de sommes valide");
        }
    }
    WriteFileBytes(manifest, one + "  FILM.AVI.001\n" + whole + "  Film.avi\n");
#ifdef _WIN32
    EXPECT_TRUE(ReadChecksumFile(base)) << "names differing in case name the same files";
#else
    EXPECT_THROW(ReadChecksumFile(base), EBadManifest);
#endif
    RemoveFile(manifest);
    EXPECT_FALSE(ReadChecksumFile(base));
}

TEST_F(ManifestTest, NamesThatSha256sumEscapesAreEscapedTheSameWay) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows names hold no backslash nor line end";
#else
    base = folder / "a\\b\nc";
    first = base + ".001";
    SplitWithManifest(10, 6);
    EXPECT_EQ(ReadFileBytes(ManifestPath(base)),
              "\\" + DigestOf(content.substr(0, 6)) + "  a\\\\b\\nc.001\n\\" +
                  DigestOf(content.substr(6)) + "  a\\\\b\\nc.002\n\\" + DigestOf(content) +
                  "  a\\\\b\\nc\n");
    Join(first, base, progress);
    EXPECT_EQ(ReadFileBytes(base), content);
#endif
}

// The whole set is read and checked before anything is touched: a damaged
// piece is refused with every piece in place, and the set fetched again joins.
TEST_F(ManifestTest, ADamagedPieceIsRefusedBeforeAnythingIsTouched) {
    for (const std::uint64_t damaged : {2u, 4u}) {  // a middle piece, the last one
        SplitWithManifest(350000, 100000);
        const std::string piece = PieceName(base, damaged);
        const std::string good = ReadFileBytes(piece);
        std::string flipped = good;
        flipped[1234] ^= 0x10;  // the right size, the wrong content
        WriteFileBytes(piece, flipped);
        ExpectRefusedUntouched("Le fichier " + piece + " est endommagé");
        WriteFileBytes(piece, good);
        Join(first, base, progress);
        EXPECT_EQ(ReadFileBytes(base), content);
        EXPECT_EQ(folder.Names(), (std::vector<std::string>{"film.avi", "film.avi.sha256"}));
        RemoveFile(base);
    }
}

TEST_F(ManifestTest, ADamagedFirstPieceIsRefusedBeforeItTakesTheDestinationsName) {
    SplitWithManifest(350000, 100000);
    std::string flipped = ReadFileBytes(first);
    flipped[99] ^= 1;
    WriteFileBytes(first, flipped);
    ExpectRefusedUntouched("Le fichier " + first + " est endommagé");
}

TEST_F(ManifestTest, TheManifestFixesWhichPiecesMakeTheSet) {
    SplitWithManifest(350000, 100000);
    const std::string last = base + ".004";
    const std::string kept = ReadFileBytes(last);
    RemoveFile(last);  // its size alone could not tell it is missing
    ExpectRefusedUntouched("Le fichier " + last + " est manquant");
    WriteFileBytes(last, kept);

    WriteFileBytes(base + ".005", "not in it");
    ExpectRefusedUntouched("Le fichier " + base + ".005 ne figure pas dans le fichier de sommes");
    RemoveFile(base + ".005");
    WriteFileBytes(base + ".007", "a gap, as always");
    ExpectRefusedUntouched("Le fichier " + base + ".005 est manquant");
    RemoveFile(base + ".007");

    const std::string text = ReadFileBytes(manifest);
    WriteFileBytes(manifest, text.substr(0, text.size() - 3));
    ExpectRefusedUntouched("Le fichier " + manifest + " n'est pas un fichier de sommes valide");
    // A whole-file line that does not fit the pieces, each of which fits its
    // own: the manifest contradicts itself, the file is the source.
    WriteFileBytes(manifest, text.substr(0, text.rfind('\n', text.size() - 2) + 1) +
                                 DigestOf("other") + "  film.avi\n");
    ExpectRefusedUntouched("Le fichier " + manifest + " n'est pas un fichier de sommes valide");
}

TEST_F(ManifestTest, ASplitWritesTheCrcFileThatTheFileManagersCheck) {
    SplitWithManifest(250000, 100000, /*crcFileOnly=*/true);
    std::string crc = testing::ZlibCrc(content);
    std::transform(crc.begin(), crc.end(), crc.begin(), [](char c) { return std::toupper(c); });
    EXPECT_EQ(ReadFileBytes(crcFile), "filename=film.avi\r\nsize=250000\r\ncrc32=" + crc + "\r\n");
    EXPECT_EQ(progress.created.back(), crcFile);
    // Another split of the same name without it: this one would no longer fit.
    WriteFileBytes(base, content);
    Split(base, 100000, progress, {.sums = {.manifest = true}});
    EXPECT_FALSE(FileExists(crcFile));
    EXPECT_EQ(progress.deleted.front(), crcFile);
}

// A sum of the whole file only can not vouch for a piece before the end: the
// set is read and checked whole before anything is touched.
TEST_F(ManifestTest, AWholeFileSumAloneIsCheckedOnTheWholeSetBeforeAnythingIsTouched) {
    SplitWithManifest(250000, 100000, /*crcFileOnly=*/true);
    const std::string second = base + ".002";
    const std::string good = ReadFileBytes(second);
    std::string flipped = good;
    flipped[99999] ^= 0x40;  // the right size, the wrong content
    WriteFileBytes(second, flipped);
    ExpectRefusedUntouched("Le fichier " + base + " est endommagé");
    // Nor is anything written to a stream.
    const TempFolder elsewhere;
    {
        TFileStream output(elsewhere / "sortie", OpenMode::Create);
        ExpectFailure<EDamaged>([&] { JoinToStream(first, output, progress); },
                                "Le fichier " + base + " est endommagé");
    }
    EXPECT_EQ(FileSize(elsewhere / "sortie"), 0);
    WriteFileBytes(second, good);

    // The size tells what is missing before anything is read.
    const std::string third = ReadFileBytes(base + ".003");
    RemoveFile(base + ".003");
    ExpectRefusedUntouched("Le fichier " + base + ".003 est manquant");
    WriteFileBytes(base + ".003", third + "x");
    ExpectRefusedUntouched("Le fichier " + base + " est endommagé");
    WriteFileBytes(base + ".003", third);

    Join(first, base, progress);
    EXPECT_EQ(ReadFileBytes(base), content);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"film.avi", "film.avi.crc"}));
}

#ifndef _WIN32
TEST_F(ManifestTest, APieceThatShrinksUnderACheckedCopyStopsTheJoinWithNothingLost) {
    // Windows lets nobody write a piece that is being read; POSIX locks bind
    // only this program. Pieces of several blocks: the second is cut short
    // between two of them.
    const std::int64_t pieceSize = 3 * std::int64_t{kInspectedCopyBlock} + 10;
    SplitWithManifest(pieceSize * 3 + 500, pieceSize);
    const std::string second = base + ".002";
    class Shrinking : public RecordingProgress {
      public:
        explicit Shrinking(std::string piece) : piece_(std::move(piece)) {}
        void BlockCopied() override {
            if (positions.size() == 1 && !piece_.empty()) {
                std::filesystem::resize_file(testing::NativePath(piece_), 1000);
                piece_.clear();
            }
        }

      private:
        std::string piece_;
    } shrinking(second);
    testing::WithinTime(std::chrono::seconds(30), "the join", [&] {
        ExpectFailure<EChangedDuringJoin>(
            [&] { Join(first, base, shrinking); },
            "Le fichier " + second + " a changé pendant le regroupage");
    });
    EXPECT_EQ(ReadFileBytes(base), content.substr(0, pieceSize));
    EXPECT_EQ(ReadFileBytes(second), content.substr(pieceSize, 1000));
    EXPECT_EQ(ReadFileBytes(base + ".003"), content.substr(2 * pieceSize, pieceSize));
}
#endif

TEST_F(ManifestTest, AResumedJoinChecksThePiecesAlreadyInTheDestination) {
    // A sum for each piece; the whole file's alone, read with the pieces left.
    for (const bool crcFileOnly : {false, true}) {
        SplitWithManifest(350000, 100000, crcFileOnly);
        testing::RecordJoinUnderWay(base, base, {100000, 100000, 100000, 50000});
        RemoveFile(first);
        RemoveFile(base + ".002");
        std::string prefix = content.substr(0, 200000);
        prefix[150000] ^= 1;
        WriteFileBytes(base, prefix);
        ExpectRefusedUntouched("Le fichier " + base + " est endommagé");

        WriteFileBytes(base, content.substr(0, 200000));
        Join(first, base, progress);
        EXPECT_EQ(ReadFileBytes(base), content);
    }
    // Only the last piece left, the destination holding part of it.
    SplitWithManifest(350000, 100000);
    testing::RecordJoinUnderWay(base, base, {100000, 100000, 100000, 50000});
    WriteFileBytes(base, content.substr(0, 320000));
    for (std::uint64_t number = 1; number <= 3; ++number) {
        RemoveFile(PieceName(base, number));
    }
    Join(base + ".004", base, progress);
    EXPECT_EQ(ReadFileBytes(base), content);
}

}  // namespace
}  // namespace morcelix
