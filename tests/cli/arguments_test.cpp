#include "cli/arguments.h"

#include <gtest/gtest.h>

#include "pieces/failure.h"
#include "tests/support/expect_failure.h"

namespace morcelix::cli {
namespace {

using testing::ExpectFailure;

TEST(PieceSizeFromArgumentTest, PresetsInAnyCaseThenWholeMoAsTheWindowReadsThem) {
    // Past the presets, the window's reader (tested with the size entry).
    const std::pair<const char*, std::int64_t> sizes[] = {
        {"cd", 700000000},     {"CD", 700000000},     {"dvd", 4697000000}, {"Dvd", 4697000000},
        {"fat32", 4294000000}, {"FAT32", 4294000000}, {"700", 700000000},
    };
    for (const auto& [text, bytes] : sizes) {
        EXPECT_EQ(PieceSizeFromArgument(text), bytes) << text;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"cd ", "'cd ' n'est pas une valeur entière correcte"},
        {"fat", "'fat' n'est pas une valeur entière correcte"},
        {"-1", "'-1' n'est pas une taille de fichiers correcte"},
    };
    for (const auto& [text, message] : refused) {
        ExpectFailure<Failure>([&] { PieceSizeFromArgument(text); }, message);
    }
}

}  // namespace
}  // namespace morcelix::cli
