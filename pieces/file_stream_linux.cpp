// Linux backend of the file layer: beyond POSIX, it uses open file
// description locks (F_OFD_SETLK), unnamed files (O_TMPFILE, linked into place
// through /proc/self/fd), sync_file_range, copy_file_range and
// /proc/self/mountinfo. Windows' share modes are emulated with the locks: a
// file opened for reading holds a shared lock, a written one an exclusive
// lock, and a conflicting lock fails the open. The locks are advisory: they
// keep this program's instances out of each other's way, not other programs.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "pieces/checked_copy.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/file_stream_backend.h"

namespace morcelix {

namespace {

int Fd(NativeHandle handle) {
    return static_cast<int>(handle);
}

template <typename Call>
auto RetriedOnSignal(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Why a write, a resize or a flush failed with `error`.
WriteCause CauseOf(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return WriteCause::DiskFull;
        case EROFS:
        case EPERM:
        case EACCES:
            return WriteCause::ReadOnly;
        case EIO:
            return WriteCause::DiskError;
        case EFBIG:
            return WriteCause::TooLarge;
        default:
            return WriteCause::Unknown;
    }
}

// Locks the whole file without waiting. Only another holder's lock refuses: a
// file system that takes no locks (some network and FUSE ones) leaves the file
// unlocked rather than unusable.
bool LockWholeFile(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    return errno != EAGAIN && errno != EACCES;
}

FileFacts FactsOf(const struct stat& status) {
    FileFacts facts;
    facts.identity = {static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino)};
    facts.size = status.st_size;
    facts.modified =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    return facts;
}

// The facts of `fd` when it is a regular file.
std::optional<FileFacts> RegularFacts(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FactsOf(status);
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

// `fd` when it is a regular file and `lock` is granted, its facts in
// `facts`; otherwise closed, errno EAGAIN when another holds the lock.
int Kept(int fd, short lock, FileFacts& facts) {
    if (fd < 0) {
        return fd;
    }
    const std::optional<FileFacts> regular = RegularFacts(fd);
    if (!regular || !LockWholeFile(fd, lock)) {
        close(fd);
        errno = regular ? EAGAIN : EISDIR;
        return -1;
    }
    facts = *regular;
    return fd;
}

// Whether `fileName` still leads to the file `fd` holds. A writer that waited
// on another's lock may be granted it just after the other removed the name:
// what it would write then goes to a file nobody can reach.
bool StillNamed(int fd, const std::string& fileName) {
    struct stat held {
    }, named{};
    return fstat(fd, &held) == 0 && stat(fileName.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int OpenForReading(const std::string& fileName, FileFacts& facts) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer. Only a
    // regular file is kept, and reads of one never wait: the flag stays.
    return Kept(open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), F_RDLCK, facts);
}

// Opens `fileName` for writing with `open` (which tells whether it created the
// file), holding the exclusive lock, the name still leading to it.
template <typename OpenCall>
int OpenForWriting(const std::string& fileName, OpenCall open) {
    for (;;) {
        FileFacts facts;
        const int fd = Kept(open(), F_WRLCK, facts);
        if (fd < 0 || StillNamed(fd, fileName)) {
            return fd;
        }
        close(fd);
    }
}

// Creates `fileName` holding its exclusive lock from the start: the file is
// made unnamed, locked, then given its name, which fails (EEXIST) when the
// name exists. A file created by name first and locked next could be taken
// in between by another join, which would then find its work removed as
// "created by the refusing join". -1 when the file system has no unnamed
// files, errno telling.
int CreateLocked(const std::string& fileName) {
    const std::string folder = FolderPart(fileName);
    const int fd =
        open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    const std::string unnamed = "/proc/self/fd/" + std::to_string(fd);
    if (!LockWholeFile(fd, F_WRLCK) ||
        linkat(AT_FDCWD, unnamed.c_str(), AT_FDCWD, fileName.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int OpenForUpdate(const std::string& fileName, bool& created) {
    created = false;
    const int fd = CreateLocked(fileName);
    if (fd >= 0) {
        created = true;
        return fd;
    }
    // An existing file, or a file system without unnamed files: then what
    // this open creates counts as found, never to be removed again. A link
    // of that name is not followed.
    return OpenForWriting(fileName, [&] {
        return open(fileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    });
}

int CreateAlways(const std::string& fileName) {
    // Truncation waits until the lock is held, so that a file another stream
    // holds open is left untouched when the create fails.
    const int fd = OpenForWriting(fileName, [&] {
        return open(fileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    });
    if (fd >= 0 && !Empty(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The kernel moves data between files without a trip through user space; the
// block observer still runs between chunks of this size.
constexpr std::int64_t kKernelCopyChunk = 8 << 20;

}  // namespace

// Larger blocks read and hash faster; the kernel copy, which would be faster
// still, can not show the data.
const std::int32_t kInspectedCopyBlock = 1 << 20;

THandleStream::~THandleStream() {
    Close();
}

void THandleStream::Close() {
    if (handle_ != kInvalidHandle) {
        close(Fd(handle_));
        handle_ = kInvalidHandle;
    }
}

std::int32_t THandleStream::Read(void* buffer, std::int32_t count) {
    const ssize_t done =
        RetriedOnSignal([&] { return read(Fd(handle_), buffer, static_cast<size_t>(count)); });
    return done < 0 ? 0 : static_cast<std::int32_t>(done);
}

std::int32_t THandleStream::Write(const void* buffer, std::int32_t count) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed(DiskChange::Kind::Write, *this, Seek(0, SeekOrigin::Current), count)) {
        writeCause_ = WriteCause::DiskFull;
        return 0;
    }
    // A write may move part of the block (the disk filling up): the rest is
    // tried again, so that a failure gives its reason.
    std::int32_t done = 0;
    while (done < count) {
        const ssize_t moved = RetriedOnSignal([&] {
            return write(Fd(handle_), static_cast<const char*>(buffer) + done,
                         static_cast<size_t>(count - done));
        });
        if (moved <= 0) {
            writeCause_ = moved < 0 ? CauseOf(errno) : WriteCause::Unknown;
            break;
        }
        done += static_cast<std::int32_t>(moved);
    }
    return done;
}

std::int64_t THandleStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Beginning ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    return lseek(Fd(handle_), offset, whence);
}

void THandleStream::SetSize(std::int64_t size) {
    if (WatchingDiskChanges() && !DiskChangeAllowed(DiskChange::Kind::Resize, *this, 0, size)) {
        writeCause_ = WriteCause::Unknown;
        RaiseWriteFailure();
    }
    if (RetriedOnSignal([&] { return ftruncate(Fd(handle_), size); }) != 0) {
        writeCause_ = CauseOf(errno);
        RaiseWriteFailure();
    }
    SetPosition(size);
}

void THandleStream::Flush() {
    if (WatchingDiskChanges() && !DiskChangeAllowed(DiskChange::Kind::Flush, *this, 0, 0)) {
        writeCause_ = WriteCause::Unknown;
        RaiseWriteFailure();
    }
    if (RetriedOnSignal([&] { return fdatasync(Fd(handle_)); }) != 0) {
        writeCause_ = CauseOf(errno);
        RaiseWriteFailure();
    }
}

void THandleStream::BeginFlush(std::int64_t offset, std::int64_t count) {
    sync_file_range(Fd(handle_), offset, count, SYNC_FILE_RANGE_WRITE);
}

FileFacts THandleStream::Facts() const {
    struct stat status {};
    fstat(Fd(handle_), &status);
    return FactsOf(status);
}

void THandleStream::CopyBlocks(TStream& source, std::int64_t count,
                               const BlockObserver& afterBlock) {
    if (const auto* from = dynamic_cast<THandleStream*>(&source)) {
        while (count > 0) {
            const std::int64_t chunk = std::min(count, kKernelCopyChunk);
            if (WatchingDiskChanges() && !DiskChangeAllowed(DiskChange::Kind::Write, *this,
                                                            Seek(0, SeekOrigin::Current), chunk)) {
                writeCause_ = WriteCause::DiskFull;
                RaiseWriteFailure();
            }
            const ssize_t done = RetriedOnSignal([&] {
                return copy_file_range(Fd(from->Handle()), nullptr, Fd(handle_), nullptr,
                                       static_cast<size_t>(chunk), 0);
            });
            if (done <= 0) {
                // Unsupported here, or a real failure (short source, full disk):
                // the buffered loop finishes the copy or raises the precise failure.
                break;
            }
            count -= done;
            if (afterBlock) {
                afterBlock(count);
            }
        }
    }
    if (count > 0) {
        CopyThroughBuffer(source, count, afterBlock);
    }
}

TFileStream::Opened TFileStream::Open(const std::string& fileName, OpenMode mode) {
    bool created = mode == OpenMode::Create;
    int fd = -1;
    FileFacts facts;
    if (WatchingDiskChanges() &&
        (mode == OpenMode::Create ||
         (mode == OpenMode::Update && access(fileName.c_str(), F_OK) != 0)) &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Create, .path = fileName})) {
        return {kInvalidHandle, false, facts};
    }
    switch (mode) {
        case OpenMode::Read:
            fd = OpenForReading(fileName, facts);
            break;
        case OpenMode::Update:
            fd = OpenForUpdate(fileName, created);
            break;
        case OpenMode::Create:
            fd = CreateAlways(fileName);
            break;
    }
    OpenFailure failure = OpenFailure::None;
    if (fd < 0) {
        struct stat folder {};
        const std::string folderPart = FolderPart(fileName);
        failure = errno == EAGAIN ? OpenFailure::InUse
                  : (errno == ENOENT || errno == ENOTDIR) &&
                          (stat(folderPart.empty() ? "." : folderPart.c_str(), &folder) != 0 ||
                           !S_ISDIR(folder.st_mode))
                      ? OpenFailure::FolderMissing
                      : OpenFailure::Other;
    }
    return {fd < 0 ? kInvalidHandle : fd, created, facts, failure};
}

bool TFileStream::RemoveWhileOpen(const std::string& fileName) {
    return RemoveFile(fileName);
}

bool TFileStream::MoveOnto(const std::string& name, TFileStream&, const std::string& otherName) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Rename, .path = name, .target = otherName})) {
        return false;
    }
    // The name passes from one locked file to the other at once; the other
    // stays open, unnamed, until its stream goes.
    return rename(name.c_str(), otherName.c_str()) == 0;
}

