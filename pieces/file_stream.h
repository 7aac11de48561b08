// The file layer under splitting and joining: streams over open files with
// 64-bit positions, a block copier, and the whole-file existence test and
// deletion. Paths are UTF-8. Every failure is raised as a Failure (failure.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace morcelix {

enum class SeekOrigin { Beginning, Current, End };

// Called after every block a copy moves; lets a caller keep an interface alive.
using BlockObserver = std::function<void()>;

// The largest block a copy moves at once, through one heap buffer.
inline constexpr std::int32_t kCopyBufferSize = 61440;

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

    // A short read or write is a failure: EReadError or EWriteError. Whatever
    // was written before a failing write stays written.
    void ReadBuffer(void* buffer, std::int32_t count);
    void WriteBuffer(const void* buffer, std::int32_t count);

    // Copies `count` bytes from the source's position to this stream's position,
    // both advancing, and returns `count`. A count of 0 copies the whole source
    // from its first byte. `afterBlock`, if set, runs after each block.
    std::int64_t CopyFrom(TStream& source, std::int64_t count,
                          const BlockObserver& afterBlock = {});

  protected:
    // Moves `count` bytes (> 0) from `source`; a backend may do better than the
    // buffered loop (a kernel copy between files).
    virtual void CopyBlocks(TStream& source, std::int64_t count, const BlockObserver& afterBlock);
    void CopyThroughBuffer(TStream& source, std::int64_t count, const BlockObserver& afterBlock);
};

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

    NativeHandle Handle() const { return handle_; }

  protected:
    void CopyBlocks(TStream& source, std::int64_t count, const BlockObserver& afterBlock) override;

  private:
    NativeHandle handle_;
};

// How a file stream opens its file.
enum class OpenMode : std::uint16_t {
    // An existing file, for reading; others may read it, nobody may write it.
    Read = 0x20,
    // Created anew or truncated to 0 bytes, for reading and writing; no sharing.
    Create = 0xFFFF,
};

class TFileStream : public THandleStream {
  public:
    // Raises EFCreateError (mode Create) or EFOpenError (mode Read) with the
    // name exactly as given; the stream does not keep the name.
    TFileStream(const std::string& fileName, OpenMode mode);
};

// True for an existing entry of exactly this name that is not a folder. No
// wildcards are matched. Raises nothing.
bool FileExists(const std::string& fileName);

// The size of an existing file that is not a folder; -1 otherwise. Raises nothing.
std::int64_t FileSize(const std::string& fileName);

// Deletes the file; returns whether it worked. Raises nothing.
bool RemoveFile(const std::string& fileName);

// Whether `matches` holds for one of the entries that stand in the same folder
// as `path` (each given as the folder part of `path` followed by its name). The
// folder is read one entry at a time; false when it can not be read.
bool AnyEntryBeside(const std::string& path,
                    const std::function<bool(const std::string&)>& matches);

}  // namespace morcelix
