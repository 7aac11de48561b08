#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

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
// how). The requests to stop are taken by another thread (see
// CatchInterruptions), and a blocked read or write would wait on, so the wait is made here, in
// slices, and an interruption requested meanwhile raises EInterrupted(`interrupted`).
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

namespace {

bool standardInputClosed = false;

}  // namespace

void GuardStandardStreams() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number: this one.
            open("/dev/null", (fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
            standardInputClosed = standardInputClosed || fd == STDIN_FILENO;
        }
    }
}

std::optional<FileIdentity> StandardInputData::FileItReads() const {
    struct stat status {};
    if (standardInputClosed || fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                        static_cast<std::uint64_t>(status.st_ino)};
}

void StandardInputData::RequireReadable() const {
    struct stat status {};
    if (standardInputClosed || fstat(STDIN_FILENO, &status) != 0) {
        throw EInputClosed();
    }
    if (S_ISDIR(status.st_mode)) {
        throw EInputIsAFolder();
    }
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_WRONLY) {
        throw EInputNotReadable();
    }
}

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

// Ends the process at once, as a kill would: the join left as it stands is
// finished by running it again.
[[noreturn]] void EndAtOnce() {
    if (const char* message = ForcedEndMessage()) {
        const ssize_t ignored = write(STDERR_FILENO, message, strlen(message));
        (void)ignored;
    }
    _exit(kExitInterrupted);
}

}  // namespace

void CatchInterruptions() {
    // The requests are taken by a thread of their own, which waits for them:
    // no handler ever interrupts the operation's threads (a blocked call, a
    // lane of the checked copy). Every thread made afterwards inherits the
    // blocked mask.
    sigset_t requests;
    sigemptyset(&requests);
    sigaddset(&requests, SIGINT);
    sigaddset(&requests, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &requests, nullptr);
    std::thread([requests] {
        int signal = 0;
        while (sigwait(&requests, &signal) != 0) {
        }
        RequestInterruption();
        // A second request, or the grace time over, ends the process.
        const timespec grace{kInterruptionGraceSeconds, 0};
        while (sigtimedwait(&requests, nullptr, &grace) < 0 && errno == EINTR) {
        }
        EndAtOnce();
    }).detach();
}

}  // namespace morcelix::cli
