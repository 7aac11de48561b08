// Files made at run time for the tests: a private folder removed afterwards,
// file contents that reveal misplaced bytes, and a progress recorder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "pieces/progress.h"

namespace morcelix::testing {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes. Paths are UTF-8.
class TempFolder {
  public:
    TempFolder();
    // Under `root` (a UTF-8 path) instead of the temporary folder.
    explicit TempFolder(const std::string& root);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }
    // The path of `name` inside the folder.
    std::string operator/(const std::string& name) const;
    // The names of the folder's entries, sorted.
    std::vector<std::string> Names() const;
    // Every entry's name with its content (for a regular file), sorted: to check
    // that nothing changed.
    std::vector<std::pair<std::string, std::string>> Snapshot() const;

  private:
    std::string path_;
};

// `size` bytes in which no short run repeats at a piece boundary: position i
// holds a byte derived from i and `seed`.
std::string PatternBytes(std::int64_t size, unsigned seed = 1);

// A UTF-8 path as the standard library takes it.
std::filesystem::path NativePath(const std::string& path);

// A file of `size` bytes that takes no room where the file system keeps
// holes: for tests that only look at sizes. Made through the program's own
// stream: the standard library's resize_file of the 32-bit Windows build
// refuses 4 GiB less a byte and more ("File too large").
void MakeSparseFile(const std::string& path, std::int64_t size);

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
void MakeFolder(const std::string& path);

// A folder on a small file system that fills up, named by the environment
// variable MORCELIX_SMALL_DISK (a Unix path; reached through Z: under Wine);
// "" when there is none.
std::string SmallDiskFolder();

// A folder on a FAT32 file system of 5 GB, named by MORCELIX_FAT_DISK; "" when
// there is none.
std::string FatDiskFolder();

// Records the whole percentages a window's bar would show after each piece,
// and the files created and deleted.
class RecordingProgress : public ProgressSink {
  public:
    void Begin(std::int64_t total, std::int64_t) override { total_ = total; }
    void Moved(std::int64_t done, Mark mark) override {
        if (mark == Mark::Start) {
            positions.push_back(0);
        } else if (mark == Mark::Piece) {
            positions.push_back(Percent(done, total_));
        } else {
            BlockCopied();
        }
    }
    // After every block: where a test meddles with the operation.
    virtual void BlockCopied() {}
    void FileCreated(const std::string& path) override { created.push_back(path); }
    void FileDeleted(const std::string& path) override { deleted.push_back(path); }
    std::vector<int> positions;
    std::vector<std::string> created;
    std::vector<std::string> deleted;

  private:
    std::int64_t total_ = 0;
};

}  // namespace morcelix::testing
