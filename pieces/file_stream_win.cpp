// Windows backend of the file layer, on the wide-character file functions.
#include <windows.h>

#include <cstring>
#include <vector>

#include "pieces/checked_copy.h"
#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/file_stream_backend.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

HANDLE Win(NativeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Closes a handle that this file does not hand on.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_;
};

std::int64_t Combined(DWORD high, DWORD low) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

// The facts of an open handle when it is a regular file: a disk file
// (not a console, pipe or device) that is not a folder.
std::optional<FileFacts> DiskFileFacts(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return std::nullopt;
    }
    FileFacts facts;
    facts.identity = {info.dwVolumeSerialNumber, static_cast<std::uint64_t>(Combined(
                                                     info.nFileIndexHigh, info.nFileIndexLow))};
    facts.size = Combined(info.nFileSizeHigh, info.nFileSizeLow);
    facts.modified =
        Combined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    return facts;
}

// `handle` when it is a regular file, its facts in `facts`; otherwise closed.
HANDLE Kept(HANDLE handle, FileFacts& facts) {
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    const std::optional<FileFacts> regular = DiskFileFacts(handle);
    if (!regular) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    facts = *regular;
    return handle;
}

HANDLE OpenForUpdate(const std::wstring& name, bool& created, FileFacts& facts) {
    // With the right to delete, a file this join created can be removed again
    // without being let go first; a folder that grants no deletion still works.
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    created = handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    return Kept(handle, facts);
}

}  // namespace

TFileStream::Opened TFileStream::Open(const std::string& fileName, OpenMode mode) {
    const std::wstring name = WidePath(fileName);
    bool created = mode == OpenMode::Create;
    HANDLE handle = INVALID_HANDLE_VALUE;
    FileFacts facts;
    if (WatchingDiskChanges() &&
        (mode == OpenMode::Create ||
         (mode == OpenMode::Update &&
          GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES)) &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Create, .path = fileName})) {
        return {kInvalidHandle, false, facts};
    }
    switch (mode) {
        case OpenMode::Read:
            handle = Kept(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                          facts);
            break;
        case OpenMode::Update:
            handle = OpenForUpdate(name, created, facts);
            break;
        case OpenMode::Create:
            handle = Kept(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                          facts);
            break;
    }
    OpenFailure failure = OpenFailure::None;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        failure = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
                      ? OpenFailure::InUse
                  : error == ERROR_PATH_NOT_FOUND ? OpenFailure::FolderMissing
                                                  : OpenFailure::Other;
    }
    return {reinterpret_cast<NativeHandle>(handle), created, facts, failure};
}

const std::int32_t kInspectedCopyBlock = kCopyBufferSize;

THandleStream::~THandleStream() {
    Close();
}

void THandleStream::Close() {
    if (handle_ != kInvalidHandle) {
        CloseHandle(Win(handle_));
        handle_ = kInvalidHandle;
    }
}

std::int32_t THandleStream::Read(void* buffer, std::int32_t count) {
    DWORD done = 0;
    if (!ReadFile(Win(handle_), buffer, static_cast<DWORD>(count), &done, nullptr)) {
        return 0;
    }
    return static_cast<std::int32_t>(done);
}

namespace {

// Why a write, a resize or a flush failed with `error`.
WriteCause CauseOf(DWORD error) {
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return WriteCause::DiskFull;
        case ERROR_WRITE_PROTECT:
        case ERROR_ACCESS_DENIED:
            return WriteCause::ReadOnly;
        case ERROR_CRC:
        case ERROR_IO_DEVICE:
        case ERROR_SEEK:
        case ERROR_WRITE_FAULT:
        case ERROR_GEN_FAILURE:
            return WriteCause::DiskError;
        case ERROR_FILE_TOO_LARGE:
            return WriteCause::TooLarge;
        default:
            return WriteCause::Unknown;
    }
}

}  // namespace

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
        DWORD moved = 0;
        if (!WriteFile(Win(handle_), static_cast<const char*>(buffer) + done,
                       static_cast<DWORD>(count - done), &moved, nullptr)) {
            writeCause_ = CauseOf(GetLastError());
            break;
        }
        if (moved == 0) {
            break;
        }
        done += static_cast<std::int32_t>(moved);
    }
    return done;
}

std::int64_t THandleStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const DWORD method = origin == SeekOrigin::Beginning ? FILE_BEGIN
                         : origin == SeekOrigin::Current ? FILE_CURRENT
                                                         : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(Win(handle_), distance, &position, method)) {
        return -1;
    }
    return position.QuadPart;
}

void THandleStream::SetSize(std::int64_t size) {
    if (WatchingDiskChanges() && !DiskChangeAllowed(DiskChange::Kind::Resize, *this, 0, size)) {
        writeCause_ = WriteCause::Unknown;
        RaiseWriteFailure();
    }
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(Win(handle_), FileEndOfFileInfo, &end, sizeof end) ||
        Seek(size, SeekOrigin::Beginning) != size) {
        writeCause_ = CauseOf(GetLastError());
        RaiseWriteFailure();
    }
}

void THandleStream::Flush() {
    if (WatchingDiskChanges() && !DiskChangeAllowed(DiskChange::Kind::Flush, *this, 0, 0)) {
        writeCause_ = WriteCause::Unknown;
        RaiseWriteFailure();
    }
    if (!FlushFileBuffers(Win(handle_))) {
        writeCause_ = CauseOf(GetLastError());
        RaiseWriteFailure();
    }
}

