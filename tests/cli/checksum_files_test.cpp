// morcelix-cli with the checksum files that come with sets from other tools:
// lists written by the system's own tools (on Windows, where there are none,
// written here with CRLF line ends and names in another case), and .sfv and
// .crc files written here from zlib's CRC-32.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "pieces/digest.h"
#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"
#include "tests/support/zlib_crc.h"

namespace morcelix {
namespace {

using testing::CliProgram;
using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::RunProgram;
using testing::TempFolder;
using testing::WriteFileBytes;

using testing::kCliPrefix;

#ifdef _WIN32
constexpr bool kOnWindows = true;
#else
constexpr bool kOnWindows = false;
#endif

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// zlib's CRC-32 of `bytes`, as the checksum files of Windows tools write it.
std::string ZlibCrc(const std::string& bytes) {
    return Upper(testing::ZlibCrc(bytes));
}

// A checksum file of one format, and how it is made.
struct Format {
    std::string extension;
    std::string algorithm;  // as verifier names it
    // A list: the command that writes it on standard output, followed by the
    // names it is given; empty for the files made here from zlib's CRC-32.
    std::string tool;
    DigestKind kind;
    bool bsdLines = false;   // the BSD form (sha256sum --tag)
    bool wholeOnly = false;  // names the whole file alone
    bool wholeToo = false;   // names the whole file after the pieces
};

const Format kFormats[] = {
    {".md5", "MD5", "md5sum", DigestKind::Md5, false, false, true},
    {".sha1", "SHA-1", "sha1sum --binary", DigestKind::Sha1},
    {".sha512", "SHA-512", "sha512sum", DigestKind::Sha512, false, true},
    {".sha256", "SHA-256", "sha256sum --tag", DigestKind::Sha256, true, false, true},
    {".sfv", "CRC-32", "", DigestKind::Crc32},
    {".crc", "CRC-32", "", DigestKind::Crc32, false, true},
};

class ChecksumFilesCliTest : public ::testing::Test {
  protected:
    static constexpr std::int64_t kPieceSize = 100000;

    ProgramRun Run(const std::vector<std::string>& arguments) {
        return RunProgram(CliProgram(), arguments, scratch.Path(), testing::BuiltProgramLauncher());
    }

    // Runs `script` with sh in the folder, "$1" standing for the source's name.
    ProgramRun Shell(const std::string& script) {
        return RunProgram("sh", {"-c", "cd \"$0\" && " + script, folder.Path(), name},
                          scratch.Path());
    }

    // The pieces of `bytes` (3 pieces, the last shorter) and the checksum file
    // of `format` beside them, the source gone; returns that file's name.
    std::string MakeSet(const Format& format) {
        WriteFileBytes(source, bytes);
        RecordingProgress progress;
        Split(source, kPieceSize, progress);
        const std::string file = WriteChecksumFile(format);
        RemoveFile(source);
        return file;
    }

    std::string WriteChecksumFile(const Format& format) {
        const std::vector<std::string> pieces = {name + ".001", name + ".002", name + ".003"};
        std::vector<std::string> named = format.wholeOnly ? std::vector<std::string>{} : pieces;
        if (format.wholeOnly || format.wholeToo) {
            named.push_back(name);
        }
        if (!kOnWindows && !format.tool.empty()) {
            std::string script = format.tool;
            for (const std::string& entry : named) {
                script += " \"$1" + entry.substr(name.size()) + "\"";
            }
            const ProgramRun run = Shell(script + " >\"$1" + format.extension + "\"");
            EXPECT_EQ(run.status, 0) << run.err;
            return name + format.extension;
        }
        // As Windows tools write them: CRLF line ends, and here names in
        // another case, which the file system takes for the same.
        const auto nameOf = [](const std::string& entry) {
            return kOnWindows ? Upper(entry) : entry;
        };
        std::string text;
        if (format.extension == ".crc") {
            text = "filename=" + nameOf(name) + "\r\nsize=" + std::to_string(bytes.size()) +
                   "\r\ncrc32=" + ZlibCrc(bytes) + "\r\n";
        } else if (format.extension == ".sfv") {
            text = "; made by the test\r\n";
            for (const std::string& entry : named) {
                text += nameOf(entry) + " " + ZlibCrc(ReadFileBytes(folder / entry)) + "\r\n";
            }
        } else {
            for (const std::string& entry : named) {
                Digest digest(format.kind);
                const std::string content = ReadFileBytes(folder / entry);
                digest.Update(content.data(), content.size());
                const std::string hex = digest.HexDigest();
                text +=
                    format.bsdLines
                        ? Upper(format.extension.substr(1)) + " (" + nameOf(entry) + ") = " + hex +
                              "\r\n"
                        : hex + (format.tool.find("--binary") != std::string::npos ? " *" : "  ") +
                              nameOf(entry) + "\r\n";
            }
        }
        const std::string file = nameOf(name + format.extension);
        WriteFileBytes(folder / file, text);
        return file;
    }

