// Scoped owners of the GDI resources that the windows take: each is given back
// when its owner goes, on every path.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace morcelix {

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};

// A font made by CreateFont*, deleted with its owner: the windows that were
// given it (WM_SETFONT) must be gone by then.
using ScopedFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// The device context of `window` (of the whole screen for nullptr), with `font`
// selected when one is given, for measuring text. The previous font is selected
// back and the context released when this object goes.
class ScopedWindowDC {
  public:
    explicit ScopedWindowDC(HWND window, HFONT font = nullptr)
        : window_(window),
          dc_(GetDC(window)),
          previousFont_(font != nullptr ? SelectObject(dc_, font) : nullptr) {}
    ~ScopedWindowDC() {
        if (previousFont_ != nullptr) {
            SelectObject(dc_, previousFont_);
        }
        ReleaseDC(window_, dc_);
    }
    ScopedWindowDC(const ScopedWindowDC&) = delete;
    ScopedWindowDC& operator=(const ScopedWindowDC&) = delete;

    HDC Get() const { return dc_; }

  private:
    HWND window_;
    HDC dc_;
    HGDIOBJ previousFont_;
};

}  // namespace morcelix
