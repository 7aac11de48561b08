// The command-line tool's commands, apart from the process around them: they
// take the arguments as UTF-8 and write UTF-8 text to the streams they are given.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/split.h"

namespace morcelix::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;        // the operation was refused or failed
inline constexpr int kExitUsage = 2;          // a mistake in the command line
inline constexpr int kExitInterrupted = 130;  // stopped by Ctrl+C, as a shell counts SIGINT

// Every message on standard error begins with the program's name.
inline constexpr const char* kMessagePrefix = "morcelix-cli : ";

// The data that goes through the process's standard streams rather than
// files: what "decouper -" splits, and what "regrouper -c" writes.
struct DataStreams {
    SequentialInput& input;
    TStream& output;
};

// Runs the command that `arguments` (without the program's name) spell:
//   decouper FICHIER TAILLE | regrouper [--garder] PREMIER.001 | verifier PREMIER.001
// or prints the usage for -h/--aide. Results go to `out`, failures and usage
// errors to `err`, and a progress line to `err` when `errIsTerminal`; `data`
// carries standard input and output as bytes. "--" ends the options, so that
// any file name can be given. Returns the exit status.
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           bool errIsTerminal, const DataStreams& data);

// Asks the running operation to stop at its next block, as Ctrl+C does: a
// join then cuts its destination back so that running it again finishes it,
// a split removes its pieces (one of standard input keeps them); RunCli
// returns kExitInterrupted. A request made before an operation starts stops
// it at once; an honoured one is forgotten. Safe to call from a signal
// handler or another thread.
void RequestInterruption();
bool InterruptionRequested();

// How long an operation asked to stop has to do it cleanly before the process
// ends regardless: a stop that can not come (a read that waits for ever, say)
// must not keep a program that was asked to end.
inline constexpr unsigned kInterruptionGraceSeconds = 2;

// The line to write when the process ends at once, its operation unfinished:
// what the operation's interruption says (nullptr between operations). Safe
// to call from a signal handler or another thread.
const char* ForcedEndMessage();

}  // namespace morcelix::cli
