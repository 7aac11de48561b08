// A file that can not be deleted for as long as this object says so, as when
// another program holds it: on Windows a handle open without delete sharing
// (a virus scanner, the search indexer); on Linux the immutable attribute,
// which stops even root.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "pieces/utf16.h"
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace morcelix::testing {

class UndeletableFile {
  public:
    explicit UndeletableFile(const std::string& path) : path_(path) { held_ = Hold(true); }
    ~UndeletableFile() {
        if (releaser_.joinable()) {
            releaser_.join();
        }
        Release();
    }
    UndeletableFile(const UndeletableFile&) = delete;
    UndeletableFile& operator=(const UndeletableFile&) = delete;

    // False where the platform would not make it so (the attribute is not
    // supported): the test can not be run there.
    bool Held() const { return held_; }
    void Release() {
        if (held_) {
            Hold(false);
            held_ = false;
        }
    }
    // Releases it `after` from now, on a thread of its own.
    void ReleaseAfter(std::chrono::milliseconds after) {
        releaser_ = std::thread([this, after] {
            std::this_thread::sleep_for(after);
            Release();
        });
    }

  private:
#ifdef _WIN32
    bool Hold(bool hold) {
        if (!hold) {
            CloseHandle(handle_);
            return false;
        }
        handle_ =
            CreateFileW(Widen(path_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    bool Hold(bool hold) {
        const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = hold ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) {
            close(fd);
        }
        return done;
    }
#endif

    std::string path_;
    bool held_ = false;
    std::thread releaser_;
};

}  // namespace morcelix::testing