std::optional<FileFacts> RegularFileFacts(const std::string& fileName) {
    struct stat status {};
    if (stat(fileName.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FactsOf(status);
}

bool EntryExists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

bool IsLink(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

std::optional<std::uint32_t> HardLinkCount(const std::string& fileName) {
    struct stat status {};
    if (lstat(fileName.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(status.st_nlink);
}

bool RemoveFile(const std::string& fileName) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Remove, .path = fileName})) {
        return false;
    }
    return unlink(fileName.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Rename, .path = from, .target = to})) {
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

void FlushFolderOf(const std::string& path) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::FlushFolder, .path = path})) {
        throw EWriteErrorIn(FolderName(FolderPart(path)), Text::WriteRefused);
    }
    const std::string folder = FolderPart(path);
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = fd >= 0 && RetriedOnSignal([&] { return fsync(fd); }) == 0;
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    // A file system that can not flush a folder (EINVAL) orders its entries
    // with the files' data, as NTFS's journal does: nothing more to do.
    if (!flushed && error != EINVAL) {
        switch (CauseOf(error)) {
            case WriteCause::DiskFull:
                throw ENoRoomToWrite(FolderName(folder));
            case WriteCause::ReadOnly:
                throw EWriteErrorIn(FolderName(folder), Text::ReadOnlyDisk);
            default:
                throw EWriteErrorIn(FolderName(folder), Text::DiskError);
        }
    }
}

