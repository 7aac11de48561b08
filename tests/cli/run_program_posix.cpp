#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace morcelix::testing {

// The test's ends of the pipes: one thread writes the program's input and
// closes the pipe, another reads its output to the end.
class ProgramProcess::PipeEnds {
  public:
    // `input` and `output`: the test's ends, or -1.
    PipeEnds(int input, std::string bytes, int output) : readsOutput_(output >= 0) {
        if (input >= 0) {
            writer_ = std::thread([input, bytes = std::move(bytes)] {
                // A program that stops reading makes the writes fail (EPIPE)
                // instead of ending the tests with SIGPIPE.
                sigset_t pipeSignal;
                sigemptyset(&pipeSignal);
                sigaddset(&pipeSignal, SIGPIPE);
                pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
                for (std::size_t at = 0; at < bytes.size();) {
                    const ssize_t done = write(input, bytes.data() + at, bytes.size() - at);
                    if (done < 0 && errno != EINTR) {
                        break;
                    }
                    at += static_cast<std::size_t>(std::max<ssize_t>(done, 0));
                }
                close(input);
            });
        }
        if (output >= 0) {
            reader_ = std::thread([this, output] {
                char buffer[65536];
                ssize_t done = 0;
                while ((done = read(output, buffer, sizeof buffer)) != 0) {
                    if (done > 0) {
                        read_.append(buffer, static_cast<std::size_t>(done));
                    } else if (errno != EINTR) {
                        break;
                    }
                }
                close(output);
            });
        }
    }
    ~PipeEnds() { Finish(); }
    PipeEnds(const PipeEnds&) = delete;
    PipeEnds& operator=(const PipeEnds&) = delete;

    // What the program wrote through the pipe (nothing when its output went
    // to a file), once it has ended and closed its ends.
    std::optional<std::string> Finish() {
        for (std::thread* thread : {&writer_, &reader_}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
        return readsOutput_ ? std::optional(read_) : std::nullopt;
    }

  private:
    std::thread writer_;
    std::thread reader_;
    bool readsOutput_ = false;
    std::string read_;
};

ProgramProcess::ProgramProcess(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& scratchFolder,
                               const std::vector<std::string>& launcher, const ProgramPipes& pipes)
    : scratchFolder_(scratchFolder) {
    const std::string outPath = scratchFolder + "/out.txt";
    const std::string errPath = scratchFolder + "/err.txt";
    // The test's ends are closed on exec, so that no program holds them open.
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes.input && pipe2(input, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (pipes.outputThroughPipe && pipe2(output, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);

    std::vector<std::string> words = launcher;
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        process_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (const int programEnd : {input[0], output[1]}) {
        if (programEnd >= 0) {
            close(programEnd);
        }
    }
    if (input[1] >= 0 || output[0] >= 0) {
        pipes_ = std::make_unique<PipeEnds>(input[1], pipes.input.value_or(""), output[0]);
    }
}

ProgramProcess::~ProgramProcess() {
    if (process_ > 0) {
        Kill();
        waitpid(static_cast<pid_t>(process_), nullptr, 0);
    }
}

bool ProgramProcess::Started() const {
    return process_ > 0;
}

void ProgramProcess::Kill() {
    if (process_ > 0) {
        kill(static_cast<pid_t>(process_), SIGKILL);
    }
}

void ProgramProcess::Interrupt() {
    if (process_ > 0) {
        kill(static_cast<pid_t>(process_), SIGINT);
    }
}

void ProgramProcess::Terminate() {
    if (process_ > 0) {
        kill(static_cast<pid_t>(process_), SIGTERM);
    }
}

ProgramRun ProgramProcess::Wait(std::chrono::milliseconds timeout) {
    ProgramRun run;
    if (process_ <= 0) {
        return run;
    }
    const auto pid = static_cast<pid_t>(process_);
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (ended == 0) {
        ADD_FAILURE() << "the program still ran after " << timeout.count() << " ms";
        Kill();
        waitpid(pid, &status, 0);
    } else {
        // A program killed by a signal shows as the shell shows it: 128 + the signal.
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    process_ = -1;
    const std::optional<std::string> piped = pipes_ ? pipes_->Finish() : std::nullopt;
    run.out = piped ? *piped : ReadFileBytes(scratchFolder_ + "/out.txt");
    run.err = ReadFileBytes(scratchFolder_ + "/err.txt");
    return run;
}

std::string CliProgram() {
    return MORCELIX_CLI_PROGRAM;
}

std::vector<std::string> BuiltProgramLauncher(std::vector<std::string> before) {
#ifdef MORCELIX_PROGRAM_EMULATOR
    before.push_back(MORCELIX_PROGRAM_EMULATOR);
#endif
    return before;
}

}  // namespace morcelix::testing
