#include "app/form_layout.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "app/window_actions.h"  // kWebHost
#include "app/window_text.h"
#include "pieces/failure.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

// The client area that the layout was drawn for, in pixels at 96 dpi: the
// window's outer size is what gives it inside the system's frame. Label6's
// right edge keeps its distance to the client area's right edge measured
// against this width.
constexpr int kDesignClientWidth = 384;
constexpr int kDesignClientHeight = 214;
// The controls' extent: below it the client area scrolls. Label6 does not
// count for the width, as it stretches with the window.
constexpr int kExtentWidth = 377;
constexpr int kExtentHeight = 213;

enum class Kind { Label, Link, ProgressBar, GroupBox, Button, Edit };

struct StoredControl {
    ControlId id;
    Kind kind;
    ControlId parent;  // kForm: the window itself
    int left, top, width, height;
    const char* text;
};

constexpr ControlId kForm = static_cast<ControlId>(0);

using enum ControlId;
constexpr StoredControl kControls[] = {
    {Label6, Kind::Link, kForm, 136, 200, 101, 13, kWebHost},
    {ProgressBar1, Kind::ProgressBar, kForm, 8, 96, 369, 17, ""},
    {GroupBox1, Kind::GroupBox, kForm, 8, 8, 369, 89, "Découpage"},
    {Label1, Kind::Label, GroupBox1, 8, 28, 34, 13, "Fichier:"},
    {Label2, Kind::Label, GroupBox1, 16, 61, 81, 13, "Taille des fichiers"},
    {Label5, Kind::Label, GroupBox1, 176, 64, 15, 13, "Mo"},
    {Button1, Kind::Button, GroupBox1, 294, 22, 67, 25, "Ouvrir"},
    {Edit1, Kind::Edit, GroupBox1, 56, 24, 233, 21, ""},
    {Edit2, Kind::Edit, GroupBox1, 112, 56, 57, 21, "1"},
    {Button2, Kind::Button, GroupBox1, 232, 54, 129, 25, "Découper"},
    {GroupBox2, Kind::GroupBox, kForm, 8, 112, 369, 89, "Regroupage"},
    {Label4, Kind::Label, GroupBox2, 8, 28, 34, 13, "Fichier:"},
    {Label3, Kind::Label, GroupBox2, 8, 56, 53, 17, "Destination"},
    {Edit3, Kind::Edit, GroupBox2, 64, 24, 225, 21, ""},
    {Button3, Kind::Button, GroupBox2, 296, 22, 65, 25, "Ouvrir"},
    {Edit4, Kind::Edit, GroupBox2, 64, 56, 225, 21, ""},
    {Button4, Kind::Button, GroupBox2, 296, 54, 67, 25, "Regrouper"},
};
static_assert(std::size(kControls) == 17);

constexpr int IndexOf(ControlId id) {
    return static_cast<int>(id) - static_cast<int>(Label6);
}

const StoredControl& StoredOf(ControlId id) {
    return kControls[IndexOf(id)];
}

int ScreenDpi() {
    const ScopedWindowDC screen(nullptr);
    return GetDeviceCaps(screen.Get(), LOGPIXELSY);
}

ScopedFont CreateFormFont(int dpi, bool underline) {
    LOGFONTW font{};
    font.lfHeight = LayoutScale::FontHeight(dpi);
    font.lfWeight = FW_NORMAL;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, L"MS Sans Serif", LF_FACESIZE);
    return ScopedFont(CreateFontIndirectW(&font));
}

