// Reading morcelix-cli's command line: its commands, its options and the
// mistakes refused before anything is done.
#pragma once

#include <cstdint>
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

// The piece size in bytes that TAILLE stands for: a preset's name, in any case
// (cd: 700 Mo; dvd: 4697 Mo, a single-layer DVD's 4480 MiB in whole Mo; fat32:
// 4294 Mo, the most whole Mo below FAT32's file limit of 4 GiB less a byte), or
// whole Mo read as the window reads its size field, with the same refusals.
std::int64_t PieceSizeFromArgument(const std::string& text);

}  // namespace morcelix::cli
