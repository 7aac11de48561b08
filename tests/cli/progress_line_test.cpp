#include "cli/progress_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace morcelix::cli {
namespace {

TEST(FormatBytesTest, DecimalUnitsWithADecimalComma) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0 o"},
        {999, "999 o"},
        {1000, "1,0 ko"},
        {999949, "999,9 ko"},
        {2500000, "2,5 Mo"},
        {999900000, "999,9 Mo"},
        {2147483648, "2,15 Go"},
        {65535000000000, "65535,00 Go"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(FormatBytes(bytes), text) << bytes;
    }
}

class ProgressLineTest : public ::testing::Test {
  protected:
    static constexpr auto kBlock = ProgressSink::Mark::Block;
    static constexpr auto kPiece = ProgressSink::Mark::Piece;

    std::ostringstream out;
    double now = 100;
    ProgressLine::Clock clock = [this] { return now; };
};

TEST_F(ProgressLineTest, RedrawsOnANewPercentageOrAfterTheIntervalAndEndsTheLine) {
    {
        ProgressLine line(out, clock);
        line.Begin(2500000, 0);
        line.Moved(0, kPiece);  // the first report draws at once
        now += 0.1;
        line.Moved(4000, kBlock);  // too soon, the same percentage: nothing drawn
        now += 0.4;
        line.Moved(5000, kBlock);
        now += 0.1;
        line.Moved(1000000, kPiece);  // a new percentage draws at once
        line.Moved(1000000, kPiece);  // the same one, too soon, does not
        now += 0.4;
        line.Moved(2600000, kBlock);  // more than the total: shown as the total
        line.Finish();
    }
    EXPECT_EQ(out.str(),
              "\r0 %  0 o / 2,5 Mo"
              "\r0 %  5,0 ko / 2,5 Mo  10,0 ko/s"
              "\r40 %  1,0 Mo / 2,5 Mo  1,7 Mo/s"
              "\r100 %  2,5 Mo / 2,5 Mo  2,5 Mo/s"
              "\r100 %  2,5 Mo / 2,5 Mo  2,5 Mo/s"
              "\n");
}

TEST_F(ProgressLineTest, ALineLeftByAFailureIsEndedSoTheMessageStandsOnItsOwn) {
    {
        ProgressLine line(out, clock);
        line.Begin(10, 0);
        line.Moved(0, kPiece);
    }
    EXPECT_EQ(out.str(), "\r0 %  0 o / 10 o\n");
    out.str("");
    { ProgressLine unused(out, clock); }
    EXPECT_EQ(out.str(), "");
}

TEST_F(ProgressLineTest, TextWrittenAboveTheLineStandsOnALineOfItsOwn) {
    std::ostringstream other;
    {
        ProgressLine line(out, clock);
        line.Begin(10, 0);
        line.WriteAbove(out, "avant");  // nothing drawn yet: nothing to blank
        line.Moved(0, kPiece);
        line.WriteAbove(out, "créé : a.001");
        line.WriteAbove(other, "créé : a.002");
        line.Finish();
    }
    EXPECT_EQ(out.str(),
              "avant\n"
              "\r0 %  0 o / 10 o"
              "\r               \r"
              "créé : a.001\n"
              "\r0 %  0 o / 10 o"
              "\r               \r"
              "\r0 %  0 o / 10 o"
              "\r0 %  0 o / 10 o\n");
    EXPECT_EQ(other.str(), "créé : a.002\n");
}

TEST_F(ProgressLineTest, TheThroughputCountsThisRunOnlyAndAStreamShowsNoTotal) {
    {
        // A resumed join: 2 Mo were joined before this run.
        ProgressLine line(out, clock);
        line.Begin(3000000, 2000000);
        line.Moved(2000000, kPiece);
        now += 1;
        line.Moved(2500000, kPiece);
    }
    EXPECT_EQ(out.str(),
              "\r67 %  2,0 Mo / 3,0 Mo"
              "\r83 %  2,5 Mo / 3,0 Mo  500,0 ko/s"
              "\n");
    out.str("");
    {
        ProgressLine line(out, clock);
        line.Begin(ProgressSink::kUnknownTotal, 0);
        line.Moved(0, kPiece);
        now += 2;
        line.Moved(3000000, kBlock);
        line.Finish();
    }
    EXPECT_EQ(out.str(),
              "\r0 o"
              "\r3,0 Mo  1,5 Mo/s"
              "\r3,0 Mo  1,5 Mo/s\n");
}

}  // namespace
}  // namespace morcelix::cli
