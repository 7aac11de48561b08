#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <limits>

namespace morcelix::cli {
namespace {

TEST(PieceSizeFromArgumentTest, TakesPresetsAndNumbersWithTheirUnitsInBytesRoundedDown) {
    constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
    const std::pair<const char*, std::int64_t> sizes[] = {
        // Presets, in any case.
        {"cd", 700000000},
        {"DVD", 4697000000},
        {"Fat32", 4294000000},
        {"courriel", 14000000},
        {"DISCORD", 10000000},
        {"GitHub", 100000000},
        {"telegram", 2147000000},
        // Mo, whole or with a decimal comma or point.
        {"700", 700000000},
        {"1,5", 1500000},
        {"1.5", 1500000},
        {"0,000001", 1},
        {"0,0000019", 1},
        // Decimal units, in any case, with or without spaces.
        {"700M", 700000000},
        {"700Mo", 700000000},
        {"700 mB", 700000000},
        {"1,5Go", 1500000000},
        {"1.5  GB", 1500000000},
        {"10k", 10000},
        {"10 Ko", 10000},
        {"10kb", 10000},
        {"4 T", 4000000000000},
        {"4to", 4000000000000},
        {"512 o", 512},
        {"1,9 O", 1},
        // Binary units.
        {"2 Gio", 2147483648},
        {"2GiB", 2147483648},
        {"1,5 KiB", 1536},
        {"0,1 kio", 102},
        {"100 Mio", 104857600},
        {"1 TiB", 1099511627776},
        {" 700 ", 700000000},
        // The largest size there is, whole and with a decimal part.
        {"9223372036854775807 o", kLargest},
        {"9223372036854,775807", kLargest},
    };
    for (const auto& [text, bytes] : sizes) {
        EXPECT_EQ(PieceSizeFromArgument(text), bytes) << text;
    }
    for (const std::string text : {"0",
                                   "0 Go",
                                   "0,0000001",
                                   "0,5 o",
                                   "-5",
                                   "+5",
                                   "0x10",
                                   "$10",
                                   "abc",
                                   "",
                                   " ",
                                   "1,",
                                   ",5",
                                   "1,5,0",
                                   "1e3",
                                   "5 X",
                                   "5 Ki",
                                   "5 b",
                                   "10 M o",
                                   "1 000",
                                   "cd 1",
                                   "cdrom",
                                   "fat",
                                   "9223372036854775808 o",
                                   "9223372036854,775808",
                                   "9223372036854775807",
                                   "99999999 To",
                                   "18446744073709551616000 o"}) {
        try {
            PieceSizeFromArgument(text);
            ADD_FAILURE() << "'" << text << "' taken";
        } catch (const UsageError& error) {
            EXPECT_EQ(error.text, "'" + text + "' n'est pas une taille de fichiers correcte");
        }
    }
}

// getopt_long keeps its place in globals: each reading starts afresh, even
// after one that stopped in the middle of "-xh".
TEST(ParseArgumentsTest, EachReadingStartsAfreshWhateverTheLastOneLeft) {
    for (int round = 0; round < 2; ++round) {
        EXPECT_THROW(ParseArguments({"-xh"}), UsageError);
        EXPECT_THROW(ParseArguments({"regrouper", "a.001", "--dossier"}), UsageError);
        const Command split = ParseArguments({"decouper", "-o.", "film.avi", "--verb", "1M"});
        EXPECT_EQ(split.name, "decouper");
        EXPECT_TRUE(split.Has(Option::Verbose));
        EXPECT_EQ(split.Value(Option::Folder), ".");
        EXPECT_EQ(split.operands, (std::vector<std::string>{"film.avi", "1M"}));
        EXPECT_EQ(split.pieceSize, 1000000);
        const Command join = ParseArguments({"--gar", "regrouper", "--", "-film.avi.001"});
        EXPECT_TRUE(join.Has(Option::Keep));
        EXPECT_EQ(join.options.at(Option::Keep).spelling, "--garder");
        EXPECT_EQ(join.operands, std::vector<std::string>{"-film.avi.001"});
        const Command version = ParseArguments({"-cV"});
        EXPECT_TRUE(version.Has(Option::ToStandardOutput) && version.Has(Option::Version));
    }
}

// --somme takes its value after "=" only: a word after it is an operand.
TEST(ParseArgumentsTest, TheChecksumOptionTakesCrcAfterAnEqualsSignOnly) {
    EXPECT_EQ(ParseArguments({"decouper", "--somme", "f", "1"}).Value(Option::Checksum), "");
    EXPECT_EQ(ParseArguments({"decouper", "--som=crc", "f", "1"}).Value(Option::Checksum), "crc");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"decouper", "--somme", "crc", "f", "1"}, "Nombre d'arguments incorrect pour decouper"},
        {{"decouper", "--somme=", "f", "1"}, "Valeur manquante pour l'option --somme"},
        {{"decouper", "--somme=CRC32", "f", "1"}, "Valeur inconnue pour l'option --somme : CRC32"},
        {{"regrouper", "--somme=crc", "f.001"}, "L'option --somme ne s'applique qu'à decouper"},
    };
    for (const auto& [arguments, message] : refused) {
        try {
            ParseArguments(arguments);
            ADD_FAILURE() << message;
        } catch (const UsageError& error) {
            EXPECT_EQ(error.text, message);
        }
    }
}

}  // namespace
}  // namespace morcelix::cli
