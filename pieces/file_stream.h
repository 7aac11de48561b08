// The file layer under splitting and joining: streams over open files with
// 64-bit positions, a block copier, and the whole-file operations (facts,
// existence, deletion, folder scans). Paths are UTF-8. Every failure is raised
// as a Failure (failure.h).
//
// Only regular files count as files: a folder, a device, a FIFO or a socket is
// absent to this layer, and is never opened for reading.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morcelix {

enum class SeekOrigin { Beginning, Current, End };

// Called after every block a copy moves, with the bytes the copy has still to
// move; lets a caller keep an interface alive. May raise: the copy stops there.
using BlockObserver = std::function<void(std::int64_t left)>;

// The largest block a copy moves at once, through one heap buffer.
inline constexpr std::int32_t kCopyBufferSize = 61440;

// Which file a name or a handle leads to: the same identity is the same file,
// whatever the names (hard and symbolic links).
struct FileIdentity {
    std::uint64_t volume = 0;  // the device, or the volume's serial number
    std::uint64_t file = 0;    // the inode, or the file index on the volume
    bool operator==(const FileIdentity&) const = default;
};

// What a file is at one moment. Two looks that give equal facts saw the file
// unchanged: same file, same size, same last-write time.
struct FileFacts {
    FileIdentity identity;
    std::int64_t size = 0;
    std::int64_t modified = 0;  // last-write time, in the platform's finest unit
    bool operator==(const FileFacts&) const = default;
};

// A byte stream whose position and size are asked of the underlying object
// each time (nothing is cached).
class TStream {
  public:
    virtual ~TStream() = default;

    // Moves at most `count` bytes; returns how many moved, 0 on failure.
    virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
    virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
    // Returns the new position; reports no error.
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Beginning); }
    // Three seeks; the position is left where it was.
    std::int64_t Size();

    // A short read or write is a failure: EReadError, or what
    // RaiseWriteFailure raises. Whatever was written before a failing write
    // stays written.
    void ReadBuffer(void* buffer, std::int32_t count);
    void WriteBuffer(const void* buffer, std::int32_t count);

    // Copies `count` bytes from the source's position to this stream's position,
    // both advancing, and returns `count`. A count of 0 copies the whole source
    // from its first byte. `afterBlock`, if set, runs after each block.
    std::int64_t CopyFrom(TStream& source, std::int64_t count,
                          const BlockObserver& afterBlock = {});

  protected:
    // Raises the failure of a write that did not complete: EWriteError, unless
    // the stream can tell why.
    [[noreturn]] virtual void RaiseWriteFailure();
    // Moves `count` bytes (> 0) from `source`; a backend may do better than the
    // buffered loop (a kernel copy between files).
    virtual void CopyBlocks(TStream& source, std::int64_t count, const BlockObserver& afterBlock);
    void CopyThroughBuffer(TStream& source, std::int64_t count, const BlockObserver& afterBlock);
};

// Why the system refused a write, a resize or a flush, as far as it says.
enum class WriteCause { Unknown, DiskFull, ReadOnly, DiskError, TooLarge };

// The operating system's handle type, chosen once: a HANDLE on Windows, a file
// descriptor elsewhere. Both use -1 for "no file".
using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kInvalidHandle = -1;

// A stream over a handle that it owns and closes. Not copyable.
class THandleStream : public TStream {
  public:
    explicit THandleStream(NativeHandle handle) : handle_(handle) {}
    ~THandleStream() override;
    THandleStream(const THandleStream&) = delete;
    THandleStream& operator=(const THandleStream&) = delete;

