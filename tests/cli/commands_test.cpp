// The commands in-process, for what a process run can not arrange everywhere.
#include "cli/commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/support/temp_folder.h"

namespace morcelix::cli {
namespace {

using testing::TempFolder;
using testing::WriteFileBytes;

// A stream buffer that refuses every byte, as a full disk or a closed pipe does.
class RefusingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(RunCliTest, OutputThatCanNotBeWrittenIsAFailure) {
    TempFolder folder;
    const std::string first = PieceName(folder / "film.avi", 1);
    WriteFileBytes(first, "abc");
    for (const auto& arguments :
         {std::vector<std::string>{"verifier", first}, std::vector<std::string>{"--aide"}}) {
        RefusingBuffer refusing;
        std::ostream out(&refusing);
        std::ostringstream err;
        EXPECT_EQ(RunCli(arguments, out, err, false), kExitFailure) << arguments[0];
        EXPECT_EQ(err.str(), "Erreur d'écriture dans le flux\n");
    }
}

TEST(RunCliTest, AnInterruptionStopsTheOperationAndRunningAgainFinishesIt) {
    TempFolder folder;
    const std::string source = folder / "film.avi";
    const std::string first = source + ".001";
    const std::string content = testing::PatternBytes(2500000);
    WriteFileBytes(source, content);
    std::ostringstream out, err;

    RequestInterruption();
    EXPECT_EQ(RunCli({"decouper", source, "1"}, out, err, false), kExitInterrupted);
    EXPECT_EQ(err.str(), "Découpage interrompu\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
    EXPECT_FALSE(InterruptionRequested()) << "an honoured request is forgotten";

    ASSERT_EQ(RunCli({"decouper", source, "1"}, out, err, false), kExitSuccess);
    RemoveFile(source);
    const auto set = folder.Snapshot();
    err.str("");
    RequestInterruption();
    EXPECT_EQ(RunCli({"regrouper", first}, out, err, false), kExitInterrupted);
    EXPECT_EQ(err.str(), "Regroupage interrompu : relancez la même commande pour le terminer\n");
    EXPECT_EQ(folder.Snapshot(), set);
    EXPECT_EQ(RunCli({"regrouper", first}, out, err, false), kExitSuccess);
    EXPECT_EQ(testing::ReadFileBytes(source), content);
    EXPECT_EQ(out.str(), "");
}

// Standard error a terminal: the progress line is drawn there, the files named
// on standard output, and --silencieux draws nothing.
TEST(RunCliTest, TheProgressLineIsDrawnOnATerminalUnlessQuiet) {
    TempFolder folder;
    const std::string source = folder / "film.avi";
    WriteFileBytes(source, std::string(2500000, 'x'));
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCli({"decouper", "--verbeux", source, "1"}, out, err, true), kExitSuccess);
    EXPECT_EQ(out.str(),
              "créé : " + source + ".001\ncréé : " + source + ".002\ncréé : " + source + ".003\n");
    EXPECT_TRUE(err.str().starts_with("\r0 %  0 o / 2,5 Mo")) << err.str();
    EXPECT_TRUE(err.str().find("\r100 %  2,5 Mo / 2,5 Mo") != std::string::npos) << err.str();
    EXPECT_TRUE(err.str().ends_with("\n")) << err.str();

    for (const auto& arguments :
         {std::vector<std::string>{"--silencieux", "decouper", source, "1"},
          std::vector<std::string>{"regrouper", "--silencieux", source + ".001"}}) {
        out.str("");
        err.str("");
        EXPECT_EQ(RunCli(arguments, out, err, true), kExitSuccess) << err.str();
        EXPECT_EQ(out.str() + err.str(), "") << arguments[1];
    }
}

}  // namespace
}  // namespace morcelix::cli
