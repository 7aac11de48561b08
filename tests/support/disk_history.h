// Every state that an operation leaves on the disk if it is stopped after
// any of its changes, in the manner of the tools that enumerate crash states:
// through the file layer's watcher, the files of a few folders are taken
// before each change the operation makes. From each such moment come the
// states a stop may leave:
//  - killed: the files as they are (the system keeps what was written);
//  - a power cut that loses what was not flushed: each file back to what it
//    held at its last flush (empty when it was created since and never
//    flushed), the names as they are;
//  - a power cut that keeps the sizes but not the unflushed bytes, which read
//    as zeros (as some file systems show them);
//  - a power cut that also loses the names changed since the last flush of a
//    file or a folder (a journal commit), the files back to their last flush.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pieces/file_stream.h"

namespace morcelix::testing {

class DiskHistory {
  public:
    // Path (UTF-8, under one of the folders) to bytes, for every regular file.
    using Files = std::map<std::string, std::string>;

    // Starts watching the changes the file layer makes; `refuse`, when given,
    // makes a change fail as the system would refuse it. The folders' files
    // as they stand now are taken as on the disk.
    explicit DiskHistory(std::vector<std::string> folders, DiskChangeWatcher refuse = {});
    // Stops watching.
    ~DiskHistory();
    DiskHistory(const DiskHistory&) = delete;
    DiskHistory& operator=(const DiskHistory&) = delete;

    // Stops watching: the operation has ended; its last state is a moment too.
    void Finish();
    // The changes seen.
    std::size_t Changes() const { return moments_.size() - 1; }
    // The files as they were before change `index` (Changes(): after the last).
    const Files& KilledAt(std::size_t index) const { return moments_.at(index).files; }
    // The states that a stop at moment `index` (as KilledAt) may leave, in
    // the ways above.
    std::vector<Files> StatesAt(std::size_t index) const;
    // Every distinct state that a stop, at any moment, in any of the ways
    // above, may leave.
    std::vector<Files> States() const;

    // The files of `folders` as they stand.
    static Files FilesOf(const std::vector<std::string>& folders);
    // Makes `folders` hold exactly `files`.
    static void Restore(const std::vector<std::string>& folders, const Files& files);

  private:
    // A file's identity, and how many files had it before: a file system may
    // give a new file the number of one deleted.
    using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
    struct Moment {
        Files files;
        std::map<std::string, Key> identities;  // of `files`
        std::map<Key, std::string> durable;     // what a file held at its last flush
        std::map<Key, std::vector<std::pair<std::int64_t, std::int64_t>>>
            unflushed;               // written since
        std::size_t lastCommit = 0;  // the moment of the last flush
    };

    bool Seen(const DiskChange& change);
    void Take();

    std::vector<std::string> folders_;
    DiskChangeWatcher refuse_;
    std::vector<Moment> moments_;
    // As of now, for the next moment.
    std::map<Key, std::string> durable_;
    std::map<Key, std::vector<std::pair<std::int64_t, std::int64_t>>> unflushed_;
    std::size_t lastCommit_ = 0;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> generations_;
    bool watching_ = true;

    Key KeyOf(const FileIdentity& identity);
};

}  // namespace morcelix::testing
