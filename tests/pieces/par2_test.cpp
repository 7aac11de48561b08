// The recovery data of a piece set: the packets, the files written, the
// rebuild of every choice of lost pieces, the passes that keep memory
// bounded, the split's own pass, and the recovery files damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/par2_create.h"
#include "pieces/par2_format.h"
#include "pieces/par2_reader.h"
#include "pieces/par2_repair.h"
#include "tests/support/bounded.h"
#include "tests/support/expect_failure.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using namespace par2;
using testing::ExpectFailure;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

TEST(Par2FormatTest, PacketsReadBackAsWrittenAndFailTheirMd5WhenABitFlips) {
    MainPacket main;
    main.sliceSize = 1004;
    main.files = {Md5Of("a", 1), Md5Of("b", 1)};
    const std::string mainBytes = MainPacketBytes(main);
    ASSERT_EQ(mainBytes.size() % 4, 0u);
    const std::optional<PacketHeader> header = ParseHeader(mainBytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->length, mainBytes.size());
    EXPECT_EQ(header->type, PacketType::Main);
    EXPECT_EQ(header->setId, RecoverySetIdOf(main));
    EXPECT_TRUE(PacketHashMatches(mainBytes));
    const std::optional<MainPacket> back =
        ParseMain(std::string_view(mainBytes).substr(kHeaderSize));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sliceSize, 1004u);
    EXPECT_EQ(back->files, main.files);
    for (std::size_t at : {std::size_t{20}, std::size_t{40}, mainBytes.size() - 1}) {
        std::string flipped = mainBytes;
        flipped[at] ^= 0x10;
        EXPECT_FALSE(PacketHashMatches(flipped)) << "byte " << at;
    }

    const Md5 setId = RecoverySetIdOf(main);
    FileDescription file{Md5Of("id", 2), Md5Of("whole", 5), Md5Of("head", 4), 12345,
                         "film été.001"};
    const std::string fileBytes = FileDescriptionPacketBytes(setId, file);
    EXPECT_EQ(fileBytes.size() % 4, 0u);
    const auto fileBack = ParseFileDescription(std::string_view(fileBytes).substr(kHeaderSize));
    ASSERT_TRUE(fileBack);
    EXPECT_EQ(fileBack->name, file.name);
    EXPECT_EQ(fileBack->length, 12345u);
    EXPECT_EQ(fileBack->hash16k, file.hash16k);

    const std::string checksums =
        SliceChecksumPacketBytes(setId, file.fileId, {{Md5Of("s", 1), 0xCBF43926}});
    const auto checksumsBack = ParseSliceChecksums(std::string_view(checksums).substr(kHeaderSize));
    ASSERT_TRUE(checksumsBack);
    EXPECT_EQ(checksumsBack->second.at(0).crc, 0xCBF43926u);

    // Letters beyond the basic plane travel as surrogate pairs.
    const std::optional<std::string> unicode =
        UnicodeNamePacketBytes(setId, file.fileId, "été 𝄞.001");
    ASSERT_TRUE(unicode);
    const auto nameBack = ParseUnicodeName(std::string_view(*unicode).substr(kHeaderSize));
    ASSERT_TRUE(nameBack);
    EXPECT_EQ(nameBack->second, "été 𝄞.001");
    EXPECT_FALSE(UnicodeNamePacketBytes(setId, file.fileId, "\xff\xfe"));
    EXPECT_FALSE(ParseHeader(mainBytes.substr(1)));
}

TEST(Par2FormatTest, FileIdsSortAsLittleEndianNumbersAndRecoveryFilesDoubleInSize) {
    Md5 small{}, large{};
    small[0] = 0xFF;  // the least significant byte
    large[15] = 0x01;
    EXPECT_TRUE(FileIdLess(small, large));
    EXPECT_FALSE(FileIdLess(large, small));
    EXPECT_FALSE(FileIdLess(small, small));

    using Layout = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    EXPECT_EQ(VolumeLayout(1), (Layout{{0, 1}}));
    EXPECT_EQ(VolumeLayout(10), (Layout{{0, 1}, {1, 2}, {3, 4}, {7, 3}}));
    EXPECT_EQ(RecoveryFileNames("d/f.par2", 10),
              (std::vector<std::string>{"d/f.par2", "d/f.vol00+01.par2", "d/f.vol01+02.par2",
                                        "d/f.vol03+04.par2", "d/f.vol07+03.par2"}));
    const std::vector<std::string> many = RecoveryFileNames("f.par2", 200);
    EXPECT_EQ(many[1], "f.vol000+01.par2");
    EXPECT_EQ(many.back(), "f.vol127+73.par2");
}

