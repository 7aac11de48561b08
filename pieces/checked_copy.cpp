#include "pieces/checked_copy.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "pieces/failure.h"

namespace morcelix {

// The buffers and the inspectors' threads, one a lane. A buffer is free, or
// leased to the copy (read into, written from), or handed to the lanes; it
// comes back once every lane has inspected it, or skipped it after a failure.
class InspectedCopier::Lanes {
  public:
    // Enough for the copy to run ahead of a lane kept off the processor a
    // moment: 8 MiB on POSIX.
    static constexpr std::size_t kBuffers = 8;

    explicit Lanes(std::size_t lanes) : waiting_(lanes), work_(lanes) {
        try {
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                threads_.emplace_back([this, lane] { Run(lane); });
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
        freed_.wait(lock, [this] { return free_.size() == buffers_.size(); });
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

    // A free buffer, or a new one while there are fewer than kBuffers. Raises
    // the first inspection's failure.
    char* Take() {
        std::unique_lock lock(mutex_);
        if (free_.empty() && buffers_.size() < kBuffers && !failure_) {
            buffers_.push_back({std::make_unique_for_overwrite<char[]>(kInspectedCopyBlock)});
            return buffers_.back().data.get();
        }
        // The lanes give every buffer back, a failure or not: this wait ends.
        freed_.wait(lock, [this] { return !free_.empty(); });
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
        freed_.notify_all();
    }

    void Inspect(char* buffer, std::int32_t size, const Inspectors& inspectors) {
        {
            const std::lock_guard lock(mutex_);
            Owned(buffer).lanesLeft = threads_.size();
            for (std::size_t lane = 0; lane < threads_.size(); ++lane) {
                waiting_[lane].push_back({buffer, size, inspectors[lane]});
            }
        }
        for (std::condition_variable& work : work_) {
            work.notify_one();
        }
    }

    Buffer& Owned(char* data) {
        return *std::find_if(buffers_.begin(), buffers_.end(),
                             [data](const Buffer& buffer) { return buffer.data.get() == data; });
    }

    void Run(std::size_t lane) {
        std::deque<Block>& waiting = waiting_[lane];
        std::unique_lock lock(mutex_);
        for (;;) {
            work_[lane].wait(lock, [&] { return !waiting.empty() || ended_; });
            if (waiting.empty()) {
                return;
            }
            Block block = std::move(waiting.front());
            waiting.pop_front();
            // After a failure, the blocks only come back.
            const bool inspect = !failure_;
            lock.unlock();
            std::exception_ptr failure;
            if (inspect) {
                try {
                    (*block.inspect)(block.data, block.size);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            block.inspect.reset();
            lock.lock();
            if (failure && !failure_) {
                failure_ = failure;
            }
            if (--Owned(block.data).lanesLeft == 0) {
                free_.push_back(block.data);
                freed_.notify_all();
            }
        }
    }

    void End() {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        for (std::condition_variable& work : work_) {
            work.notify_one();
        }
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    std::mutex mutex_;
    std::condition_variable freed_;  // a buffer came back
    std::vector<Buffer> buffers_;
    std::deque<char*> free_;
    std::vector<std::deque<Block>> waiting_;  // one queue a lane
    std::vector<std::condition_variable> work_;  // and what wakes it
    std::exception_ptr failure_;              // the first inspection's failure
    bool ended_ = false;
    std::vector<std::thread> threads_;
};

InspectedCopier::InspectedCopier(std::size_t lanes) : lanes_(std::make_unique<Lanes>(lanes)) {}

InspectedCopier::~InspectedCopier() = default;

void InspectedCopier::Copy(TStream& target, TStream& source, std::int64_t count,
                           const Inspectors& inspectors, const BlockObserver& afterBlock) {
    try {
        for (std::int64_t left = count; left > 0;) {
            const auto block =
                static_cast<std::int32_t>(std::min<std::int64_t>(left, kInspectedCopyBlock));
            {
                Lanes::Lease buffer(*lanes_);
                source.ReadBuffer(buffer.Data(), block);
                target.WriteBuffer(buffer.Data(), block);
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
