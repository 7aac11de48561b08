#include "pieces/checked_copy.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "pieces/failure.h"

namespace morcelix {

// The buffers, the lanes and the helper threads. A buffer is free, or leased
// to the copy (read into, written from), or handed to the lanes; it comes back
// once every lane has inspected it, or skipped it after a failure.
//
// A lane's blocks go through its inspector one at a time, in order, but on any
// thread: the helpers, and the copy's own thread while it waits for a buffer
// or for the lanes to finish. Whoever is free takes the next block of the lane
// furthest behind that no one is at. With one thread a lane, a lane ahead of
// the others would sit idle while the one behind held every buffer, and a core
// with it.
class InspectedCopier::Lanes {
  public:
    // Enough for the copy to run ahead of a lane kept off the processor a
    // moment: 8 MiB on POSIX.
    static constexpr std::size_t kBuffers = 8;

    // One helper fewer than the processor's cores (the copy's thread is
    // the other), at least one, and no more than the lanes.
    explicit Lanes(std::size_t lanes) : lanes_(lanes) {
        const std::size_t cores = std::max(std::thread::hardware_concurrency(), 2U);
        try {
            for (std::size_t helper = 0; helper < std::min(lanes, cores - 1); ++helper) {
                helpers_.emplace_back([this] { Help(); });
            }
        } catch (...) {
            End();
            throw;
        }
    }
    ~Lanes() {
        Drain();
        End();
    }
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    // A buffer for one block, given back when the lease ends unless it was
    // handed to the lanes.
    class Lease {
      public:
        explicit Lease(Lanes& lanes) : lanes_(lanes), data_(lanes.Take()) {}
        ~Lease() {
            if (data_ != nullptr) {
                lanes_.GiveBack(data_);
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        char* Data() const { return data_; }
        void HandOver(std::int32_t size, const Inspectors& inspectors) {
            lanes_.Inspect(data_, size, inspectors);
            data_ = nullptr;
        }

      private:
        Lanes& lanes_;
        char* data_;
    };

    // Returns once every buffer is free: no lane holds one or uses an
    // inspector. With the first inspection's failure, if one failed.
    std::exception_ptr Drain() {
        std::unique_lock lock(mutex_);
        WorkUntil(lock, [this] { return free_.size() == buffers_.size(); });
        return failure_;
    }

  private:
    struct Buffer {
        std::unique_ptr<char[]> data;
        std::size_t lanesLeft = 0;
    };
    struct Block {
        char* data;
        std::int32_t size;
        std::shared_ptr<const BlockInspector> inspect;
    };
    struct Lane {
        std::deque<Block> waiting;
        bool taken = false;  // a thread is inspecting one of its blocks
    };

    // A free buffer, or a new one while there are fewer than kBuffers. Raises
    // the first inspection's failure.
    char* Take() {
        std::unique_lock lock(mutex_);
        if (free_.empty() && buffers_.size() < kBuffers && !failure_) {
            buffers_.push_back({std::make_unique_for_overwrite<char[]>(kInspectedCopyBlock)});
            return buffers_.back().data.get();
        }
        // The lanes give every buffer back, a failure or not: this wait ends.
        WorkUntil(lock, [this] { return !free_.empty(); });
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        char* buffer = free_.front();
        free_.pop_front();
        return buffer;
    }

    void GiveBack(char* buffer) {
        {
            const std::lock_guard lock(mutex_);
            free_.push_back(buffer);
        }
        changed_.notify_all();
    }

    void Inspect(char* buffer, std::int32_t size, const Inspectors& inspectors) {
        {
            const std::lock_guard lock(mutex_);
            Owned(buffer).lanesLeft = lanes_.size();
            for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
                lanes_[lane].waiting.push_back(
                    {buffer, size, lane < inspectors.size() ? inspectors[lane] : nullptr});
            }
        }
        changed_.notify_all();
    }

    Buffer& Owned(char* data) {
        return *std::find_if(buffers_.begin(), buffers_.end(),
                             [data](const Buffer& buffer) { return buffer.data.get() == data; });
    }

    // Inspects blocks until `done` holds, waiting when there are none to take.
    template <typename Done>
    void WorkUntil(std::unique_lock<std::mutex>& lock, Done done) {
        while (!done()) {
            if (!InspectNext(lock)) {
                changed_.wait(lock);
            }
        }
    }

    void Help() {
        std::unique_lock lock(mutex_);
        WorkUntil(lock, [this] { return ended_; });
    }