void THandleStream::BeginFlush(std::int64_t, std::int64_t) {
    // Windows' lazy writer starts on its own; there is no call to hurry it.
}

FileFacts THandleStream::Facts() const {
    return DiskFileFacts(Win(handle_)).value_or(FileFacts{});
}

void THandleStream::CopyBlocks(TStream& source, std::int64_t count,
                               const BlockObserver& afterBlock) {
    CopyThroughBuffer(source, count, afterBlock);
}

bool TFileStream::RemoveWhileOpen(const std::string& fileName) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Remove, .path = fileName})) {
        return false;
    }
    // The file goes when this handle is closed; nobody can open it before.
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(Win(Handle()), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool TFileStream::MoveOnto(const std::string& name, TFileStream& other,
                           const std::string& otherName) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Rename, .path = name, .target = otherName})) {
        return false;
    }
    // Windows renames nothing onto an open file: the other file is let go
    // first (removed as its handle closes). This one is renamed through its
    // own handle, which keeps it from everyone else throughout.
    if (!other.RemoveWhileOpen(otherName)) {
        return false;
    }
    other.Close();
    const std::wstring target = WidePath(otherName);
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, target.data(), nameBytes);
    return SetFileInformationByHandle(Win(Handle()), FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

std::optional<FileFacts> RegularFileFacts(const std::string& fileName) {
    // Asking for the attributes only meets no share mode: a file that another
    // program holds open, even exclusively, can still be looked at.
    const ScopedHandle file(CreateFileW(WidePath(fileName).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return DiskFileFacts(file.Get());
}

bool EntryExists(const std::string& path) {
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::optional<std::uint32_t> HardLinkCount(const std::string& fileName) {
    // Opened as the entry itself: a link is not followed to its target.
    const ScopedHandle file(
        CreateFileW(WidePath(fileName).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (file.Get() == INVALID_HANDLE_VALUE || GetFileType(file.Get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(info.nNumberOfLinks);
}

namespace {

// Another program may hold a new file for a moment (a virus scanner, the
// search indexer), without delete sharing: a deletion or rename refused for
// sharing or access is tried again for up to two seconds. A read-only file is
// refused for good.
template <typename Call>
bool RetriedWhileHeld(const std::wstring& path, Call call) {
    constexpr ULONGLONG kPatience = 2000;
    constexpr DWORD kPause = 50;
    const ULONGLONG end = GetTickCount64() + kPatience;
    for (;;) {
        if (call()) {
            return true;
        }
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
            GetTickCount64() >= end) {
            return false;
        }
        Sleep(kPause);
    }
}

}  // namespace

bool RemoveFile(const std::string& fileName) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Remove, .path = fileName})) {
        return false;
    }
    const std::wstring path = WidePath(fileName);
    return RetriedWhileHeld(path, [&] { return DeleteFileW(path.c_str()) != 0; });
}

bool RenameFile(const std::string& from, const std::string& to) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::Rename, .path = from, .target = to})) {
        return false;
    }
    const std::wstring source = WidePath(from);
    const std::wstring target = WidePath(to);
    return RetriedWhileHeld(source, [&] {
        return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    });
}

void FlushFolderOf(const std::string& path) {
    if (WatchingDiskChanges() &&
        !DiskChangeAllowed({.kind = DiskChange::Kind::FlushFolder, .path = path})) {
        throw EWriteErrorIn(FolderName(FolderPart(path)), Text::WriteRefused);
    }
    // NTFS journals a folder's entries in order with the files' sizes: once a
    // flushed file's data is on the disk, so is its name.
}

bool SameEntryName(std::string_view a, std::string_view b) {
    const std::wstring wideA = Widen(a);
    const std::wstring wideB = Widen(b);
    return CompareStringOrdinal(wideA.data(), static_cast<int>(wideA.size()), wideB.data(),
                                static_cast<int>(wideB.size()), TRUE) == CSTR_EQUAL;
}

std::string FolderPart(const std::string& path) {
    return path.substr(0, path.find_last_of("\\/:") + 1);
}

bool ReadFolder(const std::string& folder, const std::function<void(const std::string&)>& visit) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(WidePath(folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // The root of an empty drive has no entry at all, not even ".".
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    struct Closer {
        HANDLE search;
        ~Closer() { FindClose(search); }
    } closer{search};
    do {
        visit(folder + Narrow(found.cFileName));
    } while (FindNextFileW(search, &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

void SettleFileSystem(const std::string&) {
    // Windows counts the room of a deleted file at once.
}

std::optional<DiskFacts> ReadDiskFacts(const std::string& folder) {
    // Asked of the folder itself: a folder may be another volume mounted
    // there, and Wine answers the volume questions only for a handle or a
    // drive's root.
    const std::wstring path = WidePath(folder.empty() ? "." : folder);
    const ScopedHandle handle(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    ULARGE_INTEGER available{};
    if (handle.Get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle.Get(), &info) ||
        !GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) {
        return std::nullopt;
    }
    DiskFacts disk;
    disk.volume = info.dwVolumeSerialNumber;
    disk.freeBytes = static_cast<std::int64_t>(available.QuadPart);
    wchar_t type[MAX_PATH + 1] = {};
    if (GetVolumeInformationByHandleW(handle.Get(), nullptr, 0, nullptr, nullptr, nullptr, type,
                                      MAX_PATH + 1)) {
        disk.fileSystem = Narrow(type);
    }
    return disk;
}

}  // namespace morcelix
