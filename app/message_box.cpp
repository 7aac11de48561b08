#include "app/message_box.h"

#include <new>

#include "app/application.h"
#include "app/disabled_windows.h"
#include "pieces/failure.h"
#include "pieces/utf16.h"

namespace morcelix {

std::wstring WithFinalStop(std::wstring text) {
    if (!text.empty() && text.back() > L'.') {
        text += L'.';
    }
    return text;
}

namespace {

// Moves `window` to the centre of the monitor of the active window for as long
// as it lives: a message box appears on the monitor of its owner.
class CentredOnActiveMonitor {
  public:
    explicit CentredOnActiveMonitor(HWND window) : window_(window) {
        HWND active = GetActiveWindow();
        if (window_ == nullptr || active == nullptr || !GetWindowRect(window_, &original_)) {
            return;
        }
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        if (!GetMonitorInfoW(MonitorFromWindow(active, MONITOR_DEFAULTTONEAREST), &monitor)) {
            return;
        }
        const RECT& area = monitor.rcMonitor;
        SetWindowPos(window_, nullptr, (area.left + area.right) / 2, (area.top + area.bottom) / 2,
                     0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        moved_ = true;
    }
    ~CentredOnActiveMonitor() {
        if (moved_ && IsWindow(window_)) {
            SetWindowPos(window_, nullptr, original_.left, original_.top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    CentredOnActiveMonitor(const CentredOnActiveMonitor&) = delete;
    CentredOnActiveMonitor& operator=(const CentredOnActiveMonitor&) = delete;

  private:
    HWND window_;
    RECT original_{};
    bool moved_ = false;
};

// Shows `text` in a message box with `style`: owner the hidden application
// window, caption the application title. Any mouse capture is cancelled
// first, the program's windows are disabled while the box is open, and the
// focus goes back where it was. Returns the button that closed the box.
int ShowMessageBox(const std::wstring& text, UINT style) {
    if (HWND capture = GetCapture()) {
        SendMessageW(capture, WM_CANCELMODE, 0, 0);
    }
    const std::wstring caption = Widen(ApplicationTitle());
    HWND owner = ApplicationWindow();
    // MessageBox disables and re-enables its owner itself, before the box
    // goes, so that the owner is activated again.
    DisabledWindows disabled(owner);
    int result = 0;
    {
        CentredOnActiveMonitor centred(owner);
        result = MessageBoxW(owner, text.c_str(), caption.c_str(), style);
    }
    disabled.Restore();
    disabled.RestoreFocus();
    return result;
}

}  // namespace

void ShowErrorBox(std::string_view message) noexcept {
    try {
        ShowMessageBox(WithFinalStop(Widen(message)), MB_OK | MB_ICONSTOP);
    } catch (...) {
        // Out of memory while reporting: nothing more can be shown.
    }
}

Answer AskYesNo(std::string_view question, QuestionIcon icon, Answer byDefault) {
    const UINT iconStyle = icon == QuestionIcon::Question ? MB_ICONQUESTION : MB_ICONWARNING;
    const UINT defaultStyle = byDefault == Answer::Yes ? MB_DEFBUTTON1 : MB_DEFBUTTON2;
    return ShowMessageBox(Widen(question), MB_YESNO | iconStyle | defaultStyle) == IDYES
               ? Answer::Yes
               : Answer::No;
}

void ReportCurrentFailure() noexcept {
    try {
        try {
            throw;
        } catch (const Failure& failure) {
            ShowErrorBox(failure.Message());
        } catch (const std::bad_alloc&) {
            ShowErrorBox(FormatText(Text::OutOfMemory));
        } catch (...) {
            // The library's and the system's own texts are not for the user.
            ShowErrorBox(FormatText(Text::InternalError));
        }
    } catch (...) {
        // Out of memory for the text itself: nothing can be shown.
    }
}

}  // namespace morcelix
