#include <signal.h>
#include <unistd.h>

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

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = [](int) { RequestInterruption(); };
    sigemptyset(&action.sa_mask);
    // Calls in progress go on: the operation looks at the request between blocks.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace morcelix::cli
