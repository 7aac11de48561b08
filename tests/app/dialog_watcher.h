// Drives modal windows from a second thread, as a person would: the thread
// waits for a visible, enabled window of the test's thread, then acts on it
// while the test's thread sits in the modal loop.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace morcelix::testing {

using namespace std::chrono_literals;

using WindowTest = std::function<bool(HWND)>;

// How long a person waits for a window to show or to go before giving up. A
// waiting that ends early fails the test, and the window left open would hang
// it: the first open-file dialog of a process, under emulation on a busy
// machine, has taken more than 5 s to show.
inline constexpr std::chrono::milliseconds kPatience = 60s;

// A visible, enabled top-level window of `thread` that passes `test`, waited
// for up to `timeout`; nullptr if none shows up.
HWND WaitForWindow(DWORD thread, const WindowTest& test,
                   std::chrono::milliseconds timeout = kPatience);
// Waits up to `timeout` until `window` is gone; false if it is still there.
bool WaitUntilGone(HWND window, std::chrono::milliseconds timeout = kPatience);

// Tests for WaitForWindow.
WindowTest IsDialogBox();                                // class "#32770"
WindowTest IsDialogBoxSaying(const std::wstring& text);  // and its text static says `text`

std::wstring ClassOf(HWND window);
std::wstring TextOf(HWND window);
// The text of the static control that holds a dialog box's message.
std::wstring MessageOf(HWND dialog);
HWND ButtonOf(HWND dialog);  // its first push button

// Runs `action` on the first window of the calling thread that passes `test`,
// from a thread of its own. If no such window appears, or the action leaves it
// open, the watcher closes it, so that a failing test fails instead of hanging.
class DialogWatcher {
  public:
    DialogWatcher(WindowTest test, std::function<void(HWND)> action);
    ~DialogWatcher();  // waits for the watcher thread
    DialogWatcher(const DialogWatcher&) = delete;
    DialogWatcher& operator=(const DialogWatcher&) = delete;

    // Whether the window appeared and the action closed it.
    bool Succeeded();

  private:
    std::thread thread_;
    bool found_ = false;
    bool closed_ = false;
};

}  // namespace morcelix::testing