    // verifier's listing of the whole set, each piece OK or the joined file
    // `whole` ("OK", "endommagé") when only it has a sum.
    std::string Listing(const Format& format, const std::string& second, const std::string& whole) {
        return "100000  " + first + (format.wholeOnly ? "" : "  OK") + "\n" +  //
               "100000  " + source + ".002" + (format.wholeOnly ? "" : "  " + second) + "\n" +
               " 50000  " + source + ".003" + (format.wholeOnly ? "" : "  OK") + "\n" +
               "Total : 3 parties, 250000 octets\n"
               "Fichier regroupé : " +
               source + (format.wholeOnly ? "  " + whole : "") + "\n" +
               "Sommes de contrôle : " + source + format.extension + " (" + format.algorithm +
               ")\n";
    }

    TempFolder folder;
    TempFolder scratch;
    std::string name = "vacances été.mkv";
    std::string source = folder / name;
    std::string first = source + ".001";
    std::string bytes = PatternBytes(250000, 41);
};

// For each format: an intact set is verified and joined; a flipped byte, a
// missing piece and a malformed file are refused before anything is touched.
TEST_F(ChecksumFilesCliTest, EachFormatVouchesForTheSetItCameWith) {
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.extension);
        const std::string checksumFile = MakeSet(format);
        ProgramRun run = Run({"verifier", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, Listing(format, "OK", "OK"));
        EXPECT_EQ(run.err, "");

        const std::string second = source + ".002";
        const std::string good = ReadFileBytes(second);
        std::string flipped = good;
        flipped[54321] ^= 0x08;
        WriteFileBytes(second, flipped);
        run = Run({"verifier", first});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, Listing(format, "endommagé", "endommagé"));
        const std::string damaged = format.wholeOnly ? source : second;
        EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + damaged + " est endommagé\n");
        const auto before = folder.Snapshot();
        run = Run({"regrouper", first});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + damaged + " est endommagé\n");
        EXPECT_EQ(folder.Snapshot(), before);
        WriteFileBytes(second, good);
        run = Run({"regrouper", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ReadFileBytes(source) == bytes);
        EXPECT_EQ(folder.Names(), Sorted({name, checksumFile}));
        RemoveFile(source);

        MakeSet(format);
        RemoveFile(source + ".003");
        const auto set = folder.Snapshot();
        // A list of the whole file alone gives no size: the sum tells.
        const std::string missing = format.wholeOnly && format.extension != ".crc"
                                        ? "Le fichier " + source + " est endommagé"
                                        : "Le fichier " + source + ".003 est manquant";
        for (const char* command : {"verifier", "regrouper"}) {
            run = Run({command, first});
            EXPECT_EQ(run.status, 1) << command;
            EXPECT_EQ(run.err, kCliPrefix + missing + "\n") << command;
        }
        EXPECT_EQ(folder.Snapshot(), set);

        WriteFileBytes(folder / checksumFile, ReadFileBytes(folder / checksumFile) + "?\n");
        const auto malformed = folder.Snapshot();
        run = Run({"regrouper", first});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + source + format.extension +
                               " n'est pas un fichier de sommes valide\n");
        EXPECT_EQ(folder.Snapshot(), malformed);
        for (const std::string& entry : folder.Names()) {
            RemoveFile(folder / entry);
        }
    }
}

