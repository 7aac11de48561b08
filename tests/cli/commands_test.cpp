// The commands in-process, for what a process run can not arrange everywhere.
#include "cli/commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/support/temp_folder.h"

namespace morcelix::cli {
namespace {

using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

// A stream buffer that refuses every byte, as a full disk or a closed pipe does.
class RefusingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

// Standard input as a pipe hands it over: at most `chunk` bytes a read. Once
// `interruptAfter` bytes are read, Ctrl+C is pressed.
class PipedInput : public SequentialInput {
  public:
    explicit PipedInput(std::string bytes = {}, std::size_t chunk = 4096,
                        std::size_t interruptAfter = std::string::npos)
        : bytes_(std::move(bytes)), chunk_(chunk), interruptAfter_(interruptAfter) {}
    std::int32_t ReadSome(void* buffer, std::int32_t count) override {
        const std::size_t size = std::min({bytes_.size() - at_, chunk_, std::size_t(count)});
        bytes_.copy(static_cast<char*>(buffer), size, at_);
        at_ += size;
        if (at_ >= interruptAfter_) {
            RequestInterruption();
        }
        return static_cast<std::int32_t>(size);
    }

  private:
    std::string bytes_;
    std::size_t chunk_;
    std::size_t interruptAfter_;
    std::size_t at_ = 0;
};

// Standard output into memory.
class MemoryOutput : public TStream {
  public:
    std::int32_t Read(void*, std::int32_t) override { return 0; }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        bytes.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        return count;
    }
    std::int64_t Seek(std::int64_t, SeekOrigin) override { return -1; }
    std::string bytes;
};

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal, SequentialInput& input, TStream& output) {
    return cli::RunCli(arguments, out, err, errIsTerminal, {input, output});
}

// With an empty standard input, and standard output going nowhere.
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal) {
    PipedInput input;
    MemoryOutput output;
    return RunCli(arguments, out, err, errIsTerminal, input, output);
}

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
        EXPECT_EQ(err.str(), "morcelix-cli : Erreur d'écriture dans le flux\n");
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
    EXPECT_EQ(err.str(), "morcelix-cli : Découpage interrompu\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
    EXPECT_FALSE(InterruptionRequested()) << "an honoured request is forgotten";

    ASSERT_EQ(RunCli({"decouper", source, "1"}, out, err, false), kExitSuccess);
    RemoveFile(source);
    const auto set = folder.Snapshot();
    err.str("");
    RequestInterruption();
    EXPECT_EQ(RunCli({"regrouper", first}, out, err, false), kExitInterrupted);
    EXPECT_EQ(
        err.str(),
        "morcelix-cli : Regroupage interrompu : relancez la même commande pour le terminer\n");
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

// A pipe hands over what its writer has written so far: a short read is not
// the end of the input, which may also fall on a piece boundary.
TEST(RunCliTest, StandardInputIsReadToItsEndWhateverTheReadsHandOver) {
    TempFolder folder;
    const std::string pieces = folder / "flux";
    std::ostringstream out, err;
    for (const std::size_t size : {2500000, 2000000}) {
        for (const std::string& name : folder.Names()) {
            RemoveFile(folder / name);
        }
        const std::string bytes = PatternBytes(static_cast<std::int64_t>(size), 3);
        PipedInput input(bytes, 999);
        MemoryOutput unused;
        EXPECT_EQ(RunCli({"decouper", "-", "1", "--nom", pieces}, out, err, false, input, unused),
                  kExitSuccess)
            << err.str();
        EXPECT_EQ(ReadFileBytes(pieces + ".001") + ReadFileBytes(pieces + ".002") +
                      ReadFileBytes(pieces + ".003"),
                  bytes);
        EXPECT_EQ(FileSize(pieces + ".003"), static_cast<std::int64_t>(size) - 2000000);
        EXPECT_EQ(folder.Names().size(), 3u);
    }
}

// The input can not be read again: what was split stays, and the message
// says how far it goes. Pieces of an earlier, longer split of that name are
// not replaced unless asked; then they go.
TEST(RunCliTest, AStandardInputSplitThatStopsKeepsItsPiecesAndSaysHowFarTheyGo) {
    TempFolder folder;
    const std::string pieces = folder / "flux";
    WriteFileBytes(pieces + ".004", "an earlier split's");
    const std::string bytes = PatternBytes(3500000, 4);
    std::ostringstream out, err;
    MemoryOutput unused;
    {
        PipedInput input(bytes, 4096);
        EXPECT_EQ(RunCli({"decouper", "-", "1M", "--nom", pieces}, out, err, false, input, unused),
                  kExitFailure);
        EXPECT_EQ(err.str(), "morcelix-cli : Le fichier " + pieces + ".004 existe déjà\n");
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"flux.004"});
        err.str("");
    }
    PipedInput input(bytes, 4096, 1500000);
    EXPECT_EQ(RunCli({"--verbeux", "decouper", "-f", "-", "1M", "--nom", pieces}, out, err, false,
                     input, unused),
              kExitInterrupted);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"flux.001", "flux.002"}));
    const std::string kept = ReadFileBytes(pieces + ".001") + ReadFileBytes(pieces + ".002");
    EXPECT_GE(kept.size(), 1500000u);
    EXPECT_EQ(kept, bytes.substr(0, kept.size()));
    EXPECT_EQ(err.str(),
              "morcelix-cli : Découpage interrompu\n"
              "morcelix-cli : Les parties jusqu'à " +
                  pieces + ".002 sont gardées : elles contiennent le début de l'entrée, " +
                  std::to_string(kept.size()) + " octets\n");
    EXPECT_EQ(out.str(), "créé : " + pieces + ".001\ncréé : " + pieces +
                             ".002\nsupprimé : " + pieces + ".004\n");
}

TEST(RunCliTest, AJoinToStandardOutputStopsAtADamagedPieceAndKeepsEveryPiece) {
    TempFolder folder;
    const std::string source = folder / "film.avi";
    const std::string bytes = PatternBytes(2500000, 5);
    WriteFileBytes(source, bytes);
    std::ostringstream out, err;
    ASSERT_EQ(RunCli({"decouper", "--somme", source, "1"}, out, err, false), kExitSuccess);
    RemoveFile(source);
    std::string second = ReadFileBytes(source + ".002");
    second[5] ^= 1;
    WriteFileBytes(source + ".002", second);
    const auto set = folder.Snapshot();

    PipedInput unused;
    MemoryOutput output;
    EXPECT_EQ(RunCli({"regrouper", "-c", source + ".001"}, out, err, false, unused, output),
              kExitFailure);
    EXPECT_EQ(err.str(), "morcelix-cli : Le fichier " + source + ".002 est endommagé\n");
    // The first piece, then the damaged one as it is: nothing after it.
    EXPECT_EQ(output.bytes, bytes.substr(0, 1000000) + second);
    EXPECT_EQ(folder.Snapshot(), set);
}

}  // namespace
}  // namespace morcelix::cli
