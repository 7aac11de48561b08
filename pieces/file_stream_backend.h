// What each platform's backend of the file layer provides to its portable
// part (file_stream.cpp), beyond the functions of file_stream.h.
#pragma once

#include <functional>
#include <string>

namespace morcelix {

// Calls `visit` with `folder` + the name of each of the folder's entries
// (`folder` is a folder part as FolderPart gives it: "" for the current
// folder). False when the folder could not be read, at the start or part-way.
bool ReadFolder(const std::string& folder, const std::function<void(const std::string&)>& visit);

}  // namespace morcelix
