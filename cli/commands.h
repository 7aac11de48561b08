// The command-line tool's commands, apart from the process around them: they
// take the arguments as UTF-8 and write UTF-8 text to the streams they are given.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace morcelix::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the operation failed, or verifier found a gap
inline constexpr int kExitUsage = 2;    // the arguments do not form a command

// Runs the command that `arguments` (without the program's name) spell:
//   decouper FICHIER TAILLE | regrouper [--garder] PREMIER.001 | verifier PREMIER.001
// or prints the usage for -h/--aide. Results go to `out`, failures and usage
// errors to `err`, and a progress line to `err` when `errIsTerminal`. "--" ends
// the options, so that any file name can be given. Returns the exit status.
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal);

}  // namespace morcelix::cli
