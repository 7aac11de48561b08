// Reading morcelix-cli's command line: its commands, its options and the
// mistakes refused before anything is done.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace morcelix::cli {

// The help text, and the line that follows a mistake, both ending in a line end.
extern const char* const kUsage;
extern const char* const kSeeHelp;

// A mistake in the arguments: its text goes to standard error with the exit status 2.
struct UsageError {
    std::string text;
};

enum class Option { Help, Keep };

struct Command {
    std::string name;
    std::vector<std::string> operands;
    // The options given, each with its spelling as typed.
    std::map<Option, std::string> options;

    bool Has(Option option) const { return options.contains(option); }
};

// Reads the arguments (without the program's name). Options may stand before,
// between or after the command's words, and "--" ends them. With Help, nothing
// else is checked and the name may be empty; otherwise the name is a known
// command with its number of operands and its options. Raises UsageError.
Command ParseArguments(const std::vector<std::string>& arguments);

}  // namespace morcelix::cli
