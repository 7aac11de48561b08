// The recovery data against the reference PAR2 tool (Debian's par2), both
// ways: it verifies and repairs from the files this program writes, and this
// program rebuilds from the files it writes over the same pieces. Skipped
// where the tool is not installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/par2_create.h"
#include "pieces/par2_repair.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using namespace par2;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

// The reference tool's path on the search path; "" when it is not there.
std::string ReferenceTool() {
#ifdef _WIN32
    return "";  // a Linux program: not run from the Windows build's tests
#else
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (std::size_t from = 0; from <= folders.size();) {
        std::size_t end = folders.find(':', from);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string candidate = folders.substr(from, end - from) + "/par2";
        if (end > from && FileExists(candidate)) {
            return candidate;
        }
        from = end + 1;
    }
    return "";
#endif
}

class ReferenceToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tool = ReferenceTool();
        if (tool.empty()) {
            GTEST_SKIP() << "the reference tool par2 is not installed (apt-get install par2)";
        }
    }

    // Runs the tool, bounded in time; returns its exit status.
    int Run(const std::vector<std::string>& arguments) {
        testing::ProgramRun run = testing::ProgramProcess(tool, arguments, scratch.Path())
                                      .Wait(std::chrono::seconds(120));
        last = run.out + run.err;
        return run.status;
    }

    void MakeSet(std::size_t count, std::int64_t pieceSize, std::int64_t lastSize, unsigned seed) {
        pieces.clear();
        contents.clear();
        for (std::size_t n = 1; n <= count; ++n) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".%03zu", n);
            pieces.push_back(base + suffix);
            contents.push_back(PatternBytes(n == count ? lastSize : pieceSize, seed + unsigned(n)));
            WriteFileBytes(pieces.back(), contents.back());
        }
    }
    void ExpectSetWhole() {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            ASSERT_TRUE(FileExists(pieces[i])) << pieces[i];
            ASSERT_EQ(ReadFileBytes(pieces[i]), contents[i]) << pieces[i];
        }
    }
    // Deletes or damages `chosen` pieces, in turn.
    void Harm(const std::vector<std::size_t>& chosen) {
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const std::size_t piece = chosen[k];
            if (k % 2 == 0 || contents[piece].empty()) {
                ASSERT_TRUE(RemoveFile(pieces[piece]));
            } else {
                std::string bytes = contents[piece];
                bytes[bytes.size() / 3] ^= 0x40;
                WriteFileBytes(pieces[piece], bytes);
            }
        }
    }
    std::vector<std::size_t> RandomChoice(std::mt19937& random, std::size_t n, bool withLast) {
        std::vector<std::size_t> all(pieces.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        std::shuffle(all.begin(), all.end(), random);
        std::vector<std::size_t> chosen(all.begin(), all.begin() + n);
        if (withLast &&
            std::find(chosen.begin(), chosen.end(), pieces.size() - 1) == chosen.end()) {
            chosen.back() = pieces.size() - 1;
        }
        return chosen;
    }

    std::string tool;
    std::string last;
    TempFolder folder, scratch;
    // Blanks and letters beyond ASCII, as sets sent by mail have them.
    std::string base = folder / "mon film d'été.avi";
    std::string index = RecoveryIndexPath(base);
    std::vector<std::string> pieces, contents;
};

TEST_F(ReferenceToolTest, ItVerifiesEverySetWeWriteFromOneToAHundredPieces) {
    enum class Last { Short, Empty, Full };
    // Every count; the three kinds of last piece at the ends, one in turn
    // between them.
    for (std::size_t count = 1; count <= 100; ++count) {
        for (const Last kind : {Last::Short, Last::Empty, Last::Full}) {
            if (count > 3 && count < 100 && static_cast<std::size_t>(kind) != count % 3) {
                continue;
            }
            const std::int64_t pieceSize = 1003;
            const std::int64_t lastSize = kind == Last::Short   ? 517
                                          : kind == Last::Empty ? 0
                                                                : pieceSize;
            SCOPED_TRACE(std::to_string(count) + " pieces, the last of " +
                         std::to_string(lastSize));
            for (const std::string& file : folder.Names()) {
                RemoveFile(folder / file);
            }
            MakeSet(count, pieceSize, lastSize, static_cast<unsigned>(count));
            RecoveryOptions options;
            options.slices = static_cast<std::uint32_t>(std::min<std::size_t>(count, 3));
            CreateRecoveryFiles(pieces, index, options);
            EXPECT_EQ(Run({"verify", "-q", index}), 0) << last;
            if (HasFailure()) {
                return;
            }
        }
    }
}

TEST_F(ReferenceToolTest, ItRepairsAnyNPiecesLostOrDamagedFromOurFiles) {
    MakeSet(12, 4001, 1500, 5);
    RecoveryOptions options;
    options.slices = 4;
    CreateRecoveryFiles(pieces, index, options);
    std::mt19937 random(17);
    for (int round = 0; round < 4; ++round) {
        const std::vector<std::size_t> chosen = RandomChoice(random, 4, round % 2 == 0);
        Harm(chosen);
        EXPECT_EQ(Run({"repair", "-q", index}), 0) << last;
        ExpectSetWhole();
        // The tool keeps a damaged piece as NAME.1.
        for (const std::size_t piece : chosen) {
            RemoveFile(pieces[piece] + ".1");
        }
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(ReferenceToolTest, WeRebuildFromFilesItMadeOverTheSamePieces) {
    MakeSet(10, 3001, 999, 9);
    struct Case {
        std::int64_t sliceSize;
        int recovery;
        std::size_t lost;
    };
    // One slice a piece (the piece size rounded up to a multiple of 4), and
    // half-pieces, where a lost piece takes two recovery slices.
    for (const Case c : {Case{3004, 4, 4}, Case{1504, 6, 3}}) {
        SCOPED_TRACE("slices of " + std::to_string(c.sliceSize));
        for (const std::string& name : folder.Names()) {
            if (name.ends_with(".par2")) {
                RemoveFile(folder / name);
            }
        }
        std::vector<std::string> arguments{"create",
                                           "-q",
                                           "-B",
                                           folder.Path(),
                                           "-s" + std::to_string(c.sliceSize),
                                           "-c" + std::to_string(c.recovery),
                                           index};
        arguments.insert(arguments.end(), pieces.begin(), pieces.end());
        ASSERT_EQ(Run(arguments), 0) << last;
        std::mt19937 random(23);
        for (int round = 0; round < 4; ++round) {
            Harm(RandomChoice(random, c.lost, round % 2 == 1));
            const RepairSurvey survey = SurveyPieces(index);
            EXPECT_EQ(survey.PiecesToRebuild(), static_cast<std::int64_t>(c.lost));
            RebuildPieces(survey);
            ExpectSetWhole();
            if (HasFailure()) {
                return;
            }
        }
        // One piece more than the slices can rebuild: refused.
        Harm(RandomChoice(random, c.lost + 1, false));
        const RepairSurvey survey = SurveyPieces(index);
        EXPECT_THROW(RebuildPieces(survey), ENotEnoughRecovery);
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            WriteFileBytes(pieces[i], contents[i]);
        }
    }
}

}  // namespace
}  // namespace morcelix
