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
    std::ostringstream out;
    double now = 100;
    std::int64_t done = 0;
    std::vector<int> reportsSeen;
    ProgressLine::Meter meter = [this](int reports) {
        reportsSeen.push_back(reports);
        return done;
    };
    ProgressLine::Clock clock = [this] { return now; };
};

TEST_F(ProgressLineTest, RedrawsOnANewPercentageOrAfterTheIntervalAndEndsTheLine) {
    {
        ProgressLine line(out, 2500000, meter, clock);
        line.SetPosition(0);  // the first report draws at once
        now += 0.1;
        done = 400000;
        line.BlockCopied();  // too soon: nothing drawn
        now += 0.4;
        done = 500000;
        line.BlockCopied();
        now += 0.1;
        done = 1000000;
        line.SetPosition(40);  // a new percentage draws at once
        line.SetPosition(40);  // the same one, too soon, does not
        now += 0.4;
        done = 2600000;  // more than the total: shown as the total
        line.SetPosition(100);
        line.Finish();
    }
    EXPECT_EQ(out.str(),
              "\r0 %  0 o / 2,5 Mo"
              "\r0 %  500,0 ko / 2,5 Mo  1,0 Mo/s"
              "\r40 %  1,0 Mo / 2,5 Mo  1,7 Mo/s "
              "\r100 %  2,5 Mo / 2,5 Mo  2,5 Mo/s"
              "\r100 %  2,5 Mo / 2,5 Mo  2,5 Mo/s"
              "\n");
    EXPECT_EQ(reportsSeen, (std::vector<int>{1, 1, 2, 4, 4}));
}

TEST_F(ProgressLineTest, ALineLeftByAFailureIsEndedSoTheMessageStandsOnItsOwn) {
    {
        ProgressLine line(out, 10, meter, clock);
        line.SetPosition(0);
    }
    EXPECT_EQ(out.str(), "\r0 %  0 o / 10 o\n");
    out.str("");
    { ProgressLine unused(out, 10, meter, clock); }
    EXPECT_EQ(out.str(), "");
}

TEST_F(ProgressLineTest, TextWrittenAboveTheLineStandsOnALineOfItsOwn) {
    std::ostringstream other;
    {
        ProgressLine line(out, 10, meter, clock);
        line.WriteAbove(out, "avant");  // nothing drawn yet: nothing to blank
        line.SetPosition(0);
        done = 5;
        line.WriteAbove(out, "créé : a.001");
        line.WriteAbove(other, "créé : a.002");
        line.Finish();
    }
    EXPECT_EQ(out.str(),
              "avant\n"
              "\r0 %  0 o / 10 o"
              "\r               \r"
              "créé : a.001\n"
              "\r0 %  5 o / 10 o"
              "\r               \r"
              "\r0 %  5 o / 10 o"
              "\r0 %  5 o / 10 o\n");
    EXPECT_EQ(other.str(), "créé : a.002\n");
}

TEST_F(ProgressLineTest, TheThroughputCountsThisRunOnlyAndAStreamShowsNoTotal) {
    {
        // A resumed join: 2 Mo were joined before this run.
        ProgressLine line(out, 3000000, meter, clock, 2000000);
        done = 2000000;
        line.SetPosition(67);
        now += 1;
        done = 2500000;
        line.SetPosition(83);
    }
    EXPECT_EQ(out.str(),
              "\r67 %  2,0 Mo / 3,0 Mo"
              "\r83 %  2,5 Mo / 3,0 Mo  500,0 ko/s"
              "\n");
    out.str("");
    done = 0;
    {
        ProgressLine line(out, ProgressLine::kUnknownTotal, meter, clock);
        line.SetPosition(0);
        now += 2;
        done = 3000000;
        line.BlockCopied();
        line.Finish();
    }
    EXPECT_EQ(out.str(),
              "\r0 o"
              "\r3,0 Mo  1,5 Mo/s"
              "\r3,0 Mo  1,5 Mo/s\n");
}

}  // namespace
}  // namespace morcelix::cli
