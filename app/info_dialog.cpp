#include "app/info_dialog.h"

#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>

#include "app/application.h"
#include "app/base_window.h"
#include "app/disabled_windows.h"
#include "app/message_box.h"
#include "app/scoped_gdi.h"
#include "pieces/failure.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

constexpr wchar_t kButtonCaption[] = L"OK";
constexpr int kTextId = 0xFFFF;

// The dialog's places and sizes in pixels. The figures are in dialog units of
// its font: a horizontal unit is a quarter of the average width of the letters
// A-Z and a-z, a vertical unit an eighth of their height.
struct Layout {
    SIZE client;
    RECT text;
    RECT button;
};

Layout LayOut(int letterWidth, int letterHeight, SIZE text, int captionWidth) {
    const int horizontalMargin = MulDiv(8, letterWidth, 4);
    const int verticalMargin = MulDiv(8, letterHeight, 8);
    const int spacing = MulDiv(10, letterHeight, 8);
    const int buttonWidth = std::max(MulDiv(50, letterWidth, 4), captionWidth + 8);
    const int buttonHeight = MulDiv(14, letterHeight, 8);

    Layout layout{};
    layout.client.cx = std::max<int>(text.cx, buttonWidth) + 2 * horizontalMargin;
    layout.client.cy = text.cy + spacing + buttonHeight + 2 * verticalMargin;
    layout.text = {horizontalMargin, verticalMargin, horizontalMargin + text.cx,
                   verticalMargin + text.cy};
    const int buttonLeft = (layout.client.cx - buttonWidth) / 2;
    const int buttonTop = verticalMargin + text.cy + spacing;
    layout.button = {buttonLeft, buttonTop, buttonLeft + buttonWidth, buttonTop + buttonHeight};
    return layout;
}

// The dialog's content as Ctrl+C puts it on the clipboard.
std::wstring ClipboardText(std::wstring_view caption, std::wstring_view message,
                           std::initializer_list<std::wstring_view> buttons) {
    const std::wstring rule = std::wstring(27, L'-') + L"\r\n";
    std::wstring text = rule;
    text.append(caption).append(L"\r\n").append(rule);
    text.append(message).append(L"\r\n").append(rule);
    for (std::wstring_view button : buttons) {
        for (wchar_t c : button) {
            if (c != L'&') {
                text += c;
            }
        }
        text += L"   ";
    }
    text.append(L"\r\n").append(rule);
    return text;
}

class ClipboardOpen {
  public:
    explicit ClipboardOpen(HWND owner) {
        if (!OpenClipboard(owner)) {
            throw Failure(Text::ClipboardOpen, {});
        }
    }
    ~ClipboardOpen() { CloseClipboard(); }
    ClipboardOpen(const ClipboardOpen&) = delete;
    ClipboardOpen& operator=(const ClipboardOpen&) = delete;
};

void PutOnClipboard(HWND owner, const std::wstring& text) {
    ClipboardOpen clipboard(owner);
    EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    CopyMemory(GlobalLock(memory), text.c_str(), bytes);
    GlobalUnlock(memory);
    if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
        GlobalFree(memory);
    }
}

bool KeyDown(int key) {
    return GetKeyState(key) < 0;
}

class InfoDialog : public BaseWindow<InfoDialog> {
  public:
    InfoDialog(std::wstring caption, std::wstring message)
        : caption_(std::move(caption)), message_(std::move(message)) {}
    ~InfoDialog() { Destroy(); }

    void Run();

  private:
    friend class BaseWindow<InfoDialog>;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void Close();
    bool IsCopyKey(const MSG& message) const;
    void CopyToClipboard();

    std::wstring caption_;
    std::wstring message_;
    HMONITOR monitor_ = nullptr;
    HWND button_ = nullptr;
    ScopedFont font_;
    bool done_ = false;
};