// A set of pieces in a temporary folder, and its bytes to compare with.
class RecoveryTest : public ::testing::Test {
  protected:
    TempFolder folder;
    std::string base = folder / "film d'été.avi";
    std::string index = RecoveryIndexPath(base);
    std::vector<std::string> pieces;
    std::vector<std::string> contents;

    std::string PieceName(std::size_t number) const {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%03zu", number);
        return base + suffix;
    }
    // Pieces of `pieceSize` bytes for a file of `total` bytes (the last
    // shorter; empty when `total` is a multiple, as a split leaves it).
    void MakeSet(std::int64_t total, std::int64_t pieceSize, unsigned seed = 1) {
        const std::string bytes = PatternBytes(total, seed);
        for (std::int64_t at = 0, n = 1;; at += pieceSize, ++n) {
            contents.push_back(
                bytes.substr(static_cast<std::size_t>(at),
                             static_cast<std::size_t>(std::min(pieceSize, total - at))));
            pieces.push_back(PieceName(static_cast<std::size_t>(n)));
            WriteFileBytes(pieces.back(), contents.back());
            if (total - at < pieceSize) {
                break;
            }
        }
    }
    void Restore() {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            WriteFileBytes(pieces[i], contents[i]);
        }
    }
    void ExpectSetWhole() {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            ASSERT_TRUE(FileExists(pieces[i])) << pieces[i];
            ASSERT_EQ(ReadFileBytes(pieces[i]), contents[i]) << pieces[i];
            ASSERT_FALSE(FileExists(RebuildFileOf(pieces[i])));
        }
    }

    enum class Harm { Missing, Flipped, Short, Long };
    void Inflict(std::size_t piece, Harm harm) {
        std::string bytes = contents[piece];
        switch (harm) {
            case Harm::Missing:
                ASSERT_TRUE(RemoveFile(pieces[piece]));
                return;
            case Harm::Flipped:
                if (bytes.empty()) {
                    bytes = "x";
                } else {
                    bytes[bytes.size() / 2] ^= 1;
                }
                break;
            case Harm::Short:
                bytes.resize(bytes.empty() ? 0 : bytes.size() - 1);
                if (contents[piece].empty()) {
                    ASSERT_TRUE(RemoveFile(pieces[piece]));
                    return;
                }
                break;
            case Harm::Long:
                bytes += '\0';
                break;
        }
        WriteFileBytes(pieces[piece], bytes);
    }

    std::vector<std::string> Rebuild(const ComputeLimits& limits = {},
                                     PieceCheck check = PieceCheck::Md5) {
        std::vector<std::string> rebuilt;
        testing::WithinTime(std::chrono::seconds(120), "the rebuild", [&] {
            rebuilt = RebuildPieces(SurveyPieces(index, limits, check), limits);
        });
        return rebuilt;
    }
};