// 7-Zip's volumes, all as large as the first one here: without a list, the
// set's end may be missing; the .sfv that came with them fixes their number.
TEST_F(ChecksumFilesCliTest, SevenZipVolumesWithTheirSfvAreCheckedAndJoined) {
    const std::string archive = folder / "sauvegarde.7z";
    const std::string content = PatternBytes(3 * kPieceSize, 43);
    std::string sfv = "; volumes\r\n";
    for (std::size_t number = 1; number <= 3; ++number) {
        const std::string volume = content.substr((number - 1) * kPieceSize, kPieceSize);
        WriteFileBytes(PieceName(archive, number), volume);
        sfv += "sauvegarde.7z." + NumberText(number) + " " + ZlibCrc(volume) + "\r\n";
    }
    ProgramRun run = Run({"regrouper", archive + ".001"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + archive + ".004 est manquant\n");

    WriteFileBytes(archive + ".sfv", sfv);
    run = Run({"verifier", archive + ".001"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "100000  " + archive + ".001  OK\n100000  " + archive +
                           ".002  OK\n100000  " + archive +
                           ".003  OK\nTotal : 3 parties, 300000 octets\nFichier regroupé : " +
                           archive + "\nSommes de contrôle : " + archive + ".sfv (CRC-32)\n");
    run = Run({"regrouper", archive + ".001"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(archive) == content);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"sauvegarde.7z", "sauvegarde.7z.sfv"}));
}

TEST_F(ChecksumFilesCliTest, ASplitWithItsCrcFileIsCheckedByIt) {
    WriteFileBytes(source, bytes);
    ProgramRun run = Run({"decouper", "--somme=md5", source, "100k"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, kCliPrefix + "Valeur inconnue pour l'option --somme : md5\n" +
                           "Pour l'aide : morcelix-cli --aide\n");
    run = Run({"decouper", "--somme", source, "100k"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(FileExists(source + ".crc"));
    run = Run({"decouper", "--somme=crc", source, "100k"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(FileExists(source + ".sha256"));
    EXPECT_EQ(ReadFileBytes(source + ".crc"),
              "filename=" + name + "\r\nsize=250000\r\ncrc32=" + ZlibCrc(bytes) + "\r\n");
    // Standard input, split the same way, gives the same file (its bytes are
    // not known beforehand: the pieces there are replaced on request only).
    const std::string written = ReadFileBytes(source + ".crc");
    RemoveFile(source + ".crc");
    run = RunProgram(CliProgram(), {"decouper", "-f", "--somme=crc", "--nom", source, "-", "100k"},
                     scratch.Path(), testing::BuiltProgramLauncher(), {.input = bytes});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source + ".crc"), written);

    // Without the manifest, the .crc file vouches for the whole set.
    RemoveFile(source);
    RemoveFile(source + ".sha256");
    const Format crc = kFormats[5];
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Listing(crc, "OK", "OK"));
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(source) == bytes);
}

#ifndef _WIN32
// GNU split's numbered pieces, the last one full, and sha1sum's list of them.
TEST_F(ChecksumFilesCliTest, AGnuSplitSetWithASha1sumListIsCheckedAndJoined) {
    const std::string content = PatternBytes(3 * kPieceSize, 44);
    WriteFileBytes(source, content);
    ProgramRun run = Shell(
        "split -b 100000 -d -a 3 --numeric-suffixes=1 \"$1\" \"$1.\" && rm \"$1\" && "
        "sha1sum \"$1\".0* >\"$1.sha1\"");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "100000  " + first + "  OK\n100000  " + source + ".002  OK\n100000  " +
                           source + ".003  OK\nTotal : 3 parties, 300000 octets\n" +
                           "Fichier regroupé : " + source + "\nSommes de contrôle : " + source +
                           ".sha1 (SHA-1)\n");
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(source) == content);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{name, name + ".sha1"}));
}
#endif

