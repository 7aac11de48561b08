// The commands in-process, for what a process run can not arrange everywhere.
#include "cli/commands.h"

#include <gtest/gtest.h>

#include <sstream>

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

}  // namespace
}  // namespace morcelix::cli
