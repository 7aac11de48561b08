#include "pieces/checked_copy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pieces/failure.h"
#include "pieces/manifest.h"
#include "tests/support/bounded.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using namespace std::chrono_literals;

// Streams in memory whose reads or writes fail from a given call on, as a
// shrinking source or a full disk does.
class TestStream : public TStream {
  public:
    static constexpr int kNever = -1;

    explicit TestStream(std::string bytes = {}, int failingRead = kNever, int failingWrite = kNever)
        : bytes(std::move(bytes)), failingRead_(failingRead), failingWrite_(failingWrite) {}

    std::int32_t Read(void* buffer, std::int32_t count) override {
        if (reads_++ == failingRead_) {
            return 0;
        }
        const auto moved = static_cast<std::int32_t>(
            std::min<std::int64_t>(count, static_cast<std::int64_t>(bytes.size()) - position_));
        bytes.copy(static_cast<char*>(buffer), static_cast<std::size_t>(moved),
                   static_cast<std::size_t>(position_));
        position_ += moved;
        return moved;
    }
    std::int32_t Write(const void* buffer, std::int32_t count) override {
        if (writes_++ == failingWrite_) {
            return count / 2;
        }
        bytes.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        return count;
    }
    std::int64_t Seek(std::int64_t, SeekOrigin) override { return position_; }

    std::string bytes;

  private:
    int failingRead_, failingWrite_;
    int reads_ = 0, writes_ = 0;
    std::int64_t position_ = 0;
};

// A copy that never returns fails the test program instead of hanging the run.
template <typename Action>
void WithinTenSeconds(Action action) {
    testing::WithinTime(10s, "the copy", action);
}

// An inspector that takes its time, so that the lanes still hold blocks when
// the copy fails, and that records what it sees.
struct SlowInspector {
    std::string seen;
    std::atomic<int> running{0};
    std::atomic<bool> copyEnded{false};
    std::atomic<bool> ranAfterTheCopyEnded{false};

    std::shared_ptr<const BlockInspector> Make() {
        return std::make_shared<const BlockInspector>([this](const char* data, std::int32_t size) {
            ++running;
            if (copyEnded) {
                ranAfterTheCopyEnded = true;
            }
            std::this_thread::sleep_for(2ms);
            seen.append(data, static_cast<std::size_t>(size));
            --running;
        });
    }
};

constexpr std::int64_t kBlocks = 5;
const std::int64_t kSize = kBlocks * std::int64_t{kInspectedCopyBlock} + 123;

TEST(InspectedCopier, EveryLaneSeesEveryBlockInOrderOnceItIsWritten) {
    const std::string content = testing::PatternBytes(kSize);
    TestStream source(content);
    TestStream target;
    SlowInspector first, second;
    int blocks = 0;
    InspectedCopier copier(2);
    copier.Copy(target, source, kSize, {first.Make(), second.Make()},
                [&](std::int64_t) { ++blocks; });
    copier.Wait();
    EXPECT_EQ(target.bytes, content);
    EXPECT_EQ(first.seen, content);
    EXPECT_EQ(second.seen, content);
    EXPECT_EQ(blocks, kBlocks + 1);
}

TEST(InspectedCopier, AFailingReadOrWriteIsRaisedOnceTheLanesAreDoneAtAnyBlock) {
    const std::string content = testing::PatternBytes(kSize);
    for (const int failing : {0, 2, static_cast<int>(kBlocks)}) {
        for (const bool reading : {true, false}) {
            SCOPED_TRACE(::testing::Message()
                         << (reading ? "read" : "write") << " of block " << failing);
            TestStream source(content, reading ? failing : TestStream::kNever);
            TestStream target({}, TestStream::kNever, reading ? TestStream::kNever : failing);
            SlowInspector first, second;
            InspectedCopier copier(2);
            WithinTenSeconds([&] {
                try {
                    copier.Copy(target, source, kSize, {first.Make(), second.Make()});
                    ADD_FAILURE() << "no failure";
                } catch (const EReadError&) {
                    EXPECT_TRUE(reading);
                } catch (const EWriteError&) {
                    EXPECT_FALSE(reading);
                }
                EXPECT_EQ(first.running + second.running, 0) << "a lane still inspects";
                first.copyEnded = second.copyEnded = true;
                copier.Wait();
            });
            // Each lane saw exactly the blocks written whole before the failure.
            const auto whole = static_cast<std::size_t>(failing) * kInspectedCopyBlock;
            EXPECT_EQ(first.seen, content.substr(0, whole));
            EXPECT_EQ(second.seen, first.seen);
            EXPECT_FALSE(first.ranAfterTheCopyEnded || second.ranAfterTheCopyEnded);
        }
    }
}

