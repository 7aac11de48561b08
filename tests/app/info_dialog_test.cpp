// The information dialog: its layout from its font's measure, the three ways to
// close it, and Ctrl+C.
#include "app/info_dialog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/app/dialog_watcher.h"
#include "tests/app/gui_fixture.h"

namespace morcelix::testing {
namespace {

struct DialogSeen {
    std::wstring caption;
    std::wstring text;
    std::wstring buttonText;
    RECT window{};
    SIZE client{};
    RECT textPlace{};
    RECT buttonPlace{};
    LONG_PTR style = 0;
    LONG_PTR buttonStyle = 0;
    bool hasIcon = true;
    bool windowEnabled = true;
    bool applicationEnabled = true;
    bool buttonFocused = false;
};

RECT PlaceIn(HWND parent, HWND child) {
    RECT place{};
    GetWindowRect(child, &place);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&place), 2);
    return place;
}

DialogSeen Look(HWND dialog, HWND form, HWND application) {
    DialogSeen seen;
    seen.caption = TextOf(dialog);
    seen.text = MessageOf(dialog);
    HWND button = ButtonOf(dialog);
    seen.buttonText = TextOf(button);
    GetWindowRect(dialog, &seen.window);
    RECT client{};
    GetClientRect(dialog, &client);
    seen.client = {client.right, client.bottom};
    seen.textPlace = PlaceIn(dialog, GetDlgItem(dialog, 0xFFFF));
    seen.buttonPlace = PlaceIn(dialog, button);
    seen.style = GetWindowLongPtrW(dialog, GWL_STYLE);
    seen.buttonStyle = GetWindowLongPtrW(button, GWL_STYLE);
    seen.hasIcon = SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0) != 0 ||
                   SendMessageW(dialog, WM_GETICON, ICON_BIG, 0) != 0;
    seen.windowEnabled = IsWindowEnabled(form);
    seen.applicationEnabled = IsWindowEnabled(application);
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread);
    seen.buttonFocused = thread.hwndFocus == button;
    return seen;
}

void PressCtrlC(HWND dialog) {
    SetForegroundWindow(dialog);
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_CONTROL, 'C', 'C', VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    SendInput(4, keys, sizeof(INPUT));
}

std::wstring ClipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) {
        return L"<clipboard busy>";
    }
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        text = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

void SetClipboardEmpty() {
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
}

class InfoDialogTest : public GuiTest {
  protected:
    // Shows `message`; the watcher looks at the dialog, then runs `close` on it.
    DialogSeen ShowAndClose(const std::string& message, std::function<void(HWND)> close) {
        DialogSeen seen;
        HWND form = Form();
        HWND application = application_->Handle();
        DialogWatcher watcher(IsDialogBox(), [&](HWND dialog) {
            seen = Look(dialog, form, application);
            close(dialog);
        });
        ShowInformation(message);
        EXPECT_TRUE(watcher.Succeeded()) << "no dialog, or it did not close";
        Pump();
        return seen;
    }
};

