// Windows backend of the file layer, on the wide-character file functions.
#include <windows.h>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

HANDLE Win(NativeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

NativeHandle Open(const std::string& fileName, OpenMode mode) {
    const bool create = mode == OpenMode::Create;
    const HANDLE handle = CreateFileW(
        WidePath(fileName).c_str(), create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
        create ? 0 : FILE_SHARE_READ, nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<NativeHandle>(handle);
}

}  // namespace

THandleStream::~THandleStream() {
    if (handle_ != kInvalidHandle) {
        CloseHandle(Win(handle_));
    }
}

std::int32_t THandleStream::Read(void* buffer, std::int32_t count) {
    DWORD done = 0;
    if (!ReadFile(Win(handle_), buffer, static_cast<DWORD>(count), &done, nullptr)) {
        return 0;
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t THandleStream::Write(const void* buffer, std::int32_t count) {
    DWORD done = 0;
    if (!WriteFile(Win(handle_), buffer, static_cast<DWORD>(count), &done, nullptr)) {
        return 0;
    }
    return static_cast<std::int32_t>(done);
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

void THandleStream::CopyBlocks(TStream& source, std::int64_t count,
                               const BlockObserver& afterBlock) {
    CopyThroughBuffer(source, count, afterBlock);
}

TFileStream::TFileStream(const std::string& fileName, OpenMode mode)
    : THandleStream(Open(fileName, mode)) {
    if (Handle() == kInvalidHandle) {
        if (mode == OpenMode::Create) {
            throw EFCreateError(fileName);
        }
        throw EFOpenError(fileName);
    }
}

bool FileExists(const std::string& fileName) {
    // GetFileAttributesW takes no wildcards: "*" and "?" are invalid in a name.
    const DWORD attributes = GetFileAttributesW(WidePath(fileName).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::int64_t FileSize(const std::string& fileName) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(WidePath(fileName).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return -1;
    }
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool RemoveFile(const std::string& fileName) {
    return DeleteFileW(WidePath(fileName).c_str()) != 0;
}

bool AnyEntryBeside(const std::string& path,
                    const std::function<bool(const std::string&)>& matches) {
    const std::string folder = path.substr(0, path.find_last_of("\\/:") + 1);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(WidePath(folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool matched = false;
    do {
        matched = matches(folder + Narrow(found.cFileName));
    } while (!matched && FindNextFileW(search, &found));
    FindClose(search);
    return matched;
}

}  // namespace morcelix
