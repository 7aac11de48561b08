// A program that a test starts and watches: its windows are found through its
// main thread, and its exit code is the verdict.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>

namespace morcelix::testing {

// `name` in the folder of the running test program.
std::wstring BesideThisProgram(const std::wstring& name);

class ChildProcess {
  public:
    // Starts `program` with `arguments`; it inherits the environment and the
    // standard handles. Check Started().
    ChildProcess(const std::wstring& program, const std::wstring& arguments);
    // Ends the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return process_.hProcess != nullptr; }
    DWORD MainThread() const { return process_.dwThreadId; }
    // The exit code, or nothing when the program has not ended within `timeout`.
    std::optional<DWORD> Wait(std::chrono::milliseconds timeout);

  private:
    PROCESS_INFORMATION process_{};
};

}  // namespace morcelix::testing
