// The tool's boundary with its process: arguments in, text out, UTF-8 on both
// sides whatever the platform. One backend per platform (console_posix.cpp,
// console_win.cpp).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/split.h"

namespace morcelix::cli {

// The arguments after the program's name, as UTF-8. On Windows they are read
// again from the wide command line, so that any file name survives, and "/?"
// there stands for --aide; `argv` is used elsewhere.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Standard output and standard error as streams that take UTF-8 text.
std::ostream& StandardOutput();
std::ostream& StandardError();

// Standard input and output as bytes, passed unchanged (no text translation,
// no line end conversion), for the data of "decouper -" and "regrouper -c".
// Output is written as it comes, nothing held back. Where the platform lets a
// wait for input or output be cut short (POSIX), an interruption requested
// meanwhile (RequestInterruption) raises EInterrupted within a fraction of a
// second.
class StandardInputData : public SequentialInput {
  public:
    std::int32_t ReadSome(void* buffer, std::int32_t count) override;
    std::optional<FileIdentity> FileItReads() const override;
    void RequireReadable() const override;
};

// Writes only, and has no position.
class StandardOutputData : public TStream {
  public:
    std::int32_t Read(void*, std::int32_t) override { return 0; }
    // Writes all of `buffer` unless the output fails: then returns how much went.
    std::int32_t Write(const void* buffer, std::int32_t count) override;
    std::int64_t Seek(std::int64_t, SeekOrigin) override { return -1; }
};

// Where the process was started with a standard stream closed, gives it one
// that leads nowhere, so that no file the program opens takes its place (and
// its number): data or messages would go into it. Called first, before any
// file is opened; standard input closed so is then refused when it is read.
void GuardStandardStreams();

// Whether standard error is a terminal (a console on Windows), where a
// progress line may be drawn.
bool StandardErrorIsTerminal();

// From now on, Ctrl+C and the requests to end the process (SIGINT and SIGTERM
// on POSIX; Ctrl+C, Ctrl+Break and the console's close on Windows) request an
// interruption of the running operation (RequestInterruption) instead of
// ending it mid-way. The process still ends within kInterruptionGraceSeconds,
// and at once on a second request: then as a kill would end it, writing
// ForcedEndMessage() first.
void CatchInterruptions();

}  // namespace morcelix::cli
