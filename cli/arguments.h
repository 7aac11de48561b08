// Reading morcelix-cli's command line: its commands, its options and the
// mistakes refused before anything is done.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace morcelix::cli {

// The help text, the line that follows a mistake, and the text of --version:
// the name, the version and the licence line. Each ends in a line end.
extern const char* const kUsage;
extern const char* const kSeeHelp;
extern const char* const kVersion;

// A mistake in the arguments: its text goes to standard error with the exit status 2.
struct UsageError {
    std::string text;
};

enum class Option { Help, Version, Keep, Folder, Parts, Checksum, Verbose, Quiet };

struct GivenOption {
    std::string spelling;  // as typed, for the messages
    std::string value;     // empty for an option that takes none
};

struct Command {
    std::string name;
    std::vector<std::string> operands;
    // The options given; of one given twice, the last.
    std::map<Option, GivenOption> options;
    // N of --parties (decouper then takes no TAILLE); 0 without it.
    std::int64_t parts = 0;

    bool Has(Option option) const { return options.contains(option); }
    // The option's value; empty when it was not given.
    std::string Value(Option option) const {
        return Has(option) ? options.at(option).value : std::string();
    }
};

// Reads the arguments (without the program's name). Options may stand before,
// between or after the command's words, and "--" ends them. An option's value
// is the next argument, whatever it is, or follows "=" in the long spelling
// ("--dossier=D"); it may not be empty. With Help or
// Version, nothing else is checked and the name may be empty; otherwise the name is a known
// command with its number of operands and its options. Raises UsageError.
Command ParseArguments(const std::vector<std::string>& arguments);

// The piece size in bytes that TAILLE stands for: a preset's name, in any case
// (cd: 700 Mo; dvd: 4697 Mo, a single-layer DVD's 4480 MiB in whole Mo; fat32:
// 4294 Mo, the most whole Mo below FAT32's file limit of 4 GiB less a byte), or
// whole Mo read as the window reads its size field, with the same refusals.
std::int64_t PieceSizeFromArgument(const std::string& text);

}  // namespace morcelix::cli
