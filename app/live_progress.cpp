#include "app/live_progress.h"

#include <commctrl.h>

namespace morcelix {

namespace {

// A window that never validates its update region would keep WM_PAINT coming:
// at most this many paints and timers per visit.
constexpr int kMostPerVisit = 64;

// PeekMessage returns a pending WM_QUIT whatever range it is asked for, and
// takes it out of the queue: the quit is kept aside and posted again at the
// end, for the message loop.
class QuitKept {
  public:
    QuitKept() = default;
    ~QuitKept() {
        if (seen_) {
            PostQuitMessage(exitCode_);
        }
    }
    QuitKept(const QuitKept&) = delete;
    QuitKept& operator=(const QuitKept&) = delete;

    // Takes the next message in [first, last]; false when there is none.
    // A WM_QUIT met on the way is kept aside.
    bool Take(MSG& message, UINT first, UINT last) {
        while (PeekMessageW(&message, nullptr, first, last, PM_REMOVE)) {
            if (message.message != WM_QUIT) {
                return true;
            }
            seen_ = true;
            exitCode_ = static_cast<int>(message.wParam);
        }
        return false;
    }

  private:
    bool seen_ = false;
    int exitCode_ = 0;
};

// Echoes the gestures that ask to stop, as the message loop's dialog keys
// and the frame's own handling would have turned them.
void PassOnStopGesture(const MSG& input) {
    HWND window = GetAncestor(input.hwnd, GA_ROOT);
    if (window == nullptr) {
        return;
    }
    const bool altDown = (HIWORD(input.lParam) & KF_ALTDOWN) != 0;
    if (input.message == WM_KEYDOWN && input.wParam == VK_ESCAPE) {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else if ((input.message == WM_NCLBUTTONDOWN && input.wParam == HTCLOSE) ||
               (input.message == WM_SYSKEYDOWN && input.wParam == VK_F4 && altDown)) {
        SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
}

// `stopGestures`: whether the gestures that ask to stop are passed on.
void DiscardInput(QuitKept& quit, bool stopGestures) {
    static constexpr UINT kInputRanges[][2] = {
        {WM_KEYFIRST, WM_KEYLAST},
        {WM_MOUSEFIRST, WM_MOUSELAST},
        {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
    };
    MSG input;
    for (const auto& range : kInputRanges) {
        while (quit.Take(input, range[0], range[1])) {
            if (stopGestures) {
                PassOnStopGesture(input);
            }
        }
    }
}

void DispatchWaiting(QuitKept& quit, UINT message) {
    MSG waiting;
    for (int i = 0; i < kMostPerVisit && quit.Take(waiting, message, message); ++i) {
        DispatchMessageW(&waiting);
    }
}

}  // namespace

void DiscardInput() {
    QuitKept quit;
    DiscardInput(quit, false);
}

void ServeWindows() {
    QuitKept quit;
    DiscardInput(quit, true);
    DispatchWaiting(quit, WM_CLOSE);
    DispatchWaiting(quit, WM_DROPFILES);
    DispatchWaiting(quit, WM_PAINT);
    DispatchWaiting(quit, WM_TIMER);
}

void ProgressBar::SetPosition(int percent) {
    SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    UpdateWindow(bar_);
}

void LiveProgress::Begin(std::int64_t total, std::int64_t) {
    total_ = total;
}

void LiveProgress::Moved(std::int64_t done, Mark mark) {
    if (mark != Mark::Block) {
        bar_.SetPosition(mark == Mark::Start ? 0 : Percent(done, total_));
    }
    ServeWhenDue();
}

void LiveProgress::ServeWhenDue() {
    const std::uint64_t now = GetTickCount64();
    if (now - lastServed_ >= interval_) {
        lastServed_ = now;
        ServeWindows();
    }
}

}  // namespace morcelix