void InfoDialog::Run() {
    monitor_ = MonitorFromWindow(GetActiveWindow(), MONITOR_DEFAULTTOPRIMARY);
    DisabledWindows disabled;

    // An empty dialog template: the controls are made and placed at WM_INITDIALOG.
    struct {
        DLGTEMPLATE header;
        WORD menu, windowClass, title;
    } dialogTemplate{};
    dialogTemplate.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    dialogTemplate.header.dwExtendedStyle = WS_EX_DLGMODALFRAME;
    CreateDialogBox(dialogTemplate.header, ApplicationWindow());
    if (Handle() == nullptr) {
        throw std::runtime_error("CreateDialogIndirectParam");
    }
    ShowWindow(Handle(), SW_SHOW);
    SetFocus(button_);

    MSG message;
    while (!done_) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the outer loop
            break;
        }
        if (got < 0) {
            break;
        }
        if (IsCopyKey(message)) {
            Guarded([&] {
                CopyToClipboard();
                return 0;
            });
        } else if (!IsDialogMessageW(Handle(), &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    // The owner is enabled again before the dialog goes, so that the system
    // activates it rather than another program.
    disabled.Restore();
    Destroy();
    disabled.RestoreFocus();
}

LRESULT InfoDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog();
            return FALSE;  // the focus is given when the dialog is shown
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                Close();
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            Close();
            return TRUE;
    }
    return FALSE;
}

void InfoDialog::OnInitDialog() {
    SetWindowTextW(Handle(), caption_.c_str());

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    font_.reset(CreateFontIndirectW(&metrics.lfMessageFont));

    static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SIZE letters{};
    RECT text{0, 0, GetSystemMetrics(SM_CXSCREEN) / 2, 0};
    SIZE caption{};
    {
        const ScopedWindowDC dc(Handle(), font_.get());
        GetTextExtentPoint32W(dc.Get(), kLetters, 52, &letters);
        DrawTextW(dc.Get(), message_.c_str(), static_cast<int>(message_.size()), &text,
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
        GetTextExtentPoint32W(dc.Get(), kButtonCaption, lstrlenW(kButtonCaption), &caption);
    }

    const Layout layout = LayOut(letters.cx / 52, letters.cy,
                                 {text.right - text.left, text.bottom - text.top}, caption.cx);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    const RECT& at = layout.text;
    HWND label = CreateWindowExW(
        0, L"STATIC", message_.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, at.left,
        at.top, at.right - at.left, at.bottom - at.top, Handle(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kTextId)), instance, nullptr);
    const RECT& button = layout.button;
    button_ = CreateWindowExW(
        0, L"BUTTON", kButtonCaption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
        button.left, button.top, button.right - button.left, button.bottom - button.top, Handle(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    SendMessageW(button_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    SendMessageW(Handle(), DM_SETDEFID, IDOK, 0);

    // Outer size from the client size; centred on the active window's monitor,
    // never beyond its top left corner.
    RECT frame{0, 0, layout.client.cx, layout.client.cy};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)));
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(monitor_, &monitor);
    const RECT& screen = monitor.rcMonitor;
    const int left =
        screen.left + std::max(0, (static_cast<int>(screen.right - screen.left) - width) / 2);
    const int top =
        screen.top + std::max(0, (static_cast<int>(screen.bottom - screen.top) - height) / 2);
    SetWindowPos(Handle(), nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A close requested from within GetMessage (a message sent by another thread)
// would leave the loop waiting: the posted WM_NULL wakes it.
void InfoDialog::Close() {
    done_ = true;
    PostMessageW(Handle(), WM_NULL, 0, 0);
}

bool InfoDialog::IsCopyKey(const MSG& message) const {
    return message.message == WM_KEYDOWN && message.wParam == 'C' &&
           (message.hwnd == Handle() || IsChild(Handle(), message.hwnd)) && KeyDown(VK_CONTROL) &&
           !KeyDown(VK_SHIFT) && !KeyDown(VK_MENU) && !KeyDown(VK_LWIN) && !KeyDown(VK_RWIN);
}

void InfoDialog::CopyToClipboard() {
    MessageBeep(0);
    PutOnClipboard(Handle(), ClipboardText(caption_, message_, {kButtonCaption}));
}

}  // namespace

void ShowInformation(std::string_view message) {
    InfoDialog dialog(Widen(ApplicationTitle()), Widen(message));
    dialog.Run();
}

}  // namespace morcelix