TEST(InspectedCopier, ServesTheNextCopyAfterAFailingOne) {
    // A join that fills the disk frees room and copies the piece again with
    // the same copier: every buffer must have come back.
    const std::string content = testing::PatternBytes(kSize);
    InspectedCopier copier(2);
    for (int round = 0; round < 3; ++round) {
        TestStream source(content);
        TestStream full({}, TestStream::kNever, 1);
        SlowInspector ignored;
        WithinTenSeconds([&] {
            EXPECT_THROW(copier.Copy(full, source, kSize, {ignored.Make(), ignored.Make()}),
                         EWriteError);
        });
    }
    TestStream source(content);
    TestStream target;
    SlowInspector first, second;
    WithinTenSeconds([&] {
        copier.Copy(target, source, kSize, {first.Make(), second.Make()});
        copier.Wait();
    });
    EXPECT_EQ(first.seen, content);
    EXPECT_EQ(second.seen, content);
}

TEST(InspectedCopier, AFailingInspectionIsKeptWhateverTheOtherLanesDoAndStopsTheCopy) {
    struct Refused {};
    // Fewer blocks than buffers: the failure reaches Wait, not a copy waiting for a buffer.
    const std::int64_t size = 2 * std::int64_t{kInspectedCopyBlock} + 5;
    TestStream source(testing::PatternBytes(size));
    TestStream target;
    std::atomic<bool> refused{false};
    std::atomic<bool> otherRunning{false};
    std::atomic<int> shownAfterwards{0};
    // The first lane refuses its second block while the other lane inspects
    // the same block, which then ends well.
    const auto refusing = std::make_shared<const BlockInspector>(
        [&, blocks = std::make_shared<int>(0)](const char*, std::int32_t) {
            if (refused) {
                ++shownAfterwards;
            }
            if (++*blocks == 2) {
                while (!otherRunning) {
                    std::this_thread::sleep_for(1ms);
                }
                refused = true;
                throw Refused();
            }
        });
    const auto slowOnTheSameBlock = std::make_shared<const BlockInspector>(
        [&, blocks = std::make_shared<int>(0)](const char*, std::int32_t) {
            if (++*blocks == 2) {
                otherRunning = true;
                while (!refused) {
                    std::this_thread::sleep_for(1ms);
                }
                std::this_thread::sleep_for(20ms);
                otherRunning = false;
            }
        });
    InspectedCopier copier(2);
    WithinTenSeconds([&] {
        try {
            copier.Copy(target, source, size, {refusing, slowOnTheSameBlock});
            copier.Wait();
            ADD_FAILURE() << "the failure was lost";
        } catch (const Refused&) {
            EXPECT_FALSE(otherRunning) << "raised while a lane still inspects";
        }
        // Raised again, never replaced or forgotten.
        EXPECT_THROW(copier.Wait(), Refused);
    });
    EXPECT_EQ(shownAfterwards, 0) << "a block was inspected after a failing one";
}

TEST(HashNext, SeveralDigestsSideBySideEachGetTheBytesAndAShortStreamRaises) {
    const std::string content =
        testing::PatternBytes((kLanesFrom + 2) * std::int64_t{kInspectedCopyBlock} + 7);
    const auto alone = [&](DigestKind kind) {
        Digest digest(kind);
        digest.Update(content.data(), content.size());
        return digest.HexDigest();
    };
    Digest sha256(DigestKind::Sha256), md5(DigestKind::Md5);
    TestStream source(content);
    int blocks = 0;
    WithinTenSeconds([&] {
        HashNext(source, static_cast<std::int64_t>(content.size()), {&sha256, &md5},
                 [&](std::int64_t) { ++blocks; });
    });
    EXPECT_EQ(sha256.HexDigest(), alone(DigestKind::Sha256));
    EXPECT_EQ(md5.HexDigest(), alone(DigestKind::Md5));
    EXPECT_EQ(blocks, kLanesFrom + 3);

    TestStream shrunk(content, 3);
    Digest first(DigestKind::Sha256), second(DigestKind::Sha256);
    WithinTenSeconds([&] {
        EXPECT_THROW(HashNext(shrunk, static_cast<std::int64_t>(content.size()), {&first, &second}),
                     EReadError);
    });
}

}  // namespace
}  // namespace morcelix