    std::int32_t Read(void* buffer, std::int32_t count) override;
    std::int32_t Write(const void* buffer, std::int32_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;

    // Cuts or extends the file to `size` bytes and leaves the position there.
    // Raises as a failing write does when the system refuses.
    void SetSize(std::int64_t size);
    // Returns once everything written so far, and the file's size, is on the
    // disk itself, not only in the system's cache. Raises as a failing write
    // does (a file system may find the disk full only now).
    void Flush();
    // Starts writing `count` bytes from `offset` to the disk without waiting
    // for them, so that the next Flush has less left to wait for. A hint: it
    // does nothing where the system offers no such call, and reports nothing.
    void BeginFlush(std::int64_t offset, std::int64_t count);
    // The facts of the open file.
    FileFacts Facts() const;

    NativeHandle Handle() const { return handle_; }

  protected:
    void CopyBlocks(TStream& source, std::int64_t count, const BlockObserver& afterBlock) override;
    // Why the last write, resize or flush that failed did.
    WriteCause LastWriteCause() const { return writeCause_; }
    // Closes the handle now; the stream holds nothing afterwards.
    void Close();

  private:
    NativeHandle handle_;
    WriteCause writeCause_ = WriteCause::Unknown;
};

// How a file stream opens its file. Nobody may write a file that this program
// has open, and nobody else may open one that it writes.
enum class OpenMode : std::uint16_t {
    // An existing regular file, for reading; others may read it too.
    Read = 0x20,
    // A regular file opened as it is, or created when absent, for reading and
    // writing; no sharing. Nothing is truncated: Created() tells which it was.
    Update = 0x12,
    // Created anew or truncated to 0 bytes, for reading and writing; no sharing.
    Create = 0xFFFF,
};

class TFileStream : public THandleStream {
  public:
    // Raises EFCreateError (modes Create and Update) or EFOpenError (mode Read)
    // with the name exactly as given; for modes Create and Update, EInUse when
    // another program (another run of this one) holds the file, and
    // EFolderMissing when its folder does not exist. Modes Create and Update
    // never open a symbolic link's target: a link of that name fails them.
    TFileStream(const std::string& fileName, OpenMode mode);
    // The same, or nothing where that raises (another holds the file, say).
    static std::unique_ptr<TFileStream> OpenIfAvailable(const std::string& fileName, OpenMode mode);

    // Whether opening created the file (mode Update; always true for Create).
    bool Created() const { return created_; }
    // The name it was opened with, for the messages.
    const std::string& Name() const { return name_; }
    // Opened for reading: the file's facts as the open found them (what
    // Facts() would have said then, without asking again).
    const FileFacts& OpenedFacts() const { return openedFacts_; }

    // Deletes the file while this stream holds it (the name as it was opened):
    // others can not open it meanwhile. The stream must not be used afterwards
    // but to be destroyed. Returns whether it worked.
    bool RemoveWhileOpen(const std::string& fileName);

    // Gives the file this stream holds (named `name`, opened in mode Update)
    // the name of `other`'s file, `otherName`, in its place: that file goes.
    // This stream keeps its file, still locked; no other stream of this
    // program can take the name meanwhile where the system renames onto an
    // open file (Linux). Where it can not (Windows), `other`'s file goes first,
    // and the rename may then find the name taken: false, `other` no longer
    // holding anything. False also when the system refuses the rename.
    bool MoveOnto(const std::string& name, TFileStream& other, const std::string& otherName);

  private:
    // Why an open failed.
    enum class OpenFailure { None, InUse, FolderMissing, Other };
    struct Opened {
        NativeHandle handle;
        bool created;
        FileFacts facts;  // for reading: as the open found the file
        OpenFailure failure = OpenFailure::None;
    };
    // The backend's open: kInvalidHandle when it fails.
    static Opened Open(const std::string& fileName, OpenMode mode);
    TFileStream(const std::string& fileName, OpenMode mode, Opened opened);

    // A write that failed, naming the file: ENoRoomToWrite for want of room,
    // EWriteErrorIn with the cause otherwise.
    [[noreturn]] void RaiseWriteFailure() override;

