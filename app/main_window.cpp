#include "app/main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <type_traits>

#include "app/application.h"
#include "app/message_box.h"
#include "app/window_owner.h"
#include "app/window_text.h"
#include "pieces/failure.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

constexpr wchar_t kClassName[] = L"TForm1";

// The window's place on the screen, which stays whatever the dpi setting.
constexpr int kFormLeft = 410;
constexpr int kFormTop = 502;
constexpr DWORD kFormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
constexpr DWORD kFormExtendedStyle = WS_EX_CONTROLPARENT;
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

HFONT CreateFormFont(int height, bool underline) {
    LOGFONTW font{};
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, L"MS Sans Serif", LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

// The size of `text` drawn in `font`, as a label sizes itself.
SIZE MeasureLabel(HWND label, HFONT font) {
    const std::wstring text = Widen(WindowTextUtf8(label));
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, font);
    RECT bounds{};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &bounds,
              DT_CALCRECT | DT_EXPANDTABS | DT_SINGLELINE);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    return {bounds.right - bounds.left, bounds.bottom - bounds.top};
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

// Every path that a drop of files carries, in the order given.
std::vector<std::string> DroppedPaths(HDROP drop) {
    std::vector<std::string> paths;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        std::wstring path(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, path.data(), static_cast<UINT>(path.size())));
        paths.push_back(Narrow(path));
    }
    return paths;
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

void ProgressBar::SetPosition(int percent) {
    SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    UpdateWindow(bar_);
}

TForm1::TForm1(Application& application) : application_(application) {
    // The destructor does not run for an object whose constructor fails.
    try {
        Create();
    } catch (...) {
        Release();
        throw;
    }
}

TForm1::~TForm1() {
    Release();
}

void TForm1::Create() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    font_ = CreateFormFont(LayoutScale::FontHeight(dpi), false);
    linkFont_ = CreateFormFont(LayoutScale::FontHeight(dpi), true);
    HGDIOBJ old = SelectObject(screen, font_);
    TEXTMETRICW metrics{};
    GetTextMetricsW(screen, &metrics);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    scale_ = LayoutScale(dpi, metrics.tmHeight);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);  // fails harmlessly when already registered

    const SIZE outer = FormOuterSize(scale_, dpi, SystemFrameAdjuster());
    CreateWindowExW(kFormExtendedStyle, kClassName, L"Morcelix", kFormStyle, kFormLeft, kFormTop,
                    outer.cx, outer.cy, application_.Handle(), nullptr, instance, this);
    if (handle_ == nullptr) {
        throw Failure(Text::CannotCreateWindow, {});
    }
    CreateControls();
    DragAcceptFiles(handle_, TRUE);
    progressBar1_ = ProgressBar(Control(ControlId::ProgressBar1));
    lastFocus_ = Control(Button1);
    UpdateScrollBars();
    StretchLink();
}

void TForm1::Release() {
    if (handle_ != nullptr) {
        DestroyWindow(handle_);
    }
    DeleteObject(font_);
    DeleteObject(linkFont_);
    application_.FormDestroyed(*this);
}

HWND TForm1::Control(ControlId id) const {
    return controls_[IndexOf(id)];
}

void TForm1::CreateControls() {
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
        HWND parent = stored.parent == kForm ? handle_ : Control(stored.parent);
        HWND control = CreateWindowExW(
            extendedStyle, windowClass, Widen(stored.text).c_str(), style, scale_(stored.left),
            scale_(stored.top), scale_(stored.width), scale_(stored.height), parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(stored.id)), instance, nullptr);
        if (control == nullptr) {
            throw Failure(Text::CannotCreateWindow, {});
        }
        controls_[IndexOf(stored.id)] = control;
        SendMessageW(control, WM_SETFONT,
                     reinterpret_cast<WPARAM>(stored.kind == Kind::Link ? linkFont_ : font_),
                     FALSE);

        switch (stored.kind) {
            case Kind::Label: {
                const SIZE size = MeasureLabel(control, font_);
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
}

void TForm1::Button1Click() {
    if (actions_ != nullptr) {
        actions_->Button1Click();
    }
}

void TForm1::Button2Click() {
    if (actions_ != nullptr) {
        actions_->Button2Click();
    }
}

void TForm1::Button3Click() {
    if (actions_ != nullptr) {
        actions_->Button3Click();
    }
}

void TForm1::Button4Click() {
    if (actions_ != nullptr) {
        actions_->Button4Click();
    }
}

void TForm1::Label6Click() {
    if (actions_ != nullptr) {
        actions_->Label6Click();
    }
}

std::string TForm1::FieldText(ControlId edit) const {
    return WindowTextUtf8(Control(edit));
}

void TForm1::SetFieldText(ControlId edit, std::string_view text) {
    SetWindowTextUtf8(Control(edit), text);
}

StopRequest TForm1::TakeStopRequest() {
    const StopRequest request = closeRequested_  ? StopRequest::Close
                                : stopRequested_ ? StopRequest::Stop
                                                 : StopRequest::None;
    closeRequested_ = false;
    stopRequested_ = false;
    return request;
}

void TForm1::Close() {
    if (handle_ != nullptr) {
        PostMessageW(handle_, WM_CLOSE, 0, 0);
    }
}

void TForm1::Focus(ControlId id) {
    HWND control = Control(id);
    SetFocus(control);
    if (StoredOf(id).kind == Kind::Edit) {
        SendMessageW(control, EM_SETSEL, 0, -1);
    }
}

LRESULT CALLBACK TForm1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = WindowOwner<TForm1>(window, message, lParam);
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCCREATE) {
        self->handle_ = window;
    } else if (message == WM_NCDESTROY) {
        self->handle_ = nullptr;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return Guarded([&] { return self->HandleMessage(message, wParam, lParam); });
}