TEST_F(RecoveryTest, EveryChoiceOfUpToNLostPiecesIsRebuiltAndOneMoreIsRefusedUntouched) {
    // Seven pieces of an odd size (slices padded to a multiple of 4), the last short.
    MakeSet(6 * 1001 + 555, 1001);
    ASSERT_EQ(pieces.size(), 7u);
    const std::uint32_t n = 3;
    RecoveryOptions options;
    options.slices = n;
    CreateRecoveryFiles(pieces, index, options);
    const std::size_t count = pieces.size();
    int rebuilds = 0;
    for (unsigned mask = 1; mask < (1u << count); ++mask) {
        std::vector<std::size_t> chosen;
        for (std::size_t i = 0; i < count; ++i) {
            if (mask & (1u << i)) {
                chosen.push_back(i);
            }
        }
        if (chosen.size() > n) {
            continue;
        }
        // The harms go round, so that missing and damaged pieces meet.
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            Inflict(chosen[k], static_cast<Harm>((mask + k) % 4));
        }
        const std::vector<std::string> rebuilt = Rebuild();
        EXPECT_EQ(rebuilt.size(), chosen.size()) << "mask " << mask;
        ExpectSetWhole();
        if (HasFatalFailure() || HasFailure()) {
            return;
        }
        ++rebuilds;
    }
    EXPECT_EQ(rebuilds, 7 + 21 + 35);

    for (const std::size_t piece : {0, 2, 5, 6}) {
        Inflict(piece, piece % 2 ? Harm::Flipped : Harm::Missing);
    }
    const auto before = folder.Snapshot();
    const RepairSurvey survey = SurveyPieces(index);
    EXPECT_EQ(survey.PiecesToRebuild(), 4);
    EXPECT_EQ(survey.RecoverySlices(), 3);
    ExpectFailure<ENotEnoughRecovery>(
        [&] { RebuildPieces(survey); },
        "Parties manquantes ou endommagées : 4 ; les données de secours permettent d'en "
        "reconstruire 3");
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(RecoveryTest, RandomLossesInALargerSetTheLastPieceAmongThem) {
    MakeSet(40 * 2048 + 5, 2048);
    ASSERT_EQ(pieces.size(), 41u);
    RecoveryOptions options;
    options.slices = 5;
    CreateRecoveryFiles(pieces, index, options);
    std::mt19937 random(3);
    for (int round = 0; round < 12; ++round) {
        std::vector<std::size_t> all(pieces.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        std::shuffle(all.begin(), all.end(), random);
        std::vector<std::size_t> chosen(all.begin(), all.begin() + 5);
        if (round % 2 == 0 && std::find(chosen.begin(), chosen.end(), 40) == chosen.end()) {
            chosen[0] = 40;
        }
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            Inflict(chosen[k], static_cast<Harm>((round + k) % 4));
        }
        // The slices' CRC-32 find the same damage as the MD5s.
        Rebuild({}, round % 3 ? PieceCheck::Md5 : PieceCheck::SliceCrc);
        ExpectSetWhole();
        if (HasFatalFailure() || HasFailure()) {
            return;
        }
    }
}

TEST_F(RecoveryTest, AnEmptyLastPieceIsLeftOutOfTheSet) {
    MakeSet(3 * 1000, 1000);
    ASSERT_EQ(pieces.size(), 4u);
    ASSERT_TRUE(contents.back().empty());
    RecoveryOptions options;
    options.slices = 2;
    CreateRecoveryFiles(pieces, index, options);
    const RecoverySet set = ReadRecoverySet(index);
    ASSERT_EQ(set.files.size(), 3u);
    EXPECT_EQ(set.sliceSize, 1000u);
    for (const SetFile& file : set.files) {
        EXPECT_EQ(file.description.length, 1000u);
    }
    Inflict(0, Harm::Missing);
    Inflict(2, Harm::Short);
    Rebuild();
    ExpectSetWhole();
}

TEST_F(RecoveryTest, PassesWithinASmallMemoryGiveTheSameFilesAndRebuildTheSame) {
    MakeSet(9 * 50000 + 1234, 50000);
    RecoveryOptions options;
    options.slices = 6;
    CreateRecoveryFiles(pieces, index, options);
    std::vector<std::string> whole;
    for (const std::string& file : RecoveryFileNames(index, options.slices)) {
        whole.push_back(ReadFileBytes(file));
    }
    // Room for about 6 KiB of each recovery slice: some ten passes.
    RecoveryOptions tight = options;
    tight.limits.memory = 6 * 50000 / 8 + 4 * 2 * 50000;
    tight.limits.threads = 2;
    ASSERT_GT(PassesFor(50000, 6, tight.limits), 5);
    CreateRecoveryFiles(pieces, index, tight);
    const std::vector<std::string> names = RecoveryFileNames(index, options.slices);
    for (std::size_t f = 0; f < names.size(); ++f) {
        EXPECT_EQ(ReadFileBytes(names[f]), whole[f]) << names[f];
    }
    for (const std::size_t piece : {1, 3, 4, 7, 8, 9}) {
        Inflict(piece, piece % 2 ? Harm::Missing : Harm::Long);
    }
    Rebuild(tight.limits);
    ExpectSetWhole();
}