    // Inspects the next block of the lane furthest behind that no thread is
    // at, unlocked meanwhile; false when there is none.
    bool InspectNext(std::unique_lock<std::mutex>& lock) {
        Lane* next = nullptr;
        for (Lane& lane : lanes_) {
            if (!lane.taken && !lane.waiting.empty() &&
                (next == nullptr || lane.waiting.size() > next->waiting.size())) {
                next = &lane;
            }
        }
        if (next == nullptr) {
            return false;
        }
        Block block = std::move(next->waiting.front());
        next->waiting.pop_front();
        next->taken = true;
        // After a failure, the blocks only come back.
        const bool inspect = !failure_;
        lock.unlock();
        std::exception_ptr failure;
        if (inspect) {
            try {
                if (block.inspect) {
                    (*block.inspect)(block.data, block.size);
                }
            } catch (...) {
                failure = std::current_exception();
            }
        }
        block.inspect.reset();
        lock.lock();
        next->taken = false;
        if (failure && !failure_) {
            failure_ = failure;
        }
        if (--Owned(block.data).lanesLeft == 0) {
            free_.push_back(block.data);
        }
        // A buffer may have come back, or the lane's next block be free to take.
        changed_.notify_all();
        return true;
    }

    void End() {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        for (std::thread& helper : helpers_) {
            helper.join();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;  // a block handed over or inspected, a buffer back
    std::vector<Buffer> buffers_;
    std::deque<char*> free_;
    std::vector<Lane> lanes_;
    std::exception_ptr failure_;  // the first inspection's failure
    bool ended_ = false;
    std::vector<std::thread> helpers_;
};

InspectedCopier::InspectedCopier(std::size_t lanes) : lanes_(std::make_unique<Lanes>(lanes)) {}

InspectedCopier::~InspectedCopier() = default;

void InspectedCopier::Copy(TStream& target, TStream& source, std::int64_t count,
                           const Inspectors& inspectors, const BlockObserver& afterBlock) {
    Move(&target, source, count, inspectors, afterBlock);
}

void InspectedCopier::Read(TStream& source, std::int64_t count, const Inspectors& inspectors,
                           const BlockObserver& afterBlock) {
    Move(nullptr, source, count, inspectors, afterBlock);
}

void InspectedCopier::Move(TStream* target, TStream& source, std::int64_t count,
                           const Inspectors& inspectors, const BlockObserver& afterBlock) {
    try {
        for (std::int64_t left = count; left > 0;) {
            const auto block =
                static_cast<std::int32_t>(std::min<std::int64_t>(left, kInspectedCopyBlock));
            {
                Lanes::Lease buffer(*lanes_);
                source.ReadBuffer(buffer.Data(), block);
                if (target != nullptr) {
                    target->WriteBuffer(buffer.Data(), block);
                }
                buffer.HandOver(block, inspectors);
            }
            left -= block;
            if (afterBlock) {
                afterBlock(left);
            }
        }
    } catch (...) {
        lanes_->Drain();
        throw;
    }
}

void InspectedCopier::Wait() {
    if (const std::exception_ptr failure = lanes_->Drain()) {
        std::rethrow_exception(failure);
    }
}

CheckedCopier::CheckedCopier(std::size_t lanes) {
    if (lanes > 0) {
        lanes_.emplace(lanes);
    }
}

CopyOutcome CheckedCopier::Copy(TStream& target, THandleStream& source, const FileFacts& facts,
                                std::int64_t count, const InspectedCopier::Inspectors& inspectors,
                                const BlockObserver& afterBlock) {
    // The copies raise a short read or a full disk as any other failure; here
    // the two are told for what they are, in one place, for all.
    try {
        if (lanes_) {
            lanes_->Copy(target, source, count, inspectors, afterBlock);
        } else if (count > 0) {
            target.CopyFrom(source, count, afterBlock);
        }
    } catch (const EReadError&) {
        if (source.Facts() != facts) {
            return CopyOutcome::SourceChanged;
        }
        throw;
    } catch (const ENoRoomToWrite&) {
        return CopyOutcome::TargetFull;
    }
    if (source.Facts() != facts) {
        Wait();  // the lanes may still be at its last blocks
        return CopyOutcome::SourceChanged;
    }
    return CopyOutcome::Copied;
}

void CheckedCopier::Wait() {
    if (lanes_) {
        lanes_->Wait();
    }
}

}  // namespace morcelix
