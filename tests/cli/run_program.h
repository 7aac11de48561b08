// Runs a built program as a process of its own, as a script would.
#pragma once

#include <string>
#include <vector>

namespace morcelix::testing {

struct ProgramRun {
    int status = -1;  // the exit status; -1 when the process could not be run
    std::string out;  // what it wrote on standard output
    std::string err;  // what it wrote on standard error
};

// Runs `program` with `arguments` (UTF-8, passed as they are, whatever their
// characters), an empty standard input, and both outputs sent to files in
// `scratchFolder`; waits for it to end.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& scratchFolder);

// The path of the morcelix-cli program of this build.
std::string CliProgram();

}  // namespace morcelix::testing
