#include "app/main_window.h"

#include <memory>
#include <type_traits>

#include "app/application.h"
#include "app/live_progress.h"
#include "app/message_box.h"
#include "app/window_text.h"
#include "pieces/utf16.h"

namespace morcelix {

namespace {

using enum ControlId;

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

}  // namespace

TForm1::TForm1(Application& application) : application_(application) {
    const SIZE outer = layout_.OuterSize();
    Create({.className = L"TForm1",
            .background = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1),
            .title = L"Morcelix",
            .style = kFormStyle,
            .extendedStyle = kFormExtendedStyle,
            .left = kFormLeft,
            .top = kFormTop,
            .width = outer.cx,
            .height = outer.cy,
            .owner = application_.Handle()});
    // The destructor does not run for an object whose constructor fails.
    try {
        layout_.CreateControls(Handle());
    } catch (...) {
        Destroy();
        throw;
    }
    DragAcceptFiles(Handle(), TRUE);
    progressBar1_ = ProgressBar(Control(ControlId::ProgressBar1));
    lastFocus_ = Control(Button1);
}

TForm1::~TForm1() {
    Destroy();
    application_.FormDestroyed(*this);
}

void TForm1::SetActions(ClickActions clicks, DropAction drop) {
    clickActions_ = std::move(clicks);
    dropAction_ = std::move(drop);
}

std::string TForm1::FieldText(ControlId edit) const {
    return WindowTextUtf8(Control(edit));
}

void TForm1::SetFieldText(ControlId edit, std::string_view text) {
    SetWindowTextUtf8(Control(edit), text);
}

void TForm1::Focus(ControlId id) {
    HWND control = Control(id);
    SetFocus(control);
    if (IsEditField(id)) {
        SendMessageW(control, EM_SETSEL, 0, -1);
    }
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
    if (Handle() != nullptr) {
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
    }
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
    return DefWindowProcW(Handle(), message, wParam, lParam);
}

LRESULT TForm1::OnCommand(int id, int code) {
    if (code != BN_CLICKED) {  // BN_CLICKED is also STN_CLICKED
        return 0;
    }
    if (id == IDCANCEL) {
        return OnCancel();
    }
    if (const auto click = clickActions_.find(static_cast<ControlId>(id));
        click != clickActions_.end()) {
        RunAction(click->second);
    }
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
    if (!dropAction_ || actionRunning_) {
        return 0;
    }
    const std::vector<std::string> paths = DroppedPaths(drop);
    POINT point{};
    const DropTarget target =
        DragQueryPoint(drop, &point) ? DropTargetAt(point) : DropTarget::Elsewhere;
    RunAction([&] { dropAction_(paths, target); });
    return 0;
}

// One action at a time: while one runs, a command or a drop that still reaches
// the window (sent by another thread or program, which the serving of the
// windows during an operation delivers, or posted and taken by a dialog's
// loop) starts nothing. Its failure is reported while it still counts as
// running, once the input given during it is thrown away (a key could close
// the error box unread). A close asked for meanwhile, and not taken as a
// request to stop the operation, is carried out once it has ended.
void TForm1::RunAction(const std::function<void()>& action) {
    if (actionRunning_) {
        return;
    }
    actionRunning_ = true;
    try {
        action();
    } catch (...) {
        DiscardInput();
        ReportCurrentFailure();
    }
    actionRunning_ = false;
    stopRequested_ = false;
    if (closeRequested_ && Handle() != nullptr) {
        closeRequested_ = false;
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
    }
}

// `clientPoint` is in the window's client area: on one of the group boxes or
// elsewhere.
DropTarget TForm1::DropTargetAt(POINT clientPoint) const {
    const auto contains = [&](ControlId group) {
        RECT frame{};
        GetWindowRect(Control(group), &frame);
        MapWindowPoints(nullptr, Handle(), reinterpret_cast<POINT*>(&frame), 2);
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

// The link's text is blue; every static control sits on the button face.
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
    layout_.FitClientArea();
    return 0;
}

LRESULT TForm1::OnScroll(int bar, int request) {
    layout_.Scroll(bar, request);
    return 0;
}

// The window remembers which control had the focus when it was deactivated
// and gives it back when activated; at first that is Button1.
LRESULT TForm1::OnActivate(WPARAM state) {
    if (LOWORD(state) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(Handle(), focus)) {
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
    return DefWindowProcW(Handle(), WM_SYSCOMMAND, command, lParam);
}

// Closing destroys the window, unless an action runs: its files and the
// window it reports to stay until it has ended (RunAction), and an operation
// running asks the user whether to stop (TakeStopRequest).
LRESULT TForm1::OnClose() {
    if (actionRunning_) {
        closeRequested_ = true;
    } else {
        DestroyWindow(Handle());
    }
    return 0;
}

LRESULT TForm1::OnDestroy() {
    PostQuitMessage(0);
    return 0;
}

}  // namespace morcelix
