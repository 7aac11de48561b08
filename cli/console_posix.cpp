#include <unistd.h>

#include <iostream>

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

}  // namespace morcelix::cli
