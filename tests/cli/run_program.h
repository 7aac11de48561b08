// Runs a built program as a process of its own, as a script would.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace morcelix::testing {

struct ProgramRun {
    int status = -1;   // the exit status (128 + the signal when killed); -1 if not run
    std::string out;   // what it wrote on standard output
    std::string err;   // what it wrote on standard error
    long peakKiB = 0;  // its peak resident memory (POSIX; 0 elsewhere)
};

// Pipes between a test and a program it runs, as a shell pipeline makes them.
struct ProgramPipes {
    // Written to the program's standard input through a pipe, which is then
    // closed; without it, standard input is empty.
    std::optional<std::string> input;
    // Standard output read through a pipe instead of a file.
    bool outputThroughPipe = false;
};

// One run of `program` with `arguments` (UTF-8, passed as they are, whatever
// their characters), an empty standard input, and both outputs sent to files
// in `scratchFolder`, unless `pipes` says otherwise. `launcher`, when given,
// runs it: a command that takes the program and its arguments after its own
// (setpriv, an emulator).
class ProgramProcess {
  public:
    ProgramProcess(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& scratchFolder, const std::vector<std::string>& launcher = {},
                   const ProgramPipes& pipes = {});
    // Kills the process if it still runs.
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    bool Started() const;
    // The process id (POSIX).
    long Pid() const { return static_cast<long>(process_); }
    // Ends it at once, as a power cut or `kill -9` would.
    void Kill();
    // Asks it to stop as Ctrl+C does (SIGINT on POSIX).
    void Interrupt();
    // Asks it to end as the system does at a shutdown (SIGTERM on POSIX, a
    // Ctrl+Break on Windows).
    void Terminate();
    // Waits for it to end, at most `timeout`: a program still running then is
    // killed, the test fails, and the status is -1.
    ProgramRun Wait(std::chrono::milliseconds timeout = std::chrono::minutes(5));

  private:
    // Threads that run beside the program: one feeds its standard input, one
    // reads its standard output. Joined once it has ended (and closed its
    // ends of the pipes), at the latest when they go.
    class PipeThreads {
      public:
        ~PipeThreads() { Join(); }
        void Run(std::function<void()> work) { threads_.emplace_back(std::move(work)); }
        void Join() {
            for (std::thread& thread : threads_) {
                if (thread.joinable()) {
                    thread.join();
                }
            }
        }

      private:
        std::vector<std::thread> threads_;
    };

    std::string scratchFolder_;
    std::intptr_t process_ = -1;              // a pid, or a process handle
    unsigned long processId_ = 0;             // Windows: for the Ctrl+Break
    std::optional<std::string> pipedOutput_;  // standard output read so far through a pipe
    PipeThreads pipeThreads_;                 // declared last: they use the above
};

inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& scratchFolder,
                             const std::vector<std::string>& launcher = {},
                             const ProgramPipes& pipes = {}) {
    return ProgramProcess(program, arguments, scratchFolder, launcher, pipes).Wait();
}

// The path of the morcelix-cli program of this build.
std::string CliProgram();

// What begins each of its messages on standard error.
inline const std::string kCliPrefix = "morcelix-cli : ";

// What runs a program of this build on this machine: `before`, followed by
// the emulator of another processor when the build needs one.
std::vector<std::string> BuiltProgramLauncher(std::vector<std::string> before = {});

}  // namespace morcelix::testing
