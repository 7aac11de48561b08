#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli/commands.h"
#include "cli/console.h"
#include "pieces/failure.h"

namespace morcelix::cli {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::ostream& StandardOutput() {
    return std::cout;
}

std::ostream& StandardError() {
    return std::cerr;
}

namespace {

// How long a wait for standard input or output goes before it looks for an
// interruption again.
constexpr int kWaitSliceMs = 100;

// Returns once `fd` is ready for `events` (or failed: the next call says
// how). The handler of CatchInterruptions lets a blocked read or write wait
// on, so the wait is made here, in slices, and an interruption requested
// meanwhile raises EInterrupted(`interrupted`).
void WaitUntilReady(int fd, short events, Text interrupted) {
    for (;;) {
        pollfd watched{fd, events, 0};
        const int ready = poll(&watched, 1, kWaitSliceMs);
        if (InterruptionRequested()) {
            throw EInterrupted(interrupted);
        }
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return;
        }
    }
}

}  // namespace

std::int32_t StandardInputData::ReadSome(void* buffer, std::int32_t count) {
    for (;;) {
        WaitUntilReady(STDIN_FILENO, POLLIN, Text::SplitInterrupted);
        const ssize_t done = read(STDIN_FILENO, buffer, static_cast<size_t>(count));
        if (done >= 0) {
            return static_cast<std::int32_t>(done);
        }
        if (errno != EINTR && errno != EAGAIN) {
            throw EReadError();
        }
    }
}

std::int32_t StandardOutputData::Write(const void* buffer, std::int32_t count) {
    const auto* bytes = static_cast<const char*>(buffer);
    std::int32_t written = 0;
    while (written < count) {
        WaitUntilReady(STDOUT_FILENO, POLLOUT, Text::StreamJoinInterrupted);
        const ssize_t done =
            write(STDOUT_FILENO, bytes + written, static_cast<size_t>(count - written));
        if (done > 0) {
            written += static_cast<std::int32_t>(done);
        } else if (done == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
    }
    return written;
}

bool StandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

namespace {

std::atomic<int> interruptions{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted in a signal handler");

// Ends the process at once, as a kill would: the join left as it stands is
// finished by running it again.
[[noreturn]] void EndAtOnce() {
    if (const char* message = ForcedEndMessage()) {
        const ssize_t ignored = write(STDERR_FILENO, message, strlen(message));
        (void)ignored;
    }
    _exit(kExitInterrupted);
}

void OnInterruption(int) {
    if (interruptions++ > 0) {
        EndAtOnce();
    }
    RequestInterruption();
    alarm(kInterruptionGraceSeconds);  // then SIGALRM ends it
}

}  // namespace

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    // Calls in progress go on: the operation looks at the request between blocks.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = [](int) { EndAtOnce(); };
    sigaction(SIGALRM, &action, nullptr);
}

}  // namespace morcelix::cli
