// A test on a small file system that fills up (MORCELIX_SMALL_DISK): its own
// folder there, and the room left, found by filling the disk (the free space
// Wine reports is that of its drive, not of the mounted folder).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pieces/file_stream.h"
#include "tests/support/temp_folder.h"

namespace morcelix::testing {

// Writes `path` until the disk is full; returns how many bytes it took.
inline std::int64_t FillDisk(const std::string& path) {
    std::int64_t written = 0;
    TFileStream file(path, OpenMode::Create);
    const std::string block(4096, 'f');
    while (file.Write(block.data(), 4096) == 4096) {
        written += 4096;
    }
    return written;
}

class SmallDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string disk = SmallDiskFolder();
        if (disk.empty()) {
            GTEST_SKIP()
                << "no small file system to fill (MORCELIX_SMALL_DISK unset: mounting needs root)";
        }
        folder = std::make_unique<TempFolder>(disk);
        room = FillDisk(*folder / "filler");
        RemoveFile(*folder / "filler");
        // What a killed run left there would make every size below meaningless.
        ASSERT_GE(room, 1 << 20) << "the small disk at " << disk << " is not empty";
    }

    std::unique_ptr<TempFolder> folder;
    std::int64_t room = 0;  // the bytes a file can take there
};

}  // namespace morcelix::testing