    std::string name_;
    bool created_;
    FileFacts openedFacts_;
};

// The facts of an existing regular file; nothing for anything else. Raises nothing.
std::optional<FileFacts> RegularFileFacts(const std::string& fileName);

// How many names (hard links) the regular file `fileName` has, when the name
// is that file's own entry, not a symbolic link to it (nor, on Windows,
// another reparse point); nothing otherwise. Raises nothing.
std::optional<std::uint32_t> HardLinkCount(const std::string& fileName);

// True for any entry of this name: a file, a folder, a device, a link
// (dangling or not). Raises nothing.
bool EntryExists(const std::string& path);

// True when the entry of this name is a symbolic link (on Windows, any
// reparse point), dangling or not. Raises nothing.
bool IsLink(const std::string& path);

// True for an existing regular file of exactly this name. No wildcards are
// matched. Raises nothing.
bool FileExists(const std::string& fileName);

// The size of an existing regular file; -1 otherwise. Raises nothing.
std::int64_t FileSize(const std::string& fileName);

// Deletes the file; returns whether it worked. Raises nothing. On Windows, a
// file that another program holds without delete sharing is tried again for
// up to two seconds (virus scanners and indexers hold new files for a moment).
bool RemoveFile(const std::string& fileName);

// Gives the file `from` the name `to`, replacing a file of that name; returns
// whether it worked, tried again as RemoveFile is. Raises nothing.
bool RenameFile(const std::string& from, const std::string& to);

// The name under which a file `path` is written before it takes its own: in
// its folder, no longer than its own (so that it fits wherever the file
// does), "~" in place of its first character.
std::string TemporaryNameFor(const std::string& path);

// Gives the file `path` the content `bytes`, whole or not at all: written
// under a temporary name beside it, no longer than its own (so that it fits
// wherever the file does), flushed, then renamed into place, replacing a file
// of that name; then the folder is flushed. Raises the file layer's failures,
// EFCreateError naming `path` when the rename is refused.
void ReplaceFileWith(const std::string& path, std::string_view bytes);

// Makes the entries of the folder that holds `path` durable (a new file's name,
// a deletion). Raises EWriteError. Nothing to do where the file system orders
// them with the files' own data (NTFS's journal).
void FlushFolderOf(const std::string& path);

// Whether two names of entries in one folder lead to the same entry as the
// file system compares names: byte for byte on POSIX; on Windows as NTFS
// does, ordinal and ignoring case.
bool SameEntryName(std::string_view a, std::string_view b);

// The folder part of `path`, as written: what precedes its file name.
std::string FolderPart(const std::string& path);

// `path` made absolute from the current folder, its "." and ".." taken out
// as written (links are not followed). Raises nothing.
std::string AbsolutePath(const std::string& path);

// Calls `visit` with each entry that stands in the same folder as `path`, as
// the folder part of `path` followed by the entry's name. The folder is read
// one entry at a time. Raises EFolderReadError when it can not be read,
// whether at the start or part-way.
void ForEachEntryBeside(const std::string& path,
                        const std::function<void(const std::string&)>& visit);

// The disk that holds a file, or would hold a file created under a name.
struct DiskFacts {
    std::uint64_t volume = 0;    // as FileIdentity::volume for the files on it
    std::int64_t freeBytes = 0;  // what files there may still take
    std::string fileSystem;      // its type, as the system names it: "ext4", "vfat", "FAT32"
};

// The facts of the disk that holds the folder of `path`; nothing when the
// system can not tell (the folder does not exist, say). Raises nothing.
std::optional<DiskFacts> DiskFactsOf(const std::string& path);

// The largest file that a file system of that type holds: 4 GiB less a byte
// on FAT (FAT12, FAT16, FAT32: the size is a 32-bit number); -1, no limit,
// elsewhere.
std::int64_t LargestFileOn(const DiskFacts& disk);

// Checks, before anything is written, that the disk can take `file`: raises
// ETooLargeForDisk, naming `largestFileName` (`file` when empty), when
// `largestFile` bytes are more than its file system holds in one file, and
// ENoRoom when it has fewer than `needed` bytes free,
// looked at again once after the file system is asked to settle (a file
// system may count the room of files deleted a moment ago only later).
// Other programs may still fill the disk afterwards.
void RequireRoom(const DiskFacts& disk, const std::string& file, std::int64_t needed,
                 std::int64_t largestFile, const std::string& largestFileName = {});

// For tests: a change that the file layer is about to make to the disk, told
// before it is made. A test sees through it every state an operation passes
// through (a killed process or a power cut leaves one of them), and may make
// a change fail as the system would refuse it.
struct DiskChange {
    enum class Kind {
        Create,       // the file `path` created, or emptied where it stood
        Write,        // `size` bytes written at `offset` into the open file `file`
        Resize,       // the open file `file` cut or extended to `size` bytes
        Flush,        // the open file `file`'s data and size made durable
        Rename,       // the entry `path` given the name `target`, replacing one there
        Remove,       // the entry `path` deleted
        FlushFolder,  // the entries of the folder that holds `path` made durable
    };
    Kind kind;
    std::string path{};
    std::string target{};
    FileIdentity file{};
    std::int64_t offset = 0;
    std::int64_t size = 0;
};

// Told of each change before it is made, on the thread that makes it; returns
// false to make it fail: a write as on a full disk, a removal or a rename as
// of a file that another program holds, any other as the system's refusal.
using DiskChangeWatcher = std::function<bool(const DiskChange&)>;

// For tests: `watcher` is told of every change from now on (none: nothing is).
void WatchDiskChangesForTesting(DiskChangeWatcher watcher);

// For tests: makes every disk's file system type read `type` (nothing: as it
// is), where no disk of that type can be made (Wine reports its own).
void SetFileSystemTypeForTesting(std::optional<std::string> type);

// For tests: makes every folder scan fail as an unreadable folder does, on
// platforms where no folder can really be made unreadable (Windows under
// Wine, a process running as root).
void SetFolderScansFailForTesting(bool fail);

}  // namespace morcelix