TEST_F(RecoveryTest, TheSplitsOwnPassMakesTheSameFilesAsAPassOverTheWrittenPieces) {
    // Pieces within 16 KiB (their MD5 made in the pass), and more than 16
    // pieces past it, of an odd size (read back side by side while the split
    // goes on, 16 at a time, the last batch at the end).
    struct Set {
        std::int64_t total, pieceSize;
    };
    for (const Set set : {Set{5 * 4099 + 17, 4099}, Set{20 * 20001 + 9001, 20001}}) {
        SCOPED_TRACE(std::to_string(set.pieceSize) + "-byte pieces");
        for (const std::string& piece : pieces) {
            RemoveFile(piece);
        }
        pieces.clear();
        contents.clear();
        MakeSet(set.total, set.pieceSize);
        struct Case {
            std::uint32_t slices;
            bool planned;
            bool inPass;
        };
        for (const Case c : {Case{1, false, true}, Case{4, true, true}, Case{4, false, false}}) {
            SCOPED_TRACE(std::to_string(c.slices) + (c.planned ? " slices, planned" : " slices"));
            RecoveryOptions options;
            options.slices = c.slices;
            CreateRecoveryFiles(pieces, index, options);
            std::vector<std::string> expected;
            const std::vector<std::string> names = RecoveryFileNames(index, c.slices);
            for (const std::string& file : names) {
                expected.push_back(ReadFileBytes(file));
                RemoveFile(file);
            }
            std::optional<std::vector<PlannedPiece>> plan;
            if (c.planned) {
                const std::string source = folder / "source";
                WriteFileBytes(source, PatternBytes(set.total, 1));
                std::vector<std::string> pieceNames;
                for (const std::string& piece : pieces) {
                    pieceNames.push_back(piece.substr(FolderPart(piece).size()));
                }
                plan = PieceOrderOf(source, set.pieceSize, pieceNames);
                RemoveFile(source);
            }
            RecoveryWriter writer(set.pieceSize, options, plan);
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                writer.BeginPiece(pieces[i]);
                // Blocks of odd sizes, as a copy may hand them over.
                for (std::size_t at = 0; at < contents[i].size(); at += 777) {
                    writer.Add(contents[i].data() + at,
                               std::min<std::size_t>(777, contents[i].size() - at));
                }
                writer.EndPiece();
            }
            EXPECT_EQ(writer.SlicesInPass(), c.inPass);
            EXPECT_EQ(writer.Finish(index), names);
            for (std::size_t f = 0; f < names.size(); ++f) {
                EXPECT_EQ(ReadFileBytes(names[f]), expected[f]) << names[f];
            }
            for (const std::string& file : names) {
                RemoveFile(file);
            }
        }
    }
}

TEST_F(RecoveryTest, APieceChangedPast16KiBAfterTheSplitWroteItFailsTheSplitInEveryMode) {
    // The pass reads the pieces back for their MD5s past 16 KiB, the other
    // mode for everything: either way the bytes must be those the split saw.
    MakeSet(3 * 40000 + 5, 40000);
    for (const std::uint32_t slices : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(slices) + " slices");
        RecoveryOptions options;
        options.slices = slices;
        RecoveryWriter writer(40000, options);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            writer.BeginPiece(pieces[i]);
            writer.Add(contents[i].data(), contents[i].size());
            writer.EndPiece();
        }
        EXPECT_EQ(writer.SlicesInPass(), slices == 1);
        std::string changed = contents[1];
        changed[30000] ^= 0x10;  // same length, same first 16 KiB
        WriteFileBytes(pieces[1], changed);
        const auto before = folder.Names();
        ExpectFailure<EChangedDuringSplit>([&] { writer.Finish(index); },
                                           FormatText(Text::ChangedDuringSplit, pieces[1]));
        EXPECT_EQ(folder.Names(), before);
        Restore();
    }
}

