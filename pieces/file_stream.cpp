#include "pieces/file_stream.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pieces/failure.h"
#include "pieces/file_stream_backend.h"

namespace morcelix {

namespace {

bool folderScansFail = false;

// The folder as a message names it: without its final separator, "." for the
// current folder.
std::string FolderName(std::string folder) {
    if (folder.empty()) {
        return ".";
    }
    if (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\') &&
        folder[folder.size() - 2] != ':') {
        folder.pop_back();
    }
    return folder;
}

}  // namespace

std::int64_t TStream::Size() {
    const std::int64_t position = Position();
    const std::int64_t size = Seek(0, SeekOrigin::End);
    SetPosition(position);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int32_t count) {
    if (count != 0 && Read(buffer, count) != count) {
        throw EReadError();
    }
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
    if (count != 0 && Write(buffer, count) != count) {
        throw EWriteError();
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count,
                               const BlockObserver& afterBlock) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    if (count > 0) {
        CopyBlocks(source, count, afterBlock);
    }
    return count;
}

void TStream::CopyBlocks(TStream& source, std::int64_t count, const BlockObserver& afterBlock) {
    CopyThroughBuffer(source, count, afterBlock);
}

// The inspectors' threads, one a lane: the copy hands each block to every
// lane once written and goes on with another buffer; a buffer comes back once
// every lane has inspected it.
class InspectedCopier::Lanes {
  public:
    static constexpr std::size_t kBuffers = 4;

    explicit Lanes(std::size_t lanes) : waiting_(lanes) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            threads_.emplace_back([this, lane] { Run(lane); });
        }
    }
    ~Lanes() {
        Drain();
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    Lanes(const Lanes&) = delete;
    Lanes& operator=(const Lanes&) = delete;

    std::size_t Count() const { return threads_.size(); }

    // A buffer to read the next block into: a free one, or a new one while
    // there are fewer than kBuffers. Raises what an inspection raised.
    char* TakeBuffer() {
        std::unique_lock lock(mutex_);
        RethrowFailure();
        if (free_.empty() && buffers_.size() < kBuffers) {
            buffers_.push_back({std::make_unique_for_overwrite<char[]>(kInspectedCopyBlock), 0});
            return buffers_.back().data.get();
        }
        changed_.wait(lock, [this] { return !free_.empty() || failure_; });
        RethrowFailure();
        char* buffer = free_.front();
        free_.pop_front();
        return buffer;
    }
    void Inspect(char* buffer, std::int32_t size, const Inspectors& inspectors) {
        {
            const std::lock_guard lock(mutex_);
            Owned(buffer).lanesLeft = threads_.size();
            for (std::size_t lane = 0; lane < threads_.size(); ++lane) {
                waiting_[lane].push_back({buffer, size, inspectors[lane]});
            }
        }
        changed_.notify_all();
    }
    // Returns once every block handed over is inspected, or one failed: with
    // what an inspection raised.
    std::exception_ptr Drain() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return free_.size() == buffers_.size() || failure_; });
        return failure_;
    }

  private:
    struct Buffer {
        std::unique_ptr<char[]> data;
        std::size_t lanesLeft;
    };
    struct Block {
        char* data;
        std::int32_t size;
        std::shared_ptr<const BlockInspector> inspect;
    };

    Buffer& Owned(char* data) {
        return *std::find_if(buffers_.begin(), buffers_.end(),
                             [data](const Buffer& buffer) { return buffer.data.get() == data; });
    }

    void Run(std::size_t lane) {
        std::deque<Block>& waiting = waiting_[lane];
        for (;;) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !waiting.empty() || ended_; });
            if (waiting.empty()) {
                return;
            }
            Block block = std::move(waiting.front());
            waiting.pop_front();
            std::exception_ptr failure = failure_;
            lock.unlock();
            if (!failure) {  // after a failure, the blocks only come back
                try {
                    (*block.inspect)(block.data, block.size);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            block.inspect.reset();
            lock.lock();
            failure_ = failure;
            if (--Owned(block.data).lanesLeft == 0) {
                free_.push_back(block.data);
            }
            changed_.notify_all();
        }
    }

    void RethrowFailure() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Buffer> buffers_;
    std::deque<char*> free_;
    std::vector<std::deque<Block>> waiting_;  // one queue a lane
    std::exception_ptr failure_;
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
            char* buffer = lanes_->TakeBuffer();
            source.ReadBuffer(buffer, block);
            target.WriteBuffer(buffer, block);
            lanes_->Inspect(buffer, block, inspectors);
            left -= block;
            if (afterBlock) {
                afterBlock();
            }
        }
    } catch (...) {
        // What the inspectors use may go with the failure: nothing may wait for it.
        lanes_->Drain();
        throw;
    }
}

void InspectedCopier::Wait() {
    if (const std::exception_ptr failure = lanes_->Drain()) {
        std::rethrow_exception(failure);
    }
}

void TStream::CopyThroughBuffer(TStream& source, std::int64_t count,
                                const BlockObserver& afterBlock) {
    const auto bufferSize =
        static_cast<std::int32_t>(std::min<std::int64_t>(count, kCopyBufferSize));
    const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    while (count != 0) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(count, bufferSize));
        source.ReadBuffer(buffer.get(), block);
        WriteBuffer(buffer.get(), block);
        count -= block;
        if (afterBlock) {
            afterBlock();
        }
    }
}

TFileStream::TFileStream(const std::string& fileName, OpenMode mode)
    : TFileStream(fileName, mode, Open(fileName, mode)) {}

TFileStream::TFileStream(const std::string& fileName, OpenMode mode, Opened opened)
    : THandleStream(opened.handle), created_(opened.created) {
    if (Handle() == kInvalidHandle) {
        if (mode == OpenMode::Read) {
            throw EFOpenError(fileName);
        }
        throw EFCreateError(fileName);
    }
}

bool FileExists(const std::string& fileName) {
    return RegularFileFacts(fileName).has_value();
}

std::int64_t FileSize(const std::string& fileName) {
    const auto facts = RegularFileFacts(fileName);
    return facts ? facts->size : -1;
}

void ForEachEntryBeside(const std::string& path,
                        const std::function<void(const std::string&)>& visit) {
    const std::string folder = FolderPart(path);
    if (folderScansFail || !ReadFolder(folder, visit)) {
        throw EFolderReadError(FolderName(folder));
    }
}

void SetFolderScansFailForTesting(bool fail) {
    folderScansFail = fail;
}

}  // namespace morcelix
