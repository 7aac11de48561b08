// The window's progress: ProgressBar1 and the sink that moves it, which keeps
// the program's windows drawn and answering while a split or join runs on the
// interface thread, without letting anything start another action, and passes
// on the user's requests to stop it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pieces/progress.h"

namespace morcelix {

// Removes and throws away the keyboard and mouse messages waiting for the
// calling thread's windows, client and non-client area alike: a click or a key
// given while an operation ran is not acted on afterwards.
void DiscardInput();

// Throws input away (DiscardInput), but for the gestures that ask to stop:
// Échap becomes the command IDCANCEL, and a press on the close box or Alt+F4
// the system command SC_CLOSE, for the top-level window they were given to.
// Then dispatches the closes and the file drops posted, paints what needs
// painting and runs the due timers. Messages sent by other threads and
// programs are answered on the way, as any look at the queue does. While an
// action runs, the main window ignores the commands and the drops, and takes
// Échap and a close as a request to stop. Nothing else that is waiting is
// taken: a posted command or quit stays for the message loop.
void ServeWindows();

// The progress bar, 0 to 100.
class ProgressBar final {
  public:
    explicit ProgressBar(HWND bar = nullptr) : bar_(bar) {}
    // Sets the bar's position and paints it at once: no messages are pumped
    // while an operation runs.
    void SetPosition(int percent);

  private:
    HWND bar_;
};

// A progress sink that shows on `bar` the whole percentage done after each
// piece and, while data is copied, serves the windows (ServeWindows) at most
// every `interval` milliseconds.
class LiveProgress final : public ProgressSink {
  public:
    static constexpr std::uint64_t kDefaultInterval = 50;

    explicit LiveProgress(ProgressBar& bar, std::uint64_t interval = kDefaultInterval)
        : bar_(bar), interval_(interval) {}

    void Begin(std::int64_t total, std::int64_t done) override;
    void Moved(std::int64_t done, Mark mark) override;

  private:
    void ServeWhenDue();

    ProgressBar& bar_;
    std::int64_t total_ = 0;
    std::uint64_t interval_;
    std::uint64_t lastServed_ = 0;
};

}  // namespace morcelix
