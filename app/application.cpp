#include "app/application.h"

#include "app/main_window.h"
#include "app/window_text.h"

namespace morcelix {

Application* Application::instance_ = nullptr;

// A popup with a caption but no size, in the middle of the screen: never seen,
// yet visible to the system, so that it has the taskbar button.
Application::Application() {
    Create({.className = L"MorcelixApplication",
            .background = nullptr,
            .title = L"",
            .style = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX,
            .extendedStyle = 0,
            .left = GetSystemMetrics(SM_CXSCREEN) / 2,
            .top = GetSystemMetrics(SM_CYSCREEN) / 2,
            .width = 0,
            .height = 0,
            .owner = nullptr});
    instance_ = this;
}

Application::~Application() {
    Destroy();
    instance_ = nullptr;
}

void Application::SetTitle(std::string_view title) {
    SetWindowTextUtf8(Handle(), title);
}

std::string Application::Title() const {
    return WindowTextUtf8(Handle());
}

// Started minimised, only the application window is shown, minimised and not
// activated: the main window stays hidden until the application is restored
// (OnSize), and the window that was active stays so. Windows may put the start's
// show command in place of the first ShowWindow's: there it is the same one.
void Application::ShowMainForm(TForm1& form, int showCommand) {
    mainForm_ = &form;
    if (showCommand == SW_SHOWMINNOACTIVE) {
        ShowWindow(Handle(), SW_SHOWMINNOACTIVE);
        return;
    }
    ShowWindow(Handle(), SW_SHOWNOACTIVATE);
    ShowWindow(form.Handle(), showCommand == SW_SHOWMAXIMIZED ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
}

void Application::FormDestroyed(const TForm1& form) {
    if (mainForm_ == &form) {
        mainForm_ = nullptr;
    }
}

void Application::Run(TForm1& form, int showCommand) {
    ShowMainForm(form, showCommand);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        Dispatch(message);
    }
}

void Application::Dispatch(MSG& message) {
    if (mainForm_ != nullptr && mainForm_->Handle() != nullptr &&
        IsDialogMessageW(mainForm_->Handle(), &message)) {
        return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

LRESULT Application::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            return OnSize(wParam);
        case WM_SETFOCUS:
            return OnSetFocus();
        case WM_CLOSE:
            return OnClose();
    }
    return DefWindowProcW(Handle(), message, wParam, lParam);
}

// Minimising the application hides the main window; restoring it (from the
// taskbar) shows it again.
LRESULT Application::OnSize(WPARAM kind) {
    if (mainForm_ == nullptr || mainForm_->Handle() == nullptr) {
        return 0;
    }
    if (kind == SIZE_MINIMIZED) {
        ShowWindow(mainForm_->Handle(), SW_HIDE);
    } else if (kind == SIZE_RESTORED && !IsWindowVisible(mainForm_->Handle())) {
        ShowWindow(mainForm_->Handle(), SW_SHOW);
    }
    return 0;
}

// The hidden window is activated when the user picks the taskbar button: the
// main window takes the focus in its place.
LRESULT Application::OnSetFocus() {
    if (mainForm_ != nullptr && mainForm_->Handle() != nullptr &&
        IsWindowVisible(mainForm_->Handle()) && IsWindowEnabled(mainForm_->Handle())) {
        SetActiveWindow(mainForm_->Handle());
    }
    return 0;
}

// Closing from the taskbar closes the main window, which ends the program.
LRESULT Application::OnClose() {
    if (mainForm_ != nullptr && mainForm_->Handle() != nullptr) {
        PostMessageW(mainForm_->Handle(), WM_CLOSE, 0, 0);
    }
    return 0;
}

HWND ApplicationWindow() {
    return Application::Instance() != nullptr ? Application::Instance()->Handle() : nullptr;
}

std::string ApplicationTitle() {
    return Application::Instance() != nullptr ? Application::Instance()->Title()
                                              : std::string(kApplicationTitle);
}

}  // namespace morcelix
