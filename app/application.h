// The application object: a hidden window that carries the title and the
// taskbar button, owns the main window and every message the program shows, and
// the message loop that runs until the main window is closed.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "app/base_window.h"

namespace morcelix {

class TForm1;

// The caption of every message the program shows, and of its taskbar button.
inline constexpr char kApplicationTitle[] = "Morcelix";

class Application final : public BaseWindow<Application> {
  public:
    // Creates the hidden window, without a title yet. One object at a time.
    // Raises the failure CannotCreateWindow when the system refuses the window.
    Application();
    ~Application();

    void SetTitle(std::string_view title);
    std::string Title() const;

    // Shows `form` as the main window, as the show command of the program's
    // start asks: SW_SHOWMAXIMIZED opens it maximised, SW_SHOWMINNOACTIVE
    // minimises the application without taking the activation; anything else
    // shows it normally.
    void ShowMainForm(TForm1& form, int showCommand);
    // Shows the main window and dispatches messages until it is closed.
    void Run(TForm1& form, int showCommand);
    // Dispatches one message as the loop does: the main window's dialog keys
    // (Tab and the like) first.
    void Dispatch(MSG& message);
    // Called by a form that is going away.
    void FormDestroyed(const TForm1& form);

    static Application* Instance() { return instance_; }

  private:
    friend class BaseWindow<Application>;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnSize(WPARAM kind);
    LRESULT OnSetFocus();
    LRESULT OnClose();

    static Application* instance_;
    TForm1* mainForm_ = nullptr;
};

// The hidden application window, owner of the main window and of every message
// box; nullptr when there is no application object.
HWND ApplicationWindow();
// The application title: the caption of every message the program shows;
// kApplicationTitle when there is no application object (it failed to start).
std::string ApplicationTitle();

}  // namespace morcelix
