// While a modal box or dialog is open, the program's other windows take no input.
#pragma once

#include <windows.h>

#include <vector>

namespace morcelix {

// Disables every visible, enabled top-level window of the calling thread but
// `except` for its lifetime, and gives the keyboard focus back where it was.
//
// A modal window's owner must be enabled again before the modal window is
// destroyed, or the system activates some other program's window instead: pass
// the owner as `except` when the box disables and re-enables it itself (as
// MessageBox does), or call Restore() before destroying a home-made one.
class DisabledWindows {
  public:
    explicit DisabledWindows(HWND except = nullptr);
    ~DisabledWindows();
    DisabledWindows(const DisabledWindows&) = delete;
    DisabledWindows& operator=(const DisabledWindows&) = delete;

    // Enables the windows again (once; the destructor then does nothing).
    void Restore();
    // Gives the focus back to the window that had it when this object was made.
    void RestoreFocus() const;

  private:
    static BOOL CALLBACK Collect(HWND window, LPARAM self);

    HWND except_;
    HWND focus_;
    std::vector<HWND> windows_;
};

}  // namespace morcelix