// The recovery files of --secours: the reference PAR2 tool (Debian's par2,
// where it is installed) repairs N pieces lost or damaged from them, after a
// split of a file and of standard input; past the format's count of pieces,
// the split is refused before anything is written.
class RecoveryCliTest : public ChecksumFilesCliTest {
  protected:
    static bool HaveReferenceTool() {
        return !kOnWindows && std::system("command -v par2 >/dev/null 2>&1") == 0;
    }
    // Deletes pieces 2 and 5 and damages piece 3, then has par2 repair them
    // and checks the pieces are what was split.
    // Where the tool can not run (the Windows build, a Linux program), the
    // pieces are left as they are and the rest of the test goes on: only
    // the repair is not checked, which the note says.
    void ExpectRepairedByReferenceTool(const std::string& base) {
        if (!HaveReferenceTool()) {
            std::printf(
                "[   NOTE   ] the reference tool par2 is not run here (a Linux program, "
                "or not installed): the repair from %s.par2 is not checked\n",
                base.c_str());
            return;
        }
        const std::vector<std::string> before = {ReadFileBytes(base + ".002"),
                                                 ReadFileBytes(base + ".003"),
                                                 ReadFileBytes(base + ".005")};
        ASSERT_TRUE(RemoveFile(base + ".002"));
        ASSERT_TRUE(RemoveFile(base + ".005"));
        std::string damaged = before[1];
        damaged[damaged.size() / 2] ^= 0x10;
        WriteFileBytes(base + ".003", damaged);
        const ProgramRun run =
            RunProgram("par2", {"repair", "-q", base + ".par2"}, scratch.Path(), {}, {});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(ReadFileBytes(base + ".002"), before[0]);
        EXPECT_EQ(ReadFileBytes(base + ".003"), before[1]);
        EXPECT_EQ(ReadFileBytes(base + ".005"), before[2]);
    }
};

TEST_F(RecoveryCliTest, TheReferenceToolRepairsThreePiecesOfAFileOrOfStandardInput) {
    WriteFileBytes(source, bytes);
    ProgramRun run = Run({"decouper", "--secours", "3", "--somme", source, "40000o"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Sorted(folder.Names()),
              Sorted({name, name + ".001", name + ".002", name + ".003", name + ".004",
                      name + ".005", name + ".006", name + ".007", name + ".par2", name + ".sha256",
                      name + ".vol00+01.par2", name + ".vol01+02.par2"}));
    ExpectRepairedByReferenceTool(source);
    run = Run({"regrouper", "-f", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes);

    const std::string streamed = folder / "flux";
    run = RunProgram(CliProgram(), {"decouper", "--secours", "3", "--nom", streamed, "-", "40000o"},
                     scratch.Path(), testing::BuiltProgramLauncher(), {.input = bytes});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(FileExists(streamed + ".vol01+02.par2"));
    ExpectRepairedByReferenceTool(streamed);

    // A split again without --secours leaves no recovery files of the old
    // pieces beside the new ones.
    run = Run({"decouper", "-f", source, "100000o"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(FileExists(source + ".par2"));
    EXPECT_FALSE(FileExists(source + ".vol01+02.par2"));
}

TEST_F(RecoveryCliTest, MorePiecesThanTheFormatHoldsOrABadCountAreRefusedBeforeAnythingIsWritten) {
    WriteFileBytes(source, PatternBytes(32769, 7));
    ProgramRun run = Run({"decouper", "--secours", "1", source, "1o"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("32768"), std::string::npos) << run.err;
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
    for (const char* count : {"0", "65536", "-1", "2x"}) {
        run = Run({"decouper", "--secours", count, source, "1o"});
        EXPECT_EQ(run.status, 2) << count;
    }
    // --sur-place and --secours are not given together.
    run = Run({"decouper", "--secours", "1", "--sur-place", source, "1o"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
}

}  // namespace
}  // namespace morcelix
