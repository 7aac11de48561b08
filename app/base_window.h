// The base of the program's own windows: one class per window, the object
// passed as the creation parameter and kept in the window's user data from
// WM_NCCREATE to WM_NCDESTROY, and one window procedure that hands every
// message to the object's HandleMessage, guarded so that no exception crosses
// into Windows.
//
// Derived declares `friend class BaseWindow<Derived>;` and
//   LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
// a switch of one-line cases calling named handlers, the rest going to
// DefWindowProcW. Its destructor calls Destroy(), so that the window's last
// messages (WM_DESTROY) still find its members alive.
//
// A dialog box (the system's class "#32770") is made with CreateDialogBox;
// its HandleMessage then answers as a dialog procedure does: TRUE for a
// message it handled, FALSE for the rest (never DefWindowProcW), the object
// kept in DWLP_USER from WM_INITDIALOG on.
#pragma once

#include <windows.h>

#include "app/message_box.h"  // Guarded

namespace morcelix {

// What tells one of the program's windows from another at its creation. Every
// class has the program's icon and the arrow pointer.
struct WindowDescription {
    const wchar_t* className;
    HBRUSH background;  // the class's background; nullptr: none
    const wchar_t* title;
    DWORD style;
    DWORD extendedStyle;
    int left, top, width, height;
    HWND owner;
};

// Registers the class of `window` with `procedure` (a class already registered
// stays as it is) and creates the window, `creationParameter` going to
// WM_NCCREATE. Raises the failure CannotCreateWindow when the system refuses it.
void CreateProgramWindow(const WindowDescription& window, WNDPROC procedure,
                         void* creationParameter);

template <typename Derived>
class BaseWindow {
  public:
    BaseWindow(const BaseWindow&) = delete;
    BaseWindow& operator=(const BaseWindow&) = delete;

    // nullptr before the window is created and once it has been destroyed.
    HWND Handle() const { return handle_; }

  protected:
    BaseWindow() = default;
    ~BaseWindow() = default;

    // Handle() is set from WM_NCCREATE on, the messages of the creation going
    // to HandleMessage already.
    void Create(const WindowDescription& window) {
        CreateProgramWindow(window, WindowProc, static_cast<Derived*>(this));
    }
    // A modeless dialog box from `dialogTemplate`, owned by `owner`; Handle()
    // is set from WM_INITDIALOG on (the few messages before it are not handed on).
    void CreateDialogBox(const DLGTEMPLATE& dialogTemplate, HWND owner) {
        CreateDialogIndirectParamW(GetModuleHandleW(nullptr), &dialogTemplate, owner, DialogProc,
                                   reinterpret_cast<LPARAM>(static_cast<Derived*>(this)));
    }
    // Destroys the window if it is still there.
    void Destroy() {
        if (handle_ != nullptr) {
            DestroyWindow(handle_);
        }
    }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* created = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(created->lpCreateParams));
            static_cast<Derived*>(created->lpCreateParams)->handle_ = window;
        }
        auto* self = reinterpret_cast<Derived*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self == nullptr) {  // the few messages that come before WM_NCCREATE
            return DefWindowProcW(window, message, wParam, lParam);
        }
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            self->handle_ = nullptr;
            return DefWindowProcW(window, message, wParam, lParam);
        }
        return Guarded([&] { return self->HandleMessage(message, wParam, lParam); });
    }

    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            reinterpret_cast<Derived*>(lParam)->handle_ = window;
        }
        auto* self = reinterpret_cast<Derived*>(GetWindowLongPtrW(window, DWLP_USER));
        if (self == nullptr) {
            return FALSE;
        }
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, DWLP_USER, 0);
            self->handle_ = nullptr;
            return FALSE;
        }
        return Guarded([&] { return self->HandleMessage(message, wParam, lParam); });
    }

    HWND handle_ = nullptr;
};

}  // namespace morcelix
