#include "pieces/size_entry.h"

#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "tests/support/expect_failure.h"

namespace morcelix {
namespace {

using testing::ExpectFailure;

TEST(ReadWholeNumber, AcceptsSignsHexadecimalAndLeadingSpacesAndZeros) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"1", 1},
        {"  42", 42},
        {"+7", 7},
        {"-7", -7},
        {"0", 0},
        {"-0", 0},
        {"000123", 123},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"$10", 16},
        {"x1f", 31},
        {"X1F", 31},
        {"0x10", 16},
        {"0X7FFFFFFF", 2147483647},
        {"$80000000", -2147483647 - 1},
        {"$FFFFFFFF", -1},
        {"$000000000001", 1},  // leading zeros are not significant digits
        {"  $ff", 255},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(ReadWholeNumber(text), value) << text;
    }
}

TEST(ReadWholeNumber, RefusesAnythingElseWithTheTextAsTyped) {
    const char* refused[] = {
        "",     "   ",   "abc",   "12 ",        " 12 ",       "\t12",        "1.5",
        "1e3",  "+",     "-",     "--1",        "+-1",        "$",           "0x",
        "x",    "-$10",  "+0x10", "$100000000", "2147483648", "-2147483649", "99999999999999999999",
        "0x1G", "12abc", "1 000", "$-1",
    };
    for (const char* text : refused) {
        ExpectFailure<EConvertError>(
            [&] { ReadWholeNumber(text); },
            std::string("'") + text + "' n'est pas une valeur entière correcte");
    }
}

TEST(PieceSizeFromEntry, IsTheEntryInMoComputedIn64Bits) {
    EXPECT_EQ(PieceSizeFromEntry("1"), 1000000);
    EXPECT_EQ(PieceSizeFromEntry("0"), 0);
    EXPECT_EQ(PieceSizeFromEntry("4700"), 4700000000);
    EXPECT_EQ(PieceSizeFromEntry("2147483647"), 2147483647000000);
    ExpectFailure<EPieceSizeError>([] { PieceSizeFromEntry(" -5"); },
                                   "' -5' n'est pas une taille de fichiers correcte");
    ExpectFailure<EPieceSizeError>([] { PieceSizeFromEntry("$FFFFFFFF"); },
                                   "'$FFFFFFFF' n'est pas une taille de fichiers correcte");
    ExpectFailure<EConvertError>([] { PieceSizeFromEntry("abc"); },
                                 "'abc' n'est pas une valeur entière correcte");
}

}  // namespace
}  // namespace morcelix
