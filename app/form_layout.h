// Form1's layout: its controls built once from the stored table, at 96-dpi
// figures scaled for the system's setting, and what follows the window's size
// afterwards: the scroll bars, and the link label's width, the one thing that
// moves.
#pragma once

#include <windows.h>

#include "app/scoped_gdi.h"

namespace morcelix {

// The controls' ids, in creation order (which is also the tab order).
enum class ControlId : int {
    Label6 = 100,
    ProgressBar1,
    GroupBox1,
    Label1,
    Label2,
    Label5,
    Button1,
    Edit1,
    Edit2,
    Button2,
    GroupBox2,
    Label4,
    Label3,
    Edit3,
    Button3,
    Edit4,
    Button4,
};

// Form1's place on the screen, which stays whatever the dpi setting, and its frame.
inline constexpr int kFormLeft = 410;
inline constexpr int kFormTop = 502;
inline constexpr DWORD kFormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
inline constexpr DWORD kFormExtendedStyle = WS_EX_CONTROLPARENT;

// The stored layout is for 96 pixels per inch. For another setting the font
// height follows the setting, and when that font's text height is not 13
// pixels, every place and size follows the text height.
class LayoutScale {
  public:
    static constexpr int kDesignDpi = 96;
    static constexpr int kDesignFontHeight = -11;
    static constexpr int kDesignTextHeight = 13;

    // The font height (negative: character height) for a `dpi` setting.
    static int FontHeight(int dpi);
    // `textHeight` is the text height of the font of FontHeight(dpi).
    LayoutScale(int dpi = kDesignDpi, int textHeight = kDesignTextHeight);
    // A 96-dpi place or size for this setting.
    int operator()(int designPixels) const;

  private:
    int numerator_ = kDesignTextHeight;
};

// Grows a client rectangle to the outer rectangle of a window with these
// styles, with the frame the system draws at `dpi`: AdjustWindowRectExForDpi.
using FrameAdjuster = BOOL(WINAPI*)(RECT* rect, DWORD style, BOOL menu, DWORD extendedStyle,
                                    UINT dpi);

// The outer size of Form1 whose client area is the layout's (384 x 214 at 96
// dpi, scaled by `scale`) inside the frame that `adjust` gives at `dpi`. The
// frame differs between Windows versions and display settings: a fixed outer
// size would leave a client area too small for the controls on some.
SIZE FormOuterSize(const LayoutScale& scale, UINT dpi, FrameAdjuster adjust);

// Whether `id` is one of the edit fields.
bool IsEditField(ControlId id);

// The controls of one Form1, their fonts and its scrolling.
class FormLayout {
  public:
    // Reads the screen's setting and makes the fonts for it.
    FormLayout();
    FormLayout(const FormLayout&) = delete;
    FormLayout& operator=(const FormLayout&) = delete;

    const LayoutScale& Scale() const { return scale_; }
    // Form1's outer size at this setting, in the system's frame.
    SIZE OuterSize() const;

    // Creates the controls in `form`, which must outlive them as this object
    // must: the controls keep its fonts. Raises the failure CannotCreateWindow
    // when the system refuses one of them.
    void CreateControls(HWND form);
    // nullptr before CreateControls().
    HWND Control(ControlId id) const;

    // Follows a change of the client area's size (WM_SIZE): the scroll bars'
    // ranges and Label6's width.
    void FitClientArea();
    // A scroll bar's request (SB_LINEUP, SB_THUMBTRACK...) on SB_HORZ or SB_VERT.
    void Scroll(int bar, int request);

  private:
    void UpdateScrollBars();
    void ScrollTo(int x, int y);
    void StretchLink();

    int dpi_;
    ScopedFont font_;
    ScopedFont linkFont_;
    LayoutScale scale_;
    HWND form_ = nullptr;
    HWND controls_[17] = {};
    int scrollX_ = 0;
    int scrollY_ = 0;
};

}  // namespace morcelix