LRESULT TForm1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam));
        case WM_DROPFILES:
            return OnDropFiles(reinterpret_cast<HDROP>(wParam));
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_SIZE:
            return OnSize();
        case WM_HSCROLL:
            return OnScroll(SB_HORZ, LOWORD(wParam));
        case WM_VSCROLL:
            return OnScroll(SB_VERT, LOWORD(wParam));
        case WM_ACTIVATE:
            return OnActivate(wParam);
        case WM_SYSCOMMAND:
            return OnSysCommand(wParam, lParam);
        case WM_CLOSE:
            return OnClose();
        case WM_DESTROY:
            return OnDestroy();
    }
    return DefWindowProcW(handle_, message, wParam, lParam);
}

LRESULT TForm1::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {  // BN_CLICKED is also STN_CLICKED
        return 0;
    }
    if (id == IDCANCEL) {
        return OnCancel();
    }
    RunAction([&] { RunHandlerOf(static_cast<ControlId>(id)); });
    return 0;
}

// Échap (the dialog key, or passed on by the serving of the windows during an
// operation): a request to stop the action running; nothing otherwise.
LRESULT TForm1::OnCancel() {
    stopRequested_ = actionRunning_;
    return 0;
}

// The drop's memory is given back whatever happens; files dropped while an
// action runs are not taken.
LRESULT TForm1::OnDropFiles(HDROP drop) {
    const std::unique_ptr<std::remove_pointer_t<HDROP>, decltype(&DragFinish)> held(drop,
                                                                                    DragFinish);
    if (actions_ == nullptr || actionRunning_) {
        return 0;
    }
    const std::vector<std::string> paths = DroppedPaths(drop);
    POINT point{};
    const DropTarget target =
        DragQueryPoint(drop, &point) ? DropTargetAt(point) : DropTarget::Elsewhere;
    RunAction([&] { actions_->FilesDropped(paths, target); });
    return 0;
}

// One action at a time: while one runs, a command or a drop that still reaches
// the window (sent by another thread or program, which the serving of the
// windows during an operation delivers, or posted and taken by a dialog's
// loop) starts nothing. Its failure is reported while it still counts as
// running, and a close asked for meanwhile, and not taken as a request to stop
// the operation, is carried out once it has ended.
void TForm1::RunAction(const std::function<void()>& action) {
    if (actionRunning_) {
        return;
    }
    actionRunning_ = true;
    Guarded([&] {
        action();
        return 0;
    });
    actionRunning_ = false;
    stopRequested_ = false;
    if (closeRequested_ && handle_ != nullptr) {
        closeRequested_ = false;
        PostMessageW(handle_, WM_CLOSE, 0, 0);
    }
}

void TForm1::RunHandlerOf(ControlId id) {
    switch (id) {
        case Button1:
            Button1Click();
            break;
        case Button2:
            Button2Click();
            break;
        case Button3:
            Button3Click();
            break;
        case Button4:
            Button4Click();
            break;
        case Label6:
            Label6Click();
            break;
        default:
            break;
    }
}

