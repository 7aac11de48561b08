// The program's windows in the test's thread: the application object, the main
// window shown as at start-up, and the message loop's dispatch.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>

#include "app/application.h"
#include "app/main_window.h"

namespace morcelix::testing {

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(SW_SHOWNORMAL); }
    void TearDown() override { Stop(); }

    void Start(int showCommand) {
        application_ = std::make_unique<Application>();
        InitCommonControls();
        application_->SetTitle("Morcelix");
        form_ = std::make_unique<TForm1>(*application_);
        application_->ShowMainForm(*form_, showCommand);
        Pump();
    }

    // Closing the main window leaves a WM_QUIT behind: drain it, or the next
    // test's first modal box would end at once.
    void Stop() {
        form_.reset();
        application_.reset();
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    // Dispatches the pending messages as the program's loop does.
    void Pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return;
            }
            application_->Dispatch(message);
        }
    }

    // A key press on the focused control, through the loop's dispatch.
    void PressKey(WPARAM key) {
        MSG down{GetFocus(), WM_KEYDOWN, key, 1, 0, {}};
        application_->Dispatch(down);
        MSG up{GetFocus(), WM_KEYUP, key, static_cast<LPARAM>(0xC0000001), 0, {}};
        application_->Dispatch(up);
        Pump();
    }

    HWND Item(ControlId id) const { return form_->Control(id); }
    HWND Form() const { return form_->Handle(); }

    std::unique_ptr<Application> application_;
    std::unique_ptr<TForm1> form_;
};

}  // namespace morcelix::testing