TEST_F(RecoveryTest, ThePlannedOrderLeavesAnEmptyLastPieceOutAsTheFilesDo) {
    MakeSet(4 * 1000, 1000);  // four pieces and an empty fifth
    RecoveryOptions options;
    options.slices = 3;
    CreateRecoveryFiles(pieces, index, options);
    const std::vector<std::string> names = RecoveryFileNames(index, options.slices);
    std::vector<std::string> expected;
    for (const std::string& file : names) {
        expected.push_back(ReadFileBytes(file));
    }
    const std::string source = folder / "source";
    WriteFileBytes(source, PatternBytes(4 * 1000, 1));
    std::vector<std::string> pieceNames;
    for (const std::string& piece : pieces) {
        pieceNames.push_back(piece.substr(FolderPart(piece).size()));
    }
    RecoveryWriter writer(1000, options, PieceOrderOf(source, 1000, pieceNames), 1000);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        writer.BeginPiece(pieces[i]);
        writer.Add(contents[i].data(), contents[i].size());
        writer.EndPiece();
    }
    EXPECT_TRUE(writer.SlicesInPass());
    writer.Finish(index);
    for (std::size_t f = 0; f < names.size(); ++f) {
        EXPECT_EQ(ReadFileBytes(names[f]), expected[f]) << names[f];
    }
}

TEST_F(RecoveryTest, AFailureOnOneWorkerEndsTheComputationOnEveryThread) {
    MakeSet(6 * 5000 + 1, 5000);
    Combination combination;
    combination.sliceSize = 5000;
    for (const std::string& piece : pieces) {
        combination.inputs.push_back(SliceSource{piece, 0, FileSize(piece)});
    }
    combination.outputs = 2;
    combination.coefficient = [](std::size_t, std::size_t) { return std::uint16_t{7}; };
    ComputeLimits limits;
    limits.threads = 3;
    const auto sink = [](std::int64_t, const std::uint8_t* const*, std::size_t, std::size_t) {};
    testing::WithinTime(std::chrono::seconds(60), "a computation whose observer fails", [&] {
        ExpectFailure<EDamaged>(
            [&] {
                Compute(
                    combination, limits,
                    [](const InputBlock* blocks, std::size_t count) {
                        for (std::size_t b = 0; b < count; ++b) {
                            if (blocks[b].input == 4) {
                                throw EDamaged("4");
                            }
                        }
                    },
                    sink);
            },
            FormatText(Text::Damaged, "4"));
    });
    // An input shorter than its slice says.
    combination.inputs.back().length += 10;
    testing::WithinTime(std::chrono::seconds(60), "a computation with a short input",
                        [&] { EXPECT_THROW(Compute(combination, limits, {}, sink), EReadError); });
}

TEST_F(RecoveryTest, APieceChangedBeforeTheFilesAreMadeFailsTheSplitAndLeavesNoRecoveryFile) {
    MakeSet(3 * 1000 + 10, 1000);
    RecoveryOptions options;
    options.slices = 2;
    RecoveryWriter writer(1000, options);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        writer.BeginPiece(pieces[i]);
        writer.Add(contents[i].data(), contents[i].size());
        writer.EndPiece();
    }
    std::string changed = contents[1];
    changed[999] ^= 4;
    WriteFileBytes(pieces[1], changed);
    const auto before = folder.Names();
    ExpectFailure<EChangedDuringSplit>([&] { writer.Finish(index); },
                                       FormatText(Text::ChangedDuringSplit, pieces[1]));
    EXPECT_EQ(folder.Names(), before);
}

TEST_F(RecoveryTest, SetsTheFormatCanNotHoldAreRefusedBeforeAnythingIsRead) {
    const std::vector<std::string> tooMany(32769, folder / "absent");
    RecoveryOptions options;
    ExpectFailure<ETooManyForRecovery>(
        [&] { CreateRecoveryFiles(tooMany, index, options); },
        "Les données de secours ne peuvent couvrir que 32768 parties au plus : le découpage en a "
        "32769");
    options.slices = 65536;
    ExpectFailure<ETooManyForRecovery>(
        [&] { RecoveryWriter(1000, options); },
        "Les données de secours comptent 65535 tranches au plus : 65536 demandées");
    EXPECT_TRUE(folder.Names().empty());
}