TEST_F(InfoDialogTest, LayoutFollowsTheMessageFontsMeasure) {
    const std::string message = "Fichier non trouvé";
    const DialogSeen seen =
        ShowAndClose(message, [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDOK, 0); });

    // The font's measure, taken here independently of the dialog.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE letters{};
    GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52,
                          &letters);
    SIZE ok{};
    GetTextExtentPoint32W(dc, L"OK", 2, &ok);
    SIZE text{};
    GetTextExtentPoint32W(dc, L"Fichier non trouvé", 18, &text);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    const int x = letters.cx / 52;
    const int y = letters.cy;
    const int margin = MulDiv(8, x, 4);
    const int top = MulDiv(8, y, 8);
    const int spacing = MulDiv(10, y, 8);
    const int buttonWidth = std::max(MulDiv(50, x, 4), static_cast<int>(ok.cx) + 8);
    const int buttonHeight = MulDiv(14, y, 8);

    EXPECT_EQ(seen.caption, L"Morcelix");
    EXPECT_EQ(seen.text, L"Fichier non trouvé");
    EXPECT_EQ(seen.buttonText, L"OK");
    EXPECT_EQ(seen.textPlace.left, margin);
    EXPECT_EQ(seen.textPlace.top, top);
    EXPECT_EQ(seen.textPlace.right - seen.textPlace.left, text.cx);
    EXPECT_EQ(seen.textPlace.bottom - seen.textPlace.top, text.cy);
    EXPECT_EQ(seen.buttonPlace.right - seen.buttonPlace.left, buttonWidth);
    EXPECT_EQ(seen.buttonPlace.bottom - seen.buttonPlace.top, buttonHeight);
    EXPECT_EQ(seen.buttonPlace.top, top + text.cy + spacing);
    const int contentWidth = std::max<int>(text.cx, buttonWidth);
    EXPECT_EQ(seen.client.cx, contentWidth + 2 * margin);
    EXPECT_EQ(seen.client.cy, text.cy + spacing + buttonHeight + 2 * top);
    EXPECT_EQ(seen.buttonPlace.left, (seen.client.cx - buttonWidth) / 2);

    // Centred on the screen.
    const int width = seen.window.right - seen.window.left;
    const int height = seen.window.bottom - seen.window.top;
    EXPECT_EQ(seen.window.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    EXPECT_EQ(seen.window.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);

    // A fixed dialog frame with only the close box, no icon; OK is the default.
    EXPECT_TRUE(seen.style & WS_SYSMENU);
    EXPECT_FALSE(seen.style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_FALSE(seen.hasIcon);
    EXPECT_EQ(seen.buttonStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_TRUE(seen.buttonFocused);
    // Every window of the program is disabled while it is open, enabled after.
    EXPECT_FALSE(seen.windowEnabled);
    EXPECT_FALSE(seen.applicationEnabled);
    EXPECT_TRUE(IsWindowEnabled(Form()));
    EXPECT_TRUE(IsWindowEnabled(application_->Handle()));
}

TEST_F(InfoDialogTest, LongTextWrapsAtHalfTheScreen) {
    std::string message;
    for (int i = 0; i < 40; ++i) {
        message += "Opération terminé ";
    }
    const DialogSeen seen =
        ShowAndClose(message, [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDOK, 0); });
    const int textWidth = seen.textPlace.right - seen.textPlace.left;
    EXPECT_LE(textWidth, GetSystemMetrics(SM_CXSCREEN) / 2);
    EXPECT_GT(textWidth, GetSystemMetrics(SM_CXSCREEN) / 2 - 150);
    EXPECT_GT(seen.textPlace.bottom - seen.textPlace.top, 3 * 8);  // several lines
}

TEST_F(InfoDialogTest, EnterEscAndTheCloseBoxEachCloseIt) {
    HWND focusBefore = Item(ControlId::Button3);
    auto pressOnButton = [](WPARAM key) {
        return [key](HWND dialog) {
            HWND button = ButtonOf(dialog);
            PostMessageW(button, WM_KEYDOWN, key, 1);
            PostMessageW(button, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001));
        };
    };
    form_->Focus(ControlId::Button3);
    ShowAndClose("Enter", pressOnButton(VK_RETURN));
    EXPECT_EQ(GetFocus(), focusBefore);
    ShowAndClose("Esc", pressOnButton(VK_ESCAPE));
    EXPECT_EQ(GetFocus(), focusBefore);
    ShowAndClose("Close box",
                 [](HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); });
    EXPECT_EQ(GetFocus(), focusBefore);
    EXPECT_TRUE(IsWindowEnabled(Form()));
}

TEST_F(InfoDialogTest, CtrlCPutsTheDialogOnTheClipboard) {
    SetClipboardEmpty();
    std::wstring copied;
    ShowAndClose("Opération terminé", [&](HWND dialog) {
        const DWORD before = GetClipboardSequenceNumber();
        PressCtrlC(dialog);
        for (int i = 0; i < 150 && GetClipboardSequenceNumber() == before; ++i) {
            Sleep(20);
        }
        Sleep(50);  // let the dialog close the clipboard
        copied = ClipboardText();
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(copied,
              L"---------------------------\r\n"
              L"Morcelix\r\n"
              L"---------------------------\r\n"
              L"Opération terminé\r\n"
              L"---------------------------\r\n"
              L"OK   \r\n"
              L"---------------------------\r\n");
}

TEST_F(InfoDialogTest, BusyClipboardIsReportedWhileTheDialogStaysOpen) {
    bool errorShown = false;
    bool dialogOpenDuringError = false;
    bool dialogDisabledDuringError = false;
    bool dialogEnabledAfter = false;
    const DWORD thread = GetCurrentThreadId();
    ShowAndClose("Fichier non trouvé", [&](HWND dialog) {
        ASSERT_TRUE(OpenClipboard(nullptr));  // held by this other thread
        PressCtrlC(dialog);
        HWND error =
            WaitForWindow(thread, IsDialogBoxSaying(L"Impossible d'ouvrir le Presse-papiers."));
        errorShown = error != nullptr;
        dialogOpenDuringError = IsWindowVisible(dialog);
        dialogDisabledDuringError = !IsWindowEnabled(dialog);
        if (error != nullptr) {
            PostMessageW(error, WM_COMMAND, IDOK, 0);
            WaitUntilGone(error);
        }
        CloseClipboard();
        // The error box's end gives the dialog back its input; on a slow
        // machine that comes some time after the box is gone.
        dialogEnabledAfter =
            WaitForWindow(thread, [dialog](HWND window) { return window == dialog; }) != nullptr;
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    EXPECT_TRUE(errorShown);
    EXPECT_TRUE(dialogOpenDuringError);
    EXPECT_TRUE(dialogDisabledDuringError);
    EXPECT_TRUE(dialogEnabledAfter);
}

}  // namespace
}  // namespace morcelix::testing
