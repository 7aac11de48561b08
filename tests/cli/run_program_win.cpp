#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "pieces/utf16.h"
#include "tests/cli/run_program.h"
#include "tests/support/temp_folder.h"

namespace morcelix::testing {

namespace {

// One argument as the C runtime's command-line parser (CommandLineToArgvW)
// reads it back: quoted when it holds blanks or quotes or is empty, with the
// backslashes before a quote, or before the closing quote, doubled.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE Get() const { return handle_; }

  private:
    HANDLE handle_;
};

HANDLE InheritableFile(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE Process(std::intptr_t process) {
    return reinterpret_cast<HANDLE>(process);
}

}  // namespace

namespace {

// A pipe whose end for the program is inheritable, and the test's not.
struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

Pipe InheritablePipe(bool programReads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Pipe pipe;
    if (CreatePipe(&pipe.read, &pipe.write, &inherit, 0)) {
        SetHandleInformation(programReads ? pipe.write : pipe.read, HANDLE_FLAG_INHERIT, 0);
    }
    return pipe;
}

}  // namespace

ProgramProcess::ProgramProcess(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& scratchFolder, const std::vector<std::string>&,
                               const ProgramPipes& pipes)
    : scratchFolder_(scratchFolder) {
    const Pipe inputPipe = pipes.input ? InheritablePipe(true) : Pipe{};
    const Pipe outputPipe = pipes.outputThroughPipe ? InheritablePipe(false) : Pipe{};
    OwnedHandle input(inputPipe.read != nullptr
                          ? inputPipe.read
                          : InheritableFile("NUL", GENERIC_READ, OPEN_EXISTING));
    OwnedHandle output(outputPipe.write != nullptr ? outputPipe.write
                                                   : InheritableFile(scratchFolder + "\\out.txt",
                                                                     GENERIC_WRITE, CREATE_ALWAYS));
    OwnedHandle error(InheritableFile(scratchFolder + "\\err.txt", GENERIC_WRITE, CREATE_ALWAYS));

    std::wstring commandLine = QuoteArgument(Widen(program));
    for (const std::string& argument : arguments) {
        commandLine += L' ' + QuoteArgument(Widen(argument));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = error.Get();
    PROCESS_INFORMATION process{};
    // A process group of its own, so that a Ctrl+Break can be sent to it alone.
    if (CreateProcessW(Widen(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
        processId_ = process.dwProcessId;
    }
    if (inputPipe.write != nullptr) {
        pipeThreads_.Run([handle = inputPipe.write, bytes = *pipes.input] {
            DWORD done = 0;
            for (std::size_t at = 0; at < bytes.size(); at += done) {
                if (!WriteFile(handle, bytes.data() + at, static_cast<DWORD>(bytes.size() - at),
                               &done, nullptr)) {
                    break;  // the program stopped reading
                }
            }
            CloseHandle(handle);
        });
    }
    if (outputPipe.read != nullptr) {
        pipedOutput_.emplace();
        pipeThreads_.Run([this, handle = outputPipe.read] {
            char buffer[65536];
            DWORD done = 0;
            while (ReadFile(handle, buffer, sizeof buffer, &done, nullptr) && done > 0) {
                pipedOutput_->append(buffer, done);
            }
            CloseHandle(handle);
        });
    }
}

ProgramProcess::~ProgramProcess() {
    if (Started()) {
        Kill();
        WaitForSingleObject(Process(process_), INFINITE);
        CloseHandle(Process(process_));
    }
}

bool ProgramProcess::Started() const {
    return process_ != -1;
}

void ProgramProcess::Kill() {
    if (Started()) {
        TerminateProcess(Process(process_), 137);
    }
}

void ProgramProcess::Interrupt() {
    if (Started()) {
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processId_);
    }
}

void ProgramProcess::Terminate() {
    Interrupt();
}

ProgramRun ProgramProcess::Wait(std::chrono::milliseconds timeout) {
    ProgramRun run;
    if (!Started()) {
        return run;
    }
    if (WaitForSingleObject(Process(process_), static_cast<DWORD>(timeout.count())) ==
        WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(Process(process_), &code);
        run.status = static_cast<int>(code);
    } else {
        ADD_FAILURE() << "the program still ran after " << timeout.count() << " ms";
        Kill();
        WaitForSingleObject(Process(process_), INFINITE);
    }
    CloseHandle(Process(process_));
    process_ = -1;
    pipeThreads_.Join();
    run.out = pipedOutput_ ? *pipedOutput_ : ReadFileBytes(scratchFolder_ + "\\out.txt");
    run.err = ReadFileBytes(scratchFolder_ + "\\err.txt");
    return run;
}

std::string CliProgram() {
    std::string path = MORCELIX_CLI_PROGRAM;
    // Built on Linux and run under Wine: the build tree's Unix path is reached
    // through the Z: drive.
    if (path.starts_with('/')) {
        path = "Z:" + path;
    }
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::vector<std::string> BuiltProgramLauncher(std::vector<std::string> before) {
    return before;
}

}  // namespace morcelix::testing
