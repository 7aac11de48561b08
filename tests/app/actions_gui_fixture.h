// The program's window with its actions attached, in the test's thread, and
// what its tests do as a person would: browse through the system's open-file
// dialog, click a button and read the message it shows.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <dlgs.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/attached_actions.h"
#include "pieces/utf16.h"
#include "tests/app/dialog_watcher.h"
#include "tests/app/gui_fixture.h"
#include "tests/support/temp_folder.h"

namespace morcelix::testing {

// The question asked before an operation is stopped.
inline const std::wstring kStopQuestion = L"Interrompre l'opération en cours ?";

// The file name field of the system's open-file dialog: the edit of the combo
// box cmb13, or the edit edt1 in older layouts.
inline HWND FileNameField(HWND dialog) {
    if (HWND combo = GetDlgItem(dialog, cmb13)) {
        HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr);
        return edit != nullptr ? edit : combo;
    }
    return GetDlgItem(dialog, edt1);
}

struct OpenDialogSeen {
    std::wstring caption;
    std::wstring fileName;  // as the dialog was opened
    std::wstring filterLabel;
    HWND owner = nullptr;
    RECT frame{};
    bool formEnabled = true;
};

// What a person saw of a yes/no question of the program's.
struct QuestionSeen {
    std::wstring caption;
    std::wstring text;
    HICON icon = nullptr;  // compare with LoadIconW(nullptr, IDI_QUESTION), say
    bool yesAndNoOnly = false;
    int defaultButton = 0;
    bool formEnabled = true;
};

inline QuestionSeen LookAt(HWND box, HWND form) {
    QuestionSeen seen;
    seen.caption = TextOf(box);
    seen.text = MessageOf(box);
    for (HWND child = FindWindowExW(box, nullptr, L"Static", nullptr); child != nullptr;
         child = FindWindowExW(box, child, L"Static", nullptr)) {
        if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            seen.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        }
    }
    seen.yesAndNoOnly = GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr &&
                        GetDlgItem(box, IDOK) == nullptr && GetDlgItem(box, IDCANCEL) == nullptr;
    // The default button is drawn as such and answers Enter.
    for (int id : {IDYES, IDNO}) {
        if (SendMessageW(GetDlgItem(box, id), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) {
            seen.defaultButton = id;
        }
    }
    seen.formEnabled = IsWindowEnabled(form) != FALSE;
    return seen;
}

class ActionsGuiTest : public GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        actions_ = std::make_unique<AttachedActions>(*form_);
    }
    void TearDown() override {
        actions_.reset();
        GuiTest::TearDown();
    }

    // Clicks `button` ("Ouvrir") and, in the open-file dialog, types `path`
    // and confirms, or cancels when `path` is empty.
    OpenDialogSeen Browse(ControlId button, const std::string& path) {
        OpenDialogSeen seen;
        DialogWatcher watcher(IsDialogBox(), [&](HWND dialog) {
            // The placement is done when the dialog is shown; give the system's
            // own layout a moment to settle first.
            std::this_thread::sleep_for(100ms);
            seen.caption = TextOf(dialog);
            seen.fileName = TextOf(FileNameField(dialog));
            seen.filterLabel = TextOf(GetDlgItem(dialog, cmb1));
            seen.owner = GetWindow(dialog, GW_OWNER);
            GetWindowRect(dialog, &seen.frame);
            seen.formEnabled = IsWindowEnabled(Form());
            if (path.empty()) {
                PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            } else {
                SendMessageW(FileNameField(dialog), WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(Widen(path).c_str()));
                PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            }
        });
        SendMessageW(Item(button), BM_CLICK, 0, 0);
        EXPECT_TRUE(watcher.Succeeded()) << "no open-file dialog, or it did not close";
        Pump();
        return seen;
    }

    // Clicks `button` and closes every message box or information message
    // that its action shows, however long the action takes (a split or join
    // is slow on a busy machine); returns the text of the one message expected
    // ("" when none appeared).
    std::wstring ClickAndDismiss(ControlId button) {
        std::vector<std::wstring> texts;
        std::atomic<bool> ended = false;
        std::thread person([&, ui = GetCurrentThreadId()] {
            HWND last = nullptr;  // still there after a slow close: asked again
            while (!ended) {
                if (HWND box = WaitForWindow(ui, IsDialogBox(), 50ms)) {
                    if (box != last) {
                        texts.push_back(MessageOf(box));
                        last = box;
                    }
                    PostMessageW(box, WM_COMMAND, IDOK, 0);
                    WaitUntilGone(box);
                }
            }
        });
        SendMessageW(Item(button), BM_CLICK, 0, 0);
        ended = true;
        person.join();
        EXPECT_EQ(texts.size(), 1u) << "messages: " << ::testing::PrintToString(texts);
        Pump();
        return texts.empty() ? std::wstring() : texts.front();
    }

    int BarPosition() const {
        return static_cast<int>(SendMessageW(Item(ControlId::ProgressBar1), PBM_GETPOS, 0, 0));
    }

    TempFolder folder_;
    std::unique_ptr<AttachedActions> actions_;
};

// A sparse file of `size` bytes: quick to make, long to split.
inline void MakeLargeFile(const std::string& path, std::int64_t size) {
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end{};
    end.QuadPart = size;
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
}

// A drop of `paths` as Explorer hands it to the window in WM_DROPFILES: a
// DROPFILES block followed by the wide paths, each ending in a NUL, and one
// more NUL. `point` is in the window's client area, or on its frame (in
// screen coordinates) when `onFrame`. The window that takes it frees it.
inline HDROP DropOf(const std::vector<std::string>& paths, POINT point, bool onFrame = false) {
    std::wstring list;
    for (const std::string& path : paths) {
        list += Widen(path);
        list += L'\0';
    }
    list += L'\0';
    const std::size_t listBytes = list.size() * sizeof(wchar_t);
    HGLOBAL block = GlobalAlloc(GHND, sizeof(DROPFILES) + listBytes);
    auto* header = static_cast<DROPFILES*>(GlobalLock(block));
    header->pFiles = sizeof(DROPFILES);
    header->pt = point;
    header->fNC = onFrame;
    header->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), list.data(), listBytes);
    GlobalUnlock(block);
    return static_cast<HDROP>(block);
}

// The centre of `control` in the client area of `window`.
inline POINT CentreIn(HWND window, HWND control) {
    RECT frame{};
    GetWindowRect(control, &frame);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&frame), 2);
    return {(frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2};
}

}  // namespace morcelix::testing