int TextHeight(HFONT font) {
    const ScopedWindowDC screen(nullptr, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(screen.Get(), &metrics);
    return metrics.tmHeight;
}

// The size of `label`'s text drawn in `font`, as a label sizes itself.
SIZE MeasureLabel(HWND label, HFONT font) {
    const std::wstring text = Widen(WindowTextUtf8(label));
    const ScopedWindowDC dc(label, font);
    RECT bounds{};
    DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &bounds,
              DT_CALCRECT | DT_EXPANDTABS | DT_SINGLELINE);
    return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

BOOL WINAPI AdjustAtSystemDpi(RECT* rect, DWORD style, BOOL menu, DWORD extendedStyle, UINT) {
    return AdjustWindowRectEx(rect, style, menu, extendedStyle);
}

// Windows 7 and 8 lack AdjustWindowRectExForDpi: it is looked up at run time.
FrameAdjuster SystemFrameAdjuster() {
    if (FARPROC found =
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")) {
        return reinterpret_cast<FrameAdjuster>(reinterpret_cast<void (*)()>(found));
    }
    return AdjustAtSystemDpi;
}

// Group boxes pass their children's notifications on to the window, which
// handles them.
LRESULT CALLBACK GroupBoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR) {
    switch (message) {
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
            return SendMessageW(GetParent(window), message, wParam, lParam);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

bool MouseButtonDown() {
    return GetKeyState(VK_LBUTTON) < 0 || GetKeyState(VK_RBUTTON) < 0 ||
           GetKeyState(VK_MBUTTON) < 0;
}

// An edit field selects its whole text when the focus comes to it from another
// control of the window other than by a click. Focus coming back with the
// window's activation leaves the selection as it was.
LRESULT CALLBACK EditProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                          DWORD_PTR) {
    if (message == WM_SETFOCUS) {
        HWND previous = reinterpret_cast<HWND>(wParam);
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        if (previous != nullptr && previous != window &&
            GetAncestor(previous, GA_ROOT) == GetAncestor(window, GA_ROOT) && !MouseButtonDown()) {
            SendMessageW(window, EM_SETSEL, 0, -1);
        }
        return result;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK LinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                          DWORD_PTR) {
    if (message == WM_SETCURSOR) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

int LayoutScale::FontHeight(int dpi) {
    return MulDiv(kDesignFontHeight, dpi, kDesignDpi);
}

LayoutScale::LayoutScale(int dpi, int textHeight) {
    if (dpi != kDesignDpi && textHeight != kDesignTextHeight && textHeight > 0) {
        numerator_ = textHeight;
    }
}

int LayoutScale::operator()(int designPixels) const {
    return numerator_ == kDesignTextHeight ? designPixels
                                           : MulDiv(designPixels, numerator_, kDesignTextHeight);
}

SIZE FormOuterSize(const LayoutScale& scale, UINT dpi, FrameAdjuster adjust) {
    RECT frame{0, 0, scale(kDesignClientWidth), scale(kDesignClientHeight)};
    adjust(&frame, kFormStyle, FALSE, kFormExtendedStyle, dpi);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

bool IsEditField(ControlId id) {
    return StoredOf(id).kind == Kind::Edit;
}

FormLayout::FormLayout()
    : dpi_(ScreenDpi()),
      font_(CreateFormFont(dpi_, false)),
      linkFont_(CreateFormFont(dpi_, true)),
      scale_(dpi_, TextHeight(font_.get())) {}

SIZE FormLayout::OuterSize() const {
    return FormOuterSize(scale_, static_cast<UINT>(dpi_), SystemFrameAdjuster());
}

HWND FormLayout::Control(ControlId id) const {
    return controls_[IndexOf(id)];
}

void FormLayout::CreateControls(HWND form) {
    INITCOMMONCONTROLSEX progressClass{sizeof(progressClass), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&progressClass);
    HINSTANCE instance = GetModuleHandleW(nullptr);

    for (const StoredControl& stored : kControls) {
        const wchar_t* windowClass = WC_STATICW;
        DWORD style = WS_CHILD | WS_VISIBLE;
        DWORD extendedStyle = 0;
        switch (stored.kind) {
            case Kind::Label:
                style |= SS_LEFTNOWORDWRAP;
                break;
            case Kind::Link:
                style |= SS_LEFTNOWORDWRAP | SS_NOTIFY;
                break;
            case Kind::ProgressBar:
                windowClass = PROGRESS_CLASSW;
                break;
            case Kind::GroupBox:
                windowClass = WC_BUTTONW;
                style |= BS_GROUPBOX | WS_GROUP;
                extendedStyle = WS_EX_CONTROLPARENT;
                break;
            case Kind::Button:
                windowClass = WC_BUTTONW;
                style |= BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP;
                break;
            case Kind::Edit:
                windowClass = WC_EDITW;
                style |= ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP | WS_GROUP;
                extendedStyle = WS_EX_CLIENTEDGE;
                break;
        }
        HWND parent = stored.parent == kForm ? form : Control(stored.parent);
        HWND control = CreateWindowExW(
            extendedStyle, windowClass, Widen(stored.text).c_str(), style, scale_(stored.left),
            scale_(stored.top), scale_(stored.width), scale_(stored.height), parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(stored.id)), instance, nullptr);
        if (control == nullptr) {
            throw Failure(Text::CannotCreateWindow, {});
        }
        controls_[IndexOf(stored.id)] = control;
        SendMessageW(
            control, WM_SETFONT,
            reinterpret_cast<WPARAM>(stored.kind == Kind::Link ? linkFont_.get() : font_.get()),
            FALSE);

        switch (stored.kind) {
            case Kind::Label: {
                const SIZE size = MeasureLabel(control, font_.get());
                SetWindowPos(control, nullptr, 0, 0, size.cx, size.cy,
                             SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
                break;
            }
            case Kind::Link:
                SetWindowSubclass(control, LinkProc, 0, 0);
                break;
            case Kind::ProgressBar:
                SendMessageW(control, PBM_SETRANGE32, 0, 100);
                SendMessageW(control, PBM_SETPOS, 0, 0);
                break;
            case Kind::GroupBox:
                SetWindowSubclass(control, GroupBoxProc, 0, 0);
                break;
            case Kind::Button:
                break;
            case Kind::Edit:
                SetWindowSubclass(control, EditProc, 0, 0);
                break;
        }
    }
    form_ = form;
    FitClientArea();
}

void FormLayout::FitClientArea() {
    if (form_ == nullptr) {  // no controls yet: they are made to fit
        return;
    }
    UpdateScrollBars();
    StretchLink();
}

// Showing or hiding a scroll bar changes the client area and sends WM_SIZE
// again from inside SetScrollInfo: the client size is read afresh each time.
void FormLayout::UpdateScrollBars() {
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE | SIF_PAGE;
    RECT client{};

    GetClientRect(form_, &client);
    info.nMax = scale_(kExtentWidth) - 1;
    info.nPage = static_cast<UINT>(client.right);
    SetScrollInfo(form_, SB_HORZ, &info, TRUE);

    GetClientRect(form_, &client);
    info.nMax = scale_(kExtentHeight) - 1;
    info.nPage = static_cast<UINT>(client.bottom);
    SetScrollInfo(form_, SB_VERT, &info, TRUE);

    // The system keeps the positions within the new ranges: follow them.
    ScrollTo(GetScrollPos(form_, SB_HORZ), GetScrollPos(form_, SB_VERT));
}

void FormLayout::ScrollTo(int x, int y) {
    if (x == scrollX_ && y == scrollY_) {
        return;
    }
    ScrollWindowEx(form_, scrollX_ - x, scrollY_ - y, nullptr, nullptr, nullptr, nullptr,
                   SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
    scrollX_ = x;
    scrollY_ = y;
    SetScrollPos(form_, SB_HORZ, x, TRUE);
    SetScrollPos(form_, SB_VERT, y, TRUE);
}

void FormLayout::Scroll(int bar, int request) {
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_ALL;
    GetScrollInfo(form_, bar, &info);
    const int line = scale_(LayoutScale::kDesignTextHeight);
    const int page = static_cast<int>(info.nPage);
    int position = info.nPos;
    switch (request) {
        case SB_LINEUP:
            position -= line;
            break;
        case SB_LINEDOWN:
            position += line;
            break;
        case SB_PAGEUP:
            position -= page;
            break;
        case SB_PAGEDOWN:
            position += page;
            break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
            position = info.nTrackPos;
            break;
        case SB_TOP:
            position = info.nMin;
            break;
        case SB_BOTTOM:
            position = info.nMax;
            break;
        default:
            return;
    }
    position = std::clamp(position, 0, std::max(0, info.nMax - page + 1));
    if (bar == SB_HORZ) {
        ScrollTo(position, scrollY_);
    } else {
        ScrollTo(scrollX_, position);
    }
}

// Label6 keeps its left edge and its distance to the client area's right edge.
void FormLayout::StretchLink() {
    RECT client{};
    GetClientRect(form_, &client);
    const StoredControl& stored = StoredOf(Label6);
    const int rightMargin = scale_(kDesignClientWidth) - scale_(stored.left) - scale_(stored.width);
    const int width =
        std::max(0, static_cast<int>(client.right) - scale_(stored.left) - rightMargin);
    SetWindowPos(Control(Label6), nullptr, 0, 0, width, scale_(stored.height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace morcelix
