// The digests, and the checksum files of other tools as they are read.
#include "pieces/checksum_files.h"

#include <gtest/gtest.h>

#include "pieces/digest.h"
#include "pieces/failure.h"
#include "tests/support/expect_failure.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;
using testing::TempFolder;
using testing::WriteFileBytes;

std::string DigestOf(DigestKind kind, const std::string& bytes) {
    Digest digest(kind);
    digest.Update(bytes.data(), bytes.size());
    return digest.HexDigest();
}

TEST(DigestTest, KnownDigestsOfEveryKindAndACopyThatGoesOnAlone) {
    const std::string million(1000000, 'a');
    struct Case {
        DigestKind kind;
        std::string empty, abc, millionA;
    };
    const Case cases[] = {
        {DigestKind::Md5, "d41d8cd98f00b204e9800998ecf8427e", "900150983cd24fb0d6963f7d28e17f72",
         "7707d6ae4e027c70eea2a935c2296f21"},
        {DigestKind::Sha1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "a9993e364706816aba3e25717850c26c9cd0d89d", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {DigestKind::Sha512,
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d28"
         "77eec2f63b931bd47417a81a538327af927da3e",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c2"
         "3a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432"
         "ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
        {DigestKind::Crc32, "00000000", "352441c2", "dc25bfbc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(DigestName(c.kind)));
        EXPECT_EQ(DigestOf(c.kind, ""), c.empty);
        EXPECT_EQ(DigestOf(c.kind, "abc"), c.abc);
        EXPECT_EQ(DigestOf(c.kind, million), c.millionA);
        EXPECT_EQ(HexDigestLength(c.kind), c.abc.size());
        Digest first(c.kind);
        first.Update("ab", 2);
        Digest copy(first);
        copy.Update("c", 1);
        first.Update("d", 1);
        EXPECT_EQ(copy.HexDigest(), c.abc);
        EXPECT_EQ(first.HexDigest(), DigestOf(c.kind, "abd"));
    }
    EXPECT_EQ(DigestOf(DigestKind::Crc32, "123456789"), "cbf43926");
}

class ChecksumFileTest : public ::testing::Test {
  protected:
    TempFolder folder;
    // A blank, a quote and letters beyond ASCII, as sets downloaded have them.
    std::string name = "film d'été.avi";
    std::string base = folder / name;
};

// A fake digest of `kind` made of one repeated digit.
std::string Fake(DigestKind kind, char digit) {
    return std::string(HexDigestLength(kind), digit);
}

TEST_F(ChecksumFileTest, EachFormatIsReadIntoWhatItVouchesFor) {
    using enum DigestKind;
    const std::string a1 = Fake(Sha1, 'a'), b1 = Fake(Sha1, 'b'), c1 = Fake(Sha1, 'c');
    const std::string am = Fake(Md5, 'a'), cm = Fake(Md5, 'c');
    const std::string c512 = Fake(Sha512, 'c');
    std::string upper = Fake(Sha1, 'C');
    struct Case {
        std::string extension;
        std::string text;
        DigestKind kind;
        std::vector<std::string> pieces;  // empty with `whole`: the whole file only
        std::string whole;
        std::optional<std::int64_t> size;
    };
    const std::string n = name;
    const Case valid[] = {
        {".sha1", a1 + "  " + n + ".001\n" + b1 + "  " + n + ".002\n", Sha1, {a1, b1}, "", {}},
        // Binary mode, upper case, CRLF, a byte order mark, a comment, the
        // whole file first and the pieces in another order.
        {".sha1",
         "\xEF\xBB\xBF# by hand\r\n" + upper + " *" + n + "\r\n" + b1 + " *" + n + ".002\r\n" + a1 +
             " *" + n + ".001\r\n",
         Sha1,
         {a1, b1},
         c1,
         {}},
        {".md5", "MD5 (" + n + ".001) = " + am + "\nMD5 (" + n + ") = " + cm, Md5, {am}, cm, {}},
        {".sha512", c512 + "  " + n + "\n", Sha512, {}, c512, {}},
        {".sfv",
         "; made by a tool\r\n\r\n" + n + ".001 AABBCCDD\r\n" + n + ".002\t\t0a0b0c0d \r\n",
         Crc32,
         {"aabbccdd", "0a0b0c0d"},
         "",
         {}},
        {".sfv", n + " 0A1B2C3D\n", Crc32, {}, "0a1b2c3d", {}},
        {".crc",
         "filename=" + n + "\r\nsize=2500000\r\ncrc32=0A1B2C3D\r\n",
         Crc32,
         {},
         "0a1b2c3d",
         2500000},
        {".crc", "\r\nCRC32=0a1b2c3d\nSize=0\nFileName=" + n + "\n", Crc32, {}, "0a1b2c3d", 0},
    };
    for (const Case& c : valid) {
        const std::string path = base + c.extension;
        WriteFileBytes(path, c.text);
        const std::optional<Manifest> read = ReadChecksumFile(base);
        ASSERT_TRUE(read) << c.text;
        EXPECT_EQ(read->path, path);
        EXPECT_EQ(read->kind, c.kind) << c.text;
        EXPECT_EQ(read->pieces, c.pieces) << c.text;
        EXPECT_EQ(read->whole, c.whole) << c.text;
        EXPECT_EQ(read->size, c.size) << c.text;
        RemoveFile(path);
    }

    const std::pair<std::string, std::string> malformed[] = {
        {".sha1", ""},
        {".sha1", "# a comment only\n"},
        {".sha1", am + "  " + n + ".001\n"},                                // an MD5 digest
        {".sha1", a1 + " " + n + ".001\n"},                                 // one space
        {".sha1", a1 + "  " + n + ".001\n\n"},                              // a blank line
        {".sha1", a1 + "  " + n + ".001\n" + b1 + "  " + n + ".003\n"},     // no piece 2
        {".sha1", a1 + "  " + n + "\n" + b1 + "  " + n + "\n"},             // the file twice
        {".sha1", a1 + "  autre.avi\n"},                                    // another file
        {".sha1", a1 + "  dossier/" + n + ".001\n"},                        // in a folder
        {".sha1", a1.substr(1) + "g  " + n + ".001\n"},                     // not hexadecimal
        {".sha1", "\\" + a1 + "  " + n + ".00\\1\n"},                       // no such escape
        {".md5", "SHA1 (" + n + ".001) = " + a1 + "\n"},                    // another algorithm
        {".md5", "MD5 (" + n + ".001) = " + am.substr(2) + "\n"},           // too short
        {".sfv", n + ".001 AABBCCD\n"},                                     // 7 digits
        {".sfv", "AABBCCDD\n"},                                             // no name
        {".crc", "filename=" + n + "\nsize=10\n"},                          // no crc32
        {".crc", "filename=" + n + "\nsize=1O\ncrc32=0a1b2c3d\n"},          // a letter O
        {".crc", "filename=" + n + "\nsize=10\ncrc32=0a1b2c3d\ndate=x\n"},  // another key
        {".crc", "filename=" + n + ".001\nsize=10\ncrc32=0a1b2c3d\n"},      // a piece
        {".crc", "filename=" + n + "\nsize=10\nsize=10\ncrc32=0a1b2c3d\n"},
    };
    for (const auto& [extension, text] : malformed) {
        const std::string path = base + extension;
        WriteFileBytes(path, text);
        ExpectFailure<EBadManifest>(
            [&] { ReadChecksumFile(base); },
            "Le fichier " + path + " n'est pas un fichier de sommes valide");
        RemoveFile(path);
    }
}

TEST_F(ChecksumFileTest, TheFirstFileFoundInTheOrderIsTheOneRead) {
    EXPECT_FALSE(ReadChecksumFile(base));
    const std::string lines[] = {
        Fake(DigestKind::Sha256, '1') + "  " + name + "\n",
        Fake(DigestKind::Sha512, '2') + "  " + name + "\n",
        Fake(DigestKind::Sha1, '3') + "  " + name + "\n",
        Fake(DigestKind::Md5, '4') + "  " + name + "\n",
        name + " 55555555\n",
        "filename=" + name + "\nsize=1\ncrc32=66666666\n",
    };
    const char* extensions[] = {".sha256", ".sha512", ".sha1", ".md5", ".sfv", ".crc"};
    // Written from the last to the first: each one written takes over.
    for (int i = 5; i >= 0; --i) {
        WriteFileBytes(base + extensions[i], lines[i]);
        const std::optional<Manifest> read = ReadChecksumFile(base);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->path, base + extensions[i]);
        EXPECT_EQ(read->whole[0], '1' + i);
    }
    // A malformed file is not passed over for the next one.
    WriteFileBytes(base + ".sha1", "?");
    RemoveFile(base + ".sha256");
    RemoveFile(base + ".sha512");
    EXPECT_THROW(ReadChecksumFile(base), EBadManifest);
#ifdef _WIN32
    // Names in another case name the same files.
    for (const char* extension : {".sha1", ".md5", ".sfv"}) {
        RemoveFile(base + extension);
    }
    WriteFileBytes(folder / "FILM D'éTé.AVI.SFV", "FILM D'éTé.AVI.001 01020304\r\n");
    const std::optional<Manifest> read = ReadChecksumFile(base);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->pieces, std::vector<std::string>{"01020304"});
#endif
}

}  // namespace
}  // namespace morcelix
