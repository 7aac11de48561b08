#include "pieces/piece_names.h"

#include <gtest/gtest.h>

namespace morcelix {
namespace {

TEST(NumberText, PadsToThreeDigitsAndNeverShrinksOrGroups) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {1, "001"},       {42, "042"},      {999, "999"},         {1000, "1000"},
        {65535, "65535"}, {65536, "65536"}, {1234567, "1234567"},
    };
    for (const auto& [number, text] : cases) {
        EXPECT_EQ(NumberText(number), text) << number;
    }
}

TEST(Extension, StopsAtFolderSeparators) {
    const std::pair<const char*, const char*> cases[] = {
        {R"(C:\Films\vacances.avi)", ".avi"},
        {R"(C:\Notes\liste)", ""},
        {R"(C:\Mes.Docs\liste)", ""},
        {"/home/a.b/liste", ""},
        {"C:liste", ""},
        {"C:.x", ".x"},
        {R"(C:\Notes\liste.)", "."},
        {"film.avi.001", ".001"},
    };
    for (const auto& [path, extension] : cases) {
        EXPECT_EQ(Extension(path), extension) << path;
    }
}

TEST(PieceName, IsTheSourceThenADotAndTheNumberText) {
    struct Case {
        const char* source;
        std::uint64_t number;
        const char* piece;
    };
    const Case cases[] = {
        {R"(C:\Films\vacances.avi)", 1, R"(C:\Films\vacances.avi.001)"},
        {R"(C:\Films\vacances.avi)", 2, R"(C:\Films\vacances.avi.002)"},
        {R"(C:\Films\vacances.avi)", 1000, R"(C:\Films\vacances.avi.1000)"},
        {R"(C:\Notes\liste)", 1, R"(C:\Notes\liste.001)"},
        {R"(C:\Notes\liste)", 1000, R"(C:\Notes\liste.1000)"},
        {R"(C:\Mes.Docs\liste)", 2, R"(C:\Mes.Docs\liste.002)"},
        {R"(C:\Mes.Docs\liste)", 1000, R"(C:\Mes.Docs\liste.1000)"},
        {R"(C:\Notes\liste.)", 1, R"(C:\Notes\liste..001)"},
        {"/data/film.avi", 65536, "/data/film.avi.65536"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PieceName(c.source, c.number), c.piece) << c.source << " " << c.number;
    }
}

TEST(JoinDestination, DropsTheLastFourCharactersNotBytes) {
    const std::pair<const char*, const char*> cases[] = {
        {R"(C:\Films\vacances.avi.001)", R"(C:\Films\vacances.avi)"},
        {R"(C:\Notes\liste..001)", R"(C:\Notes\liste.)"},
        {R"(C:\Films\été.001)", R"(C:\Films\été)"},
        {"vidéo.été", "vidéo"},  // ".été": four characters, six bytes
        {"prix€€€€", "prix"},    // three bytes each
        {"a😀😀😀😀", "a"},          // four bytes each
        {"é€😀", ""},             // shorter than four characters
        {".001", ""},
        {"ab", ""},
        {"", ""},
        // Bytes of another encoding count one each.
        {"vid\xE9o.\xE9\xE9\xE9", "vid\xE9o"},
        {"ab\x80\x80\x80\x80", "ab"},
        {"abc\xC3\xA9\xA9", "a"},  // a sequence, then a stray byte
    };
    for (const auto& [piece, destination] : cases) {
        EXPECT_EQ(JoinDestination(piece), destination) << piece;
    }
}

TEST(DestinationOfPiece, AnyPieceOfASetLeadsToTheSameFile) {
    const std::pair<const char*, const char*> cases[] = {
        {R"(C:\Films\vacances.avi.001)", R"(C:\Films\vacances.avi)"},
        {R"(C:\Films\vacances.avi.007)", R"(C:\Films\vacances.avi)"},
        {R"(C:\Films\vacances.avi.1000)", R"(C:\Films\vacances.avi)"},
        {R"(C:\Films\vacances.avi.65536)", R"(C:\Films\vacances.avi)"},
        // Not a number text: the last four characters go, as for a first piece.
        {R"(C:\Films\vacances.avi.01)", R"(C:\Films\vacances.av)"},
        {R"(C:\Films\vacances.avi)", R"(C:\Films\vacances)"},
    };
    for (const auto& [piece, destination] : cases) {
        EXPECT_EQ(DestinationOfPiece(piece), destination) << piece;
    }
}

TEST(JoinNames, FollowTheSplitNamesFromTheFirstPiece) {
    const std::string first = R"(C:\Films\vacances.avi.001)";
    EXPECT_EQ(SiblingPieceName(first, 2), R"(C:\Films\vacances.avi.002)");
    EXPECT_EQ(SiblingPieceName(first, 1000), R"(C:\Films\vacances.avi.1000)");
    EXPECT_EQ(SiblingPieceName(SiblingPieceName(first, 1000), 1001),
              R"(C:\Films\vacances.avi.1001)");
    EXPECT_EQ(SiblingPieceName(first, 65536), R"(C:\Films\vacances.avi.65536)");
    // Every name a join looks for is the name the split wrote.
    for (std::uint64_t number : {1u, 2u, 999u, 1000u, 65535u, 65536u}) {
        EXPECT_EQ(SiblingPieceName(first, number), PieceName(JoinDestination(first), number));
    }
}

TEST(PieceNumberOf, AcceptsOnlyNumberTextsOfTheSet) {
    const std::string base = "/d/film.avi";
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"/d/film.avi.001", 1},  {"/d/film.avi.004", 4},     {"/d/film.avi.1000", 1000},
        {"/d/film.avi.0004", 0}, {"/d/film.avi.04", 0},      {"/d/film.avi.4", 0},
        {"/d/film.avi.000", 0},  {"/d/film.avi.00x", 0},     {"/d/film.avi.", 0},
        {"/d/film.avi", 0},      {"/d/film.avi.001.bak", 0}, {"/d/film.avj.002", 0},
        {"/d/film.avi.+02", 0},
    };
    for (const auto& [name, number] : cases) {
        EXPECT_EQ(PieceNumberOf(name, base), number) << name;
    }
}

}  // namespace
}  // namespace morcelix
