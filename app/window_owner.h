// The link between a window and the object that owns it: the object is passed
// as the creation parameter, kept in the window's user data from WM_NCCREATE
// and forgotten at WM_NCDESTROY, so that a static window procedure can hand
// each message to its owner.
#pragma once

#include <windows.h>

namespace morcelix {

// The owner of `window` for this message, or nullptr for the few messages that
// come before WM_NCCREATE. Call first thing in the window procedure.
template <typename Owner>
Owner* WindowOwner(HWND window, UINT message, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* owner = static_cast<Owner*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
        return owner;
    }
    auto* owner = reinterpret_cast<Owner*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    }
    return owner;
}

}  // namespace morcelix