TEST_F(RecoveryTest, AFailingWriteRemovesEveryRecoveryFileCreated) {
    MakeSet(3000, 1000);
    // A folder where the last recovery file would go: it can not be created.
    testing::MakeFolder(RecoveryFileNames(index, 3).back());
    RecoveryOptions options;
    options.slices = 3;
    EXPECT_THROW(CreateRecoveryFiles(pieces, index, options), EFCreateError);
    const std::vector<std::string> names = folder.Names();
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::string& name) { return name.ends_with(".par2"); }),
              1);  // the folder
}

TEST_F(RecoveryTest, DamagedRecoveryFilesGiveWhatTheyHoldIntact) {
    MakeSet(8 * 3000 + 99, 3000);
    RecoveryOptions options;
    options.slices = 7;  // vol00+01, vol01+02, vol03+04
    CreateRecoveryFiles(pieces, index, options);
    const std::vector<std::string> names = RecoveryFileNames(index, 7);
    // The index gone: the recovery files carry its packets too.
    RemoveFile(names[0]);
    // Bytes inserted before the first packet and a recovery slice's byte
    // flipped in the second file; the third cut short in its last slice.
    WriteFileBytes(names[1], "garbage!" + ReadFileBytes(names[1]));
    std::string second = ReadFileBytes(names[2]);
    second[100] ^= 1;  // in the first slice's data
    WriteFileBytes(names[2], second);
    std::string third = ReadFileBytes(names[3]);
    third.resize(3 * (68 + 3000) + 1000);
    WriteFileBytes(names[3], third);
    const RecoverySet set = ReadRecoverySet(index);
    std::vector<std::uint32_t> exponents;
    for (const RecoverySlice& slice : set.recovery) {
        exponents.push_back(slice.exponent);
    }
    EXPECT_EQ(exponents, (std::vector<std::uint32_t>{0, 2, 3, 4, 5}));
    ASSERT_EQ(set.files.size(), pieces.size());
    for (const SetFile& file : set.files) {
        EXPECT_TRUE(file.checksumsFound);
        EXPECT_EQ(file.unicodeName, file.description.name);
    }
    for (const std::size_t piece : {0, 3, 5, 7, 8}) {
        Inflict(piece, Harm::Missing);
    }
    Rebuild();
    ExpectSetWhole();
}

TEST_F(RecoveryTest, AnIndexThatNamesAFileOutsideItsFolderOrIsNoSetIsRefused) {
    WriteFileBytes(index, "not a recovery set at all");
    ExpectFailure<EBadRecoveryFile>([&] { SurveyPieces(index); },
                                    FormatText(Text::BadRecoveryFile, index));
    MainPacket main;
    main.sliceSize = 4;
    FileDescription file;
    file.name = "../outside";
    file.length = 4;
    file.hash16k = file.hash = Md5Of("abcd", 4);
    file.fileId = FileIdOf(file.hash16k, 4, file.name);
    main.files = {file.fileId};
    const Md5 setId = RecoverySetIdOf(main);
    WriteFileBytes(index, MainPacketBytes(main) + FileDescriptionPacketBytes(setId, file));
    ExpectFailure<EBadRecoveryFile>([&] { SurveyPieces(index); },
                                    FormatText(Text::BadRecoveryFile, index));
    EXPECT_FALSE(testing::PathExists(folder.Path() + "/../outside"));
    // A slice size no set has: taken for damage, as an overflow would follow.
    main.sliceSize = std::uint64_t{1} << 62;
    WriteFileBytes(index, MainPacketBytes(main));
    ExpectFailure<EBadRecoveryFile>([&] { SurveyPieces(index); },
                                    FormatText(Text::BadRecoveryFile, index));
}

}  // namespace
}  // namespace morcelix
