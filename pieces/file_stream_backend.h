// What each platform's backend of the file layer provides to its portable
// part (file_stream.cpp), beyond the functions of file_stream.h.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "pieces/file_stream.h"

namespace morcelix {

// Calls `visit` with `folder` + the name of each of the folder's entries
// (`folder` is a folder part as FolderPart gives it: "" for the current
// folder). False when the folder could not be read, at the start or part-way.
bool ReadFolder(const std::string& folder, const std::function<void(const std::string&)>& visit);

// The facts of the disk that holds `folder` (a folder part, "" for the
// current folder), as the system gives them.
std::optional<DiskFacts> ReadDiskFacts(const std::string& folder);

// Asks the file system that holds `folder` to finish what it has pending
// (its count of the free room included), where the system has such a call.
void SettleFileSystem(const std::string& folder);

// The folder part `folder` as a message names it: without its final
// separator, "." for the current folder.
std::string FolderName(std::string folder);

// Whether a test watches the changes made to the disk (WatchDiskChangesForTesting).
bool WatchingDiskChanges();

// Tells the test's watcher of `change` before it is made: false when the
// watcher refuses it. Called by the backend at each change, only while
// WatchingDiskChanges().
bool DiskChangeAllowed(const DiskChange& change);

// The same, for a change of `stream`'s open file.
bool DiskChangeAllowed(DiskChange::Kind kind, const THandleStream& stream, std::int64_t offset,
                       std::int64_t size);

}  // namespace morcelix
