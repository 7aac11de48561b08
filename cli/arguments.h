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
const std::string& Usage();
extern const char* const kSeeHelp;
extern const char* const kVersion;

// What "decouper" reads instead of a file to stand for standard input.
inline constexpr const char* kStandardInput = "-";

// A mistake in the arguments: its text goes to standard error with the exit status 2.
struct UsageError {
    std::string text;
};

enum class Option {
    Help,
    Version,
    Keep,
    Folder,
    Parts,
    Checksum,
    Recovery,
    InPlace,
    Name,
    ToStandardOutput,
    Force,
    Verbose,
    Quiet,
    Notice,
};

struct GivenOption {
    std::string spelling;  // "-o" or the long name in full ("--dossier"), for the messages
    std::string value;     // empty for an option that takes none
};

struct Command {
    std::string name;
    std::vector<std::string> operands;
    // The options given; of one given twice, the last.
    std::map<Option, GivenOption> options;
    // N of --parties (decouper then takes no TAILLE); 0 without it.
    std::int64_t parts = 0;
    // --secours N: the recovery slices to write beside the pieces; 0: none.
    std::uint32_t recoverySlices = 0;
    // The bytes TAILLE stands for (decouper without --parties); 0 otherwise.
    std::int64_t pieceSize = 0;

    bool Has(Option option) const { return options.contains(option); }
    // The option's value; empty when it was not given.
    std::string Value(Option option) const {
        return Has(option) ? options.at(option).value : std::string();
    }
};

// Reads the arguments (without the program's name) with getopt_long, as GNU
// programs read theirs: short options may be combined ("-hV") and take their
// value attached or as the next argument ("-oD", "-o D"), long ones after "="
// or as the next argument ("--dossier=D", "--dossier D") and may be shortened
// while they stay unambiguous; options may stand before, between or after the
// command's words, and "--" ends them. A value may not be empty. With Help or
// Version, nothing else is checked and the name may be empty; otherwise the
// name is a known command with its number of operands and its options, and
// TAILLE is read (PieceSizeFromArgument). Raises UsageError.
//
// getopt_long keeps its state in globals: this resets it first, and is not
// to be called from two threads at once.
Command ParseArguments(const std::vector<std::string>& arguments);

// The piece size in bytes that TAILLE stands for, which is one of:
//  - a preset's name, in any case: cd (700 Mo), dvd (4697 Mo: a single-layer
//    DVD's 4480 MiB in whole Mo), fat32 (4294 Mo: the most whole Mo below
//    FAT32's file limit of 4 GiB less a byte), courriel (14 Mo: 20 MB once
//    base64 has grown it for a message), discord (10 Mo: under 10 MiB),
//    github (100 Mo: under 100 MiB), telegram (2147 Mo: under 2 GiB);
//  - a number of Mo, whole or with a decimal part after "," or ".";
//  - a number followed by a unit, in any case, with or without spaces
//    between: o; k, Ko, kB; M, Mo, MB; G, Go, GB; T, To, TB (powers of 1000);
//    Kio, KiB, Mio, MiB, Gio, GiB, Tio, TiB (powers of 1024).
// Spaces may also stand before and after. Rounded down to whole bytes; at
// least 1 byte, at most 2^63 - 1. Raises UsageError quoting the text as given
// for anything else.
std::int64_t PieceSizeFromArgument(const std::string& text);

}  // namespace morcelix::cli
