#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>

#include "cli/commands.h"
#include "cli/console.h"

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
