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

}  // namespace morcelix
