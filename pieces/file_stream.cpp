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

namespace {

// The inspector of a copy, on a thread of its own: the copy hands it each
// block once written and goes on with another buffer, so that inspecting (a
// hash, twice as slow as the copy) and copying share the processor's cores.
// The blocks reach the inspector in order; a buffer comes back to the copy
// once inspected.
class InspectingThread {
  public:
    static constexpr int kBuffers = 4;

    InspectingThread(const BlockInspector& inspect, std::int32_t bufferSize) : inspect_(inspect) {
        for (int i = 0; i < kBuffers; ++i) {
            buffers_.push_back(std::make_unique_for_overwrite<char[]>(bufferSize));
            free_.push_back(buffers_.back().get());
        }
        thread_ = std::thread([this] { Run(); });
    }
    // Ends the thread, whether the copy ended or failed.
    ~InspectingThread() {
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    InspectingThread(const InspectingThread&) = delete;
    InspectingThread& operator=(const InspectingThread&) = delete;

    // A buffer to read the next block into, once one is free. Raises what the
    // inspector raised.
    char* TakeBuffer() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty() || failure_; });
        RethrowFailure();
        char* buffer = free_.front();
        free_.pop_front();
        return buffer;
    }
    void Inspect(char* buffer, std::int32_t size) {
        {
            const std::lock_guard lock(mutex_);
            waiting_.push_back({buffer, size});
        }
        changed_.notify_all();
    }
    // Returns once every block handed is inspected. Raises what the inspector raised.
    void Finish() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] {
            return free_.size() == static_cast<std::size_t>(kBuffers) || failure_;
        });
        RethrowFailure();
    }

  private:
    struct Block {
        char* data;
        std::int32_t size;
    };

    void Run() {
        for (;;) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !waiting_.empty() || ended_; });
            if (waiting_.empty() || failure_) {
                return;
            }
            const Block block = waiting_.front();
            waiting_.pop_front();
            lock.unlock();
            std::exception_ptr failure;
            try {
                inspect_(block.data, block.size);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            failure_ = failure;
            free_.push_back(block.data);
            changed_.notify_all();
        }
    }

    void RethrowFailure() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    const BlockInspector& inspect_;
    std::vector<std::unique_ptr<char[]>> buffers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<char*> free_;
    std::deque<Block> waiting_;
    std::exception_ptr failure_;
    bool ended_ = false;
    std::thread thread_;
};

}  // namespace

std::int64_t TStream::CopyInspected(TStream& source, std::int64_t count,
                                    const BlockInspector& inspect,
                                    const BlockObserver& afterBlock) {
    if (count <= 0) {
        return count;
    }
    const auto bufferSize =
        static_cast<std::int32_t>(std::min<std::int64_t>(count, kInspectedCopyBlock));
    InspectingThread inspector(inspect, bufferSize);
    for (std::int64_t left = count; left > 0;) {
        const auto block = static_cast<std::int32_t>(std::min<std::int64_t>(left, bufferSize));
        char* buffer = inspector.TakeBuffer();
        source.ReadBuffer(buffer, block);
        WriteBuffer(buffer, block);
        inspector.Inspect(buffer, block);
        left -= block;
        if (afterBlock) {
            afterBlock();
        }
    }
    inspector.Finish();
    return count;
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
