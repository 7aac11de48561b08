#include "app/disabled_windows.h"

namespace morcelix {

DisabledWindows::DisabledWindows(HWND except) : except_(except), focus_(GetFocus()) {
    EnumThreadWindows(GetCurrentThreadId(), Collect, reinterpret_cast<LPARAM>(this));
    for (HWND window : windows_) {
        EnableWindow(window, FALSE);
    }
}

DisabledWindows::~DisabledWindows() {
    Restore();
}

void DisabledWindows::Restore() {
    for (HWND window : windows_) {
        if (IsWindow(window)) {
            EnableWindow(window, TRUE);
        }
    }
    windows_.clear();
}

void DisabledWindows::RestoreFocus() const {
    if (focus_ != nullptr && IsWindow(focus_) && IsWindowEnabled(focus_)) {
        SetFocus(focus_);
    }
}

BOOL CALLBACK DisabledWindows::Collect(HWND window, LPARAM self) {
    auto* disabled = reinterpret_cast<DisabledWindows*>(self);
    if (window != disabled->except_ && IsWindowVisible(window) && IsWindowEnabled(window)) {
        disabled->windows_.push_back(window);
    }
    return TRUE;
}

}  // namespace morcelix
