#include "pieces/file_stream.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>

#include "pieces/failure.h"
#include "pieces/file_stream_backend.h"

namespace morcelix {

namespace {

bool folderScansFail = false;
std::optional<std::string> fileSystemTypeForTesting;
DiskChangeWatcher diskChangeWatcher;

}  // namespace

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
        RaiseWriteFailure();
    }
}

void TStream::RaiseWriteFailure() {
    throw EWriteError();
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
            afterBlock(count);
        }
    }
}

TFileStream::TFileStream(const std::string& fileName, OpenMode mode)
    : TFileStream(fileName, mode, Open(fileName, mode)) {}

std::unique_ptr<TFileStream> TFileStream::OpenIfAvailable(const std::string& fileName,
                                                          OpenMode mode) {
    const Opened opened = Open(fileName, mode);
    if (opened.handle == kInvalidHandle) {
        return nullptr;
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, mode, opened));
}

TFileStream::TFileStream(const std::string& fileName, OpenMode mode, Opened opened)
    : THandleStream(opened.handle),
      name_(fileName),
      created_(opened.created),
      openedFacts_(opened.facts) {
    if (Handle() == kInvalidHandle) {
        if (mode == OpenMode::Read) {
            throw EFOpenError(fileName);
        }
        if (opened.failure == OpenFailure::InUse) {
            throw EInUse(fileName);
        }
        if (opened.failure == OpenFailure::FolderMissing) {
            throw EFolderMissing(FolderName(FolderPart(fileName)));
        }
        throw EFCreateError(fileName);
    }
}

void TFileStream::RaiseWriteFailure() {
    switch (LastWriteCause()) {
        case WriteCause::DiskFull:
            throw ENoRoomToWrite(name_);
        case WriteCause::ReadOnly:
            throw EWriteErrorIn(name_, Text::ReadOnlyDisk);
        case WriteCause::DiskError:
            throw EWriteErrorIn(name_, Text::DiskError);
        case WriteCause::TooLarge:
            throw EWriteErrorIn(name_, Text::FileTooLarge);
        case WriteCause::Unknown:
            break;
    }
    throw EWriteErrorIn(name_, Text::WriteRefused);
}

std::string TemporaryNameFor(const std::string& path) {
    const std::string name = path.substr(FolderPart(path).size());
    return FolderPart(path) + "~" + name.substr(std::min<std::size_t>(name.size(), 1));
}

void ReplaceFileWith(const std::string& path, std::string_view bytes) {
    const std::string partial = TemporaryNameFor(path);
    {
        TFileStream file(partial, OpenMode::Create);
        try {
            file.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
            file.Flush();
        } catch (const Failure&) {
            file.RemoveWhileOpen(partial);
            throw;
        }
    }
    if (!RenameFile(partial, path)) {
        RemoveFile(partial);
        throw EFCreateError(path);
    }
    FlushFolderOf(path);
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

std::string AbsolutePath(const std::string& path) {
    std::error_code unused;
    const std::u8string absolute =
        std::filesystem::absolute(std::filesystem::path(std::u8string(path.begin(), path.end())),
                                  unused)
            .lexically_normal()
            .u8string();
    return std::string(absolute.begin(), absolute.end());
}

std::optional<DiskFacts> DiskFactsOf(const std::string& path) {
    std::optional<DiskFacts> disk = ReadDiskFacts(FolderPart(path));
    if (disk && fileSystemTypeForTesting) {
        disk->fileSystem = *fileSystemTypeForTesting;
    }
    return disk;
}

std::int64_t LargestFileOn(const DiskFacts& disk) {
    // Linux names FAT mounts vfat or msdos, and fuse.fusefat through FUSE;
    // Windows names them FAT (12 or 16 bits) or FAT32, exFAT being another.
    static constexpr std::string_view kFat[] = {"vfat", "msdos", "fuse.fusefat", "FAT", "FAT32"};
    for (const std::string_view type : kFat) {
        if (disk.fileSystem == type) {
            return (std::int64_t{1} << 32) - 1;
        }
    }
    return -1;
}

void RequireRoom(const DiskFacts& disk, const std::string& file, std::int64_t needed,
                 std::int64_t largestFile, const std::string& largestFileName) {
    const std::int64_t limit = LargestFileOn(disk);
    if (limit >= 0 && largestFile > limit) {
        throw ETooLargeForDisk(largestFileName.empty() ? file : largestFileName);
    }
    if (needed > disk.freeBytes) {
        SettleFileSystem(FolderPart(file));
        const std::optional<DiskFacts> settled = DiskFactsOf(file);
        const std::int64_t free = settled ? settled->freeBytes : disk.freeBytes;
        if (needed > free) {
            throw ENoRoom(file, needed, free);
        }
    }
}

void SetFileSystemTypeForTesting(std::optional<std::string> type) {
    fileSystemTypeForTesting = std::move(type);
}

void SetFolderScansFailForTesting(bool fail) {
    folderScansFail = fail;
}

void WatchDiskChangesForTesting(DiskChangeWatcher watcher) {
    diskChangeWatcher = std::move(watcher);
}

bool WatchingDiskChanges() {
    return static_cast<bool>(diskChangeWatcher);
}

bool DiskChangeAllowed(const DiskChange& change) {
    return !diskChangeWatcher || diskChangeWatcher(change);
}

bool DiskChangeAllowed(DiskChange::Kind kind, const THandleStream& stream, std::int64_t offset,
                       std::int64_t size) {
    return DiskChangeAllowed(
        {.kind = kind, .file = stream.Facts().identity, .offset = offset, .size = size});
}

}  // namespace morcelix
