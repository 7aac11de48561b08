#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace morcelix::testing {

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
    if (input[1] >= 0) {
        pipeThreads_.Run([fd = input[1], bytes = *pipes.input] {
            // A program that stops reading makes the writes fail (EPIPE)
            // instead of ending the tests with SIGPIPE.
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t done = write(fd, bytes.data() + at, bytes.size() - at);
                if (done < 0 && errno != EINTR) {
                    break;
                }
                at += static_cast<std::size_t>(std::max<ssize_t>(done, 0));
            }
            close(fd);
        });
    }
    if (output[0] >= 0) {
        pipedOutput_.emplace();
        pipeThreads_.Run([this, fd = output[0]] {
            char buffer[65536];
            ssize_t done = 0;
            while ((done = read(fd, buffer, sizeof buffer)) != 0) {
                if (done > 0) {
                    pipedOutput_->append(buffer, static_cast<std::size_t>(done));
                } else if (errno != EINTR) {
                    break;
                }
            }
            close(fd);
        });
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
    struct rusage usage {};
    while ((ended = wait4(pid, &status, WNOHANG, &usage)) == 0 &&
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
        run.peakKiB = usage.ru_maxrss;
    }
    process_ = -1;
    pipeThreads_.Join();
    run.out = pipedOutput_ ? *pipedOutput_ : ReadFileBytes(scratchFolder_ + "/out.txt");
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