bool SameEntryName(std::string_view a, std::string_view b) {
    return a == b;
}

std::string FolderPart(const std::string& path) {
    return path.substr(0, path.rfind('/') + 1);
}

bool ReadFolder(const std::string& folder, const std::function<void(const std::string&)>& visit) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.empty() ? "." : folder.c_str()),
                                                  closedir);
    if (!dir) {
        return false;
    }
    for (;;) {
        // readdir returns nullptr at the end and on a failure; only errno tells them apart.
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            return errno == 0;
        }
        visit(folder + entry->d_name);
    }
}

namespace {

// A field of /proc/self/mountinfo, in which a blank, a tab, a line end and a
// backslash are written as octal escapes.
std::string Unescaped(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            text += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// The type of the mount that holds `folder` (an absolute path without links),
// as /proc/self/mountinfo names it: statfs alone can not tell a FAT file system
// mounted through FUSE from other FUSE mounts. "" when it can not be read.
std::string MountType(const std::string& folder) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string type;
    std::size_t longest = 0;
    for (std::string line; std::getline(mounts, line);) {
        // id parent major:minor root mount-point options [tags...] - type source super
        std::istringstream fields(line);
        std::string id, parent, device, root, point, field;
        fields >> id >> parent >> device >> root >> point;
        while (fields >> field && field != "-") {
        }
        std::string mountType;
        fields >> mountType;
        point = Unescaped(point);
        const bool holds = folder == point || point == "/" ||
                           (folder.starts_with(point) && folder[point.size()] == '/');
        // Of mounts on the same point, the last one mounted is the one seen.
        if (holds && point.size() >= longest) {
            longest = point.size();
            type = mountType;
        }
    }
    return type;
}

}  // namespace

void SettleFileSystem(const std::string& folder) {
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

std::optional<DiskFacts> ReadDiskFacts(const std::string& folder) {
    const std::string path = folder.empty() ? "." : folder;
    struct statvfs space {};
    struct stat status {};
    char resolved[PATH_MAX];
    if (statvfs(path.c_str(), &space) != 0 || stat(path.c_str(), &status) != 0 ||
        realpath(path.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    DiskFacts disk;
    disk.volume = static_cast<std::uint64_t>(status.st_dev);
    disk.freeBytes =
        static_cast<std::int64_t>(space.f_bavail) * static_cast<std::int64_t>(space.f_frsize);
    disk.fileSystem = MountType(resolved);
    return disk;
}

}  // namespace morcelix
