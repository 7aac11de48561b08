#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <streambuf>

#include "cli/commands.h"
#include "cli/console.h"
#include "pieces/failure.h"
#include "pieces/utf16.h"

namespace morcelix::cli {

namespace {

// The length of the longest prefix of `text` that ends on a whole UTF-8 sequence.
std::size_t WholeSequences(const std::string& text) {
    const std::size_t size = text.size();
    // Look back over at most three continuation bytes for the last lead byte.
    for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;
        }
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

// A stream buffer over a standard handle. A console receives the text as
// UTF-16 through WriteConsoleW, which shows every character whatever the
// console's code page; a file or a pipe receives the UTF-8 bytes unchanged.
// Text is held until a line ends or the stream is flushed, and a sequence cut
// by a flush waits for its last bytes.
class StandardHandleBuffer : public std::streambuf {
  public:
    explicit StandardHandleBuffer(DWORD which) : handle_(GetStdHandle(which)) {
        DWORD mode = 0;
        console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
                   GetConsoleMode(handle_, &mode) != 0;
    }
    ~StandardHandleBuffer() override { Emit(); }

    bool IsConsole() const { return console_; }

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            pending_.push_back(traits_type::to_char_type(c));
            if (c == '\n' && !Emit()) {
                return traits_type::eof();
            }
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<std::size_t>(count));
        if ((pending_.find('\n') != std::string::npos || pending_.size() >= 4096) && !Emit()) {
            return 0;
        }
        return count;
    }

    int sync() override { return Emit() ? 0 : -1; }

  private:
    // Writes the whole sequences held; false when the handle refused them.
    bool Emit() {
        const std::size_t whole = WholeSequences(pending_);
        if (whole == 0) {
            return true;
        }
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            // Started without this handle: the text has nowhere to go.
            pending_.erase(0, whole);
            return true;
        }
        bool done = true;
        const std::string_view text(pending_.data(), whole);
        if (console_) {
            const std::wstring wide = Widen(text);
            DWORD written = 0;
            for (std::size_t at = 0; at < wide.size(); at += written) {
                const auto chunk =
                    static_cast<DWORD>(std::min<std::size_t>(wide.size() - at, 8192));
                if (!WriteConsoleW(handle_, wide.data() + at, chunk, &written, nullptr) ||
                    written == 0) {
                    done = false;
                    break;
                }
            }
        } else {
            DWORD written = 0;
            for (std::size_t at = 0; at < text.size(); at += written) {
                if (!WriteFile(handle_, text.data() + at, static_cast<DWORD>(text.size() - at),
                               &written, nullptr) ||
                    written == 0) {
                    done = false;
                    break;
                }
            }
        }
        pending_.erase(0, whole);
        return done;
    }

    HANDLE handle_;
    bool console_ = false;
    std::string pending_;
};

StandardHandleBuffer& OutputBuffer() {
    static StandardHandleBuffer buffer(STD_OUTPUT_HANDLE);
    return buffer;
}

StandardHandleBuffer& ErrorBuffer() {
    static StandardHandleBuffer buffer(STD_ERROR_HANDLE);
    return buffer;
}

}  // namespace

std::vector<std::string> ProgramArguments(int, char**) {
    // The narrow argv of the C runtime holds the ANSI code page's rendering of
    // each argument: characters outside it arrive as "?". The wide command line
    // keeps them all.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    if (wide == nullptr) {
        return arguments;
    }
    // "/?" asks for help here, where no file name holds a "?" (before "--",
    // which ends the options).
    bool optionsEnded = false;
    for (int i = 1; i < count; ++i) {
        std::string argument = Narrow(wide[i]);
        optionsEnded = optionsEnded || argument == "--";
        arguments.push_back(!optionsEnded && argument == "/?" ? "--aide" : std::move(argument));
    }
    LocalFree(wide);
    return arguments;
}

std::ostream& StandardOutput() {
    static std::ostream stream(&OutputBuffer());
    return stream;
}

std::ostream& StandardError() {
    static std::ostream stream(&ErrorBuffer());
    return stream;
}

// The handles are used as they are: ReadFile and WriteFile move bytes
// unchanged, with none of the C runtime's text mode (no CRLF translation).
void GuardStandardStreams() {
    // A handle's value is never given to another file: nothing to guard.
}

std::optional<FileIdentity> StandardInputData::FileItReads() const {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION info{};
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(input, &info)) {
        return std::nullopt;
    }
    return FileIdentity{
        info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

void StandardInputData::RequireReadable() const {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        throw EInputClosed();
    }
}

std::int32_t StandardInputData::ReadSome(void* buffer, std::int32_t count) {
    DWORD done = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(count), &done,
                  nullptr)) {
        // A pipe whose writer has closed its end: the end of the input.
        if (GetLastError() == ERROR_BROKEN_PIPE) {
            return 0;
        }
        throw EReadError();
    }
    return static_cast<std::int32_t>(done);
}

std::int32_t StandardOutputData::Write(const void* buffer, std::int32_t count) {
    const auto* bytes = static_cast<const char*>(buffer);
    std::int32_t written = 0;
    while (written < count) {
        DWORD done = 0;
        if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes + written,
                       static_cast<DWORD>(count - written), &done, nullptr) ||
            done == 0) {
            break;
        }
        written += static_cast<std::int32_t>(done);
    }
    return written;
}

bool StandardErrorIsTerminal() {
    return ErrorBuffer().IsConsole();
}

namespace {

std::atomic<int> interruptions{0};

// Ends the process at once, as a kill would: the join left as it stands is
// finished by running it again.
void EndAtOnce() {
    if (const char* message = ForcedEndMessage()) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(strlen(message)),
                  &written, nullptr);
    }
    TerminateProcess(GetCurrentProcess(), kExitInterrupted);
}

// The system runs this on a thread of its own, for Ctrl+C and Ctrl+Break, and
// when the console closes or the session ends (the process is ended anyway
// once this returns from those). The operation looks at the request between
// blocks; if the process is still there after the grace time, this thread
// ends it.
BOOL WINAPI OnConsoleEvent(DWORD) {
    if (interruptions++ == 0) {
        RequestInterruption();
        Sleep(kInterruptionGraceSeconds * 1000);
    }
    EndAtOnce();
    return TRUE;
}

}  // namespace

void CatchInterruptions() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace morcelix::cli