// `clientPoint` is in the window's client area: on one of the group boxes or
// elsewhere.
DropTarget TForm1::DropTargetAt(POINT clientPoint) const {
    const auto contains = [&](ControlId group) {
        RECT frame{};
        GetWindowRect(Control(group), &frame);
        MapWindowPoints(nullptr, handle_, reinterpret_cast<POINT*>(&frame), 2);
        return PtInRect(&frame, clientPoint) != FALSE;
    };
    if (contains(GroupBox1)) {
        return DropTarget::SplitGroup;
    }
    if (contains(GroupBox2)) {
        return DropTarget::JoinGroup;
    }
    return DropTarget::Elsewhere;
}

LRESULT TForm1::OnCtlColorStatic(HDC dc, HWND control) {
    if (control == Control(Label6)) {
        SetTextColor(dc, RGB(0, 0, 255));
    } else {
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    }
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

LRESULT TForm1::OnSize() {
    UpdateScrollBars();
    StretchLink();
    return 0;
}

// Showing or hiding a scroll bar changes the client area and sends WM_SIZE
// again from inside SetScrollInfo: the client size is read afresh each time.
void TForm1::UpdateScrollBars() {
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE | SIF_PAGE;
    RECT client{};

    GetClientRect(handle_, &client);
    info.nMax = scale_(kExtentWidth) - 1;
    info.nPage = static_cast<UINT>(client.right);
    SetScrollInfo(handle_, SB_HORZ, &info, TRUE);

    GetClientRect(handle_, &client);
    info.nMax = scale_(kExtentHeight) - 1;
    info.nPage = static_cast<UINT>(client.bottom);
    SetScrollInfo(handle_, SB_VERT, &info, TRUE);

    // The system keeps the positions within the new ranges: follow them.
    ScrollTo(GetScrollPos(handle_, SB_HORZ), GetScrollPos(handle_, SB_VERT));
}

void TForm1::ScrollTo(int x, int y) {
    if (x == scrollX_ && y == scrollY_) {
        return;
    }
    ScrollWindowEx(handle_, scrollX_ - x, scrollY_ - y, nullptr, nullptr, nullptr, nullptr,
                   SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
    scrollX_ = x;
    scrollY_ = y;
    SetScrollPos(handle_, SB_HORZ, x, TRUE);
    SetScrollPos(handle_, SB_VERT, y, TRUE);
}

LRESULT TForm1::OnScroll(int bar, int request) {
    SCROLLINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = SIF_ALL;
    GetScrollInfo(handle_, bar, &info);
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
            return 0;
    }
    position = std::clamp(position, 0, std::max(0, info.nMax - page + 1));
    if (bar == SB_HORZ) {
        ScrollTo(position, scrollY_);
    } else {
        ScrollTo(scrollX_, position);
    }
    return 0;
}

// Label6 keeps its left edge and its distance to the client area's right edge.
void TForm1::StretchLink() {
    HWND link = Control(Label6);
    if (link == nullptr) {
        return;
    }
    RECT client{};
    GetClientRect(handle_, &client);
    const StoredControl& stored = StoredOf(Label6);
    const int rightMargin = scale_(kDesignClientWidth) - scale_(stored.left) - scale_(stored.width);
    const int width =
        std::max(0, static_cast<int>(client.right) - scale_(stored.left) - rightMargin);
    SetWindowPos(link, nullptr, 0, 0, width, scale_(stored.height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window remembers which control had the focus when it was deactivated
// and gives it back when activated; at first that is Button1.
LRESULT TForm1::OnActivate(WPARAM state) {
    if (LOWORD(state) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(handle_, focus)) {
            lastFocus_ = focus;
        }
    } else if (HIWORD(state) == 0) {
        SetFocus(lastFocus_ != nullptr && IsWindow(lastFocus_) ? lastFocus_ : Control(Button1));
    }
    return 0;
}

// The taskbar button belongs to the application window: minimising the main
// window minimises the application, which hides the main window.
LRESULT TForm1::OnSysCommand(WPARAM command, LPARAM lParam) {
    if ((command & 0xFFF0) == SC_MINIMIZE) {
        ShowWindow(application_.Handle(), SW_MINIMIZE);
        return 0;
    }
    return DefWindowProcW(handle_, WM_SYSCOMMAND, command, lParam);
}

// Closing destroys the window, unless an action runs: its files and the
// window it reports to stay until it has ended (RunAction), and an operation
// running asks the user whether to stop (TakeStopRequest).
LRESULT TForm1::OnClose() {
    if (actionRunning_) {
        closeRequested_ = true;
    } else {
        DestroyWindow(handle_);
    }
    return 0;
}

LRESULT TForm1::OnDestroy() {
    PostQuitMessage(0);
    return 0;
}

}  // namespace morcelix
