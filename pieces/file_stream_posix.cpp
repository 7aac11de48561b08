// POSIX backend of the file layer. Windows' share modes are emulated with open
// file description locks: a file opened for reading holds a shared lock, a
// created one an exclusive lock, and a conflicting lock fails the open. The
// locks are advisory: they keep this program's instances out of each other's
// way, not other programs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "pieces/failure.h"
#include "pieces/file_stream.h"

namespace morcelix {

namespace {

int Fd(NativeHandle handle) {
    return static_cast<int>(handle);
}

// Locks the whole file without waiting.
bool LockWholeFile(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool IsFolder(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

// Truncates the file to 0 bytes unless it is already empty. A file system may
// treat any truncation as a rewrite in place and force the new content to disk
// when the file is closed (ext4 does): a freshly created piece is left alone.
bool Empty(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return false;
    }
    return status.st_size == 0 || ftruncate(fd, 0) == 0;
}

NativeHandle OpenForReading(const std::string& fileName) {
    const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return kInvalidHandle;
    }
    // Windows refuses to open a folder as a file; so does this layer.
    if (IsFolder(fd) || !LockWholeFile(fd, F_RDLCK)) {
        close(fd);
        return kInvalidHandle;
    }
    return fd;
}

NativeHandle CreateAlways(const std::string& fileName) {
    // Truncation waits until the lock is held, so that a file another stream
    // holds open is left untouched when the create fails.
    const int fd = open(fileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return kInvalidHandle;
    }
    if (!LockWholeFile(fd, F_WRLCK) || !Empty(fd)) {
        close(fd);
        return kInvalidHandle;
    }
    return fd;
}

// The kernel moves data between files without a trip through user space; the
// block observer still runs between chunks of this size.
constexpr std::int64_t kKernelCopyChunk = 8 << 20;

}  // namespace

THandleStream::~THandleStream() {
    if (handle_ != kInvalidHandle) {
        close(Fd(handle_));
    }
}

std::int32_t THandleStream::Read(void* buffer, std::int32_t count) {
    ssize_t done;
    do {
        done = read(Fd(handle_), buffer, static_cast<size_t>(count));
    } while (done < 0 && errno == EINTR);
    return done < 0 ? 0 : static_cast<std::int32_t>(done);
}

std::int32_t THandleStream::Write(const void* buffer, std::int32_t count) {
    ssize_t done;
    do {
        done = write(Fd(handle_), buffer, static_cast<size_t>(count));
    } while (done < 0 && errno == EINTR);
    return done < 0 ? 0 : static_cast<std::int32_t>(done);
}

std::int64_t THandleStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Beginning ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    return lseek(Fd(handle_), offset, whence);
}

void THandleStream::CopyBlocks(TStream& source, std::int64_t count,
                               const BlockObserver& afterBlock) {
    if (const auto* from = dynamic_cast<THandleStream*>(&source)) {
        while (count > 0) {
            const ssize_t done =
                copy_file_range(Fd(from->Handle()), nullptr, Fd(handle_), nullptr,
                                static_cast<size_t>(std::min(count, kKernelCopyChunk)), 0);
            if (done <= 0) {
                // Unsupported here, or a real failure (short source, full disk):
                // the buffered loop finishes the copy or raises the precise failure.
                break;
            }
            count -= done;
            if (afterBlock) {
                afterBlock();
            }
        }
    }
    if (count > 0) {
        CopyThroughBuffer(source, count, afterBlock);
    }
}

TFileStream::TFileStream(const std::string& fileName, OpenMode mode)
    : THandleStream(mode == OpenMode::Create ? CreateAlways(fileName) : OpenForReading(fileName)) {
    if (Handle() == kInvalidHandle) {
        if (mode == OpenMode::Create) {
            throw EFCreateError(fileName);
        }
        throw EFOpenError(fileName);
    }
}

bool FileExists(const std::string& fileName) {
    struct stat status {};
    return stat(fileName.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

std::int64_t FileSize(const std::string& fileName) {
    struct stat status {};
    if (stat(fileName.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) {
        return -1;
    }
    return status.st_size;
}

bool RemoveFile(const std::string& fileName) {
    return unlink(fileName.c_str()) == 0;
}

bool AnyEntryBeside(const std::string& path,
                    const std::function<bool(const std::string&)>& matches) {
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.empty() ? "." : folder.c_str()),
                                                  closedir);
    if (dir) {
        while (const dirent* entry = readdir(dir.get())) {
            if (matches(folder + entry->d_name)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace morcelix
