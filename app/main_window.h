// The program's one window, Form1 of class TForm1: two group boxes (split and
// join), the shared progress bar and the link label, laid out by FormLayout.
// It runs the action of the control clicked, or of a drop of files, one at a
// time, and hears the user's requests to stop the operation running.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/base_window.h"
#include "app/form_layout.h"
#include "app/live_progress.h"   // ProgressBar
#include "app/window_actions.h"  // DropTarget, StopRequest

namespace morcelix {

class Application;

class TForm1 final : public BaseWindow<TForm1> {
  public:
    // The window's dispatch: the action that a click on each control runs,
    // and the one that a drop of files runs (`paths`: every file and folder
    // dropped, in the order given).
    using ClickActions = std::map<ControlId, std::function<void()>>;
    using DropAction =
        std::function<void(const std::vector<std::string>& paths, DropTarget target)>;

    // Creates the window, hidden, and its controls, with no actions;
    // `application`'s window owns it. Raises the failure CannotCreateWindow
    // when the system refuses one of them.
    explicit TForm1(Application& application);
    // Destroys the window if it is still there (closing it destroys it).
    ~TForm1();

    HWND Control(ControlId id) const { return layout_.Control(id); }
    const LayoutScale& Scale() const { return layout_.Scale(); }

    // Replaces the actions, not while one runs; ({}, {}) leaves none. They run
    // one at a time: a command or a drop of files that reaches the window
    // while one runs is ignored, and a close waits for its end. Échap and a
    // close during an action are requests to stop the operation running
    // (TakeStopRequest). A failure escaping an action goes to the error box,
    // once the input given during the action is thrown away.
    void SetActions(ClickActions clicks, DropAction drop);

    // What the actions use: the edit fields' texts (UTF-8), the keyboard focus,
    // and ProgressBar1.
    std::string FieldText(ControlId edit) const;
    void SetFieldText(ControlId edit, std::string_view text);
    // Gives the focus to `id`; an edit field then has its whole text selected.
    void Focus(ControlId id);
    ProgressBar& ProgressBar1() { return progressBar1_; }

    // What the user asked of the action running since the last call: a close
    // before Échap. Both are forgotten once taken, so that the window stays
    // open after the action unless Close() is called.
    StopRequest TakeStopRequest();
    // Closes the window, once the action running (if any) has ended.
    void Close();

  private:
    friend class BaseWindow<TForm1>;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCommand(int id, int code);
    LRESULT OnCancel();
    LRESULT OnDropFiles(HDROP drop);
    LRESULT OnCtlColorStatic(HDC dc, HWND control);
    LRESULT OnSize();
    LRESULT OnScroll(int bar, int request);
    LRESULT OnActivate(WPARAM state);
    LRESULT OnSysCommand(WPARAM command, LPARAM lParam);
    LRESULT OnClose();
    LRESULT OnDestroy();

    void RunAction(const std::function<void()>& action);
    DropTarget DropTargetAt(POINT clientPoint) const;

    Application& application_;
    FormLayout layout_;
    ProgressBar progressBar1_;
    ClickActions clickActions_;
    DropAction dropAction_;
    HWND lastFocus_ = nullptr;
    bool actionRunning_ = false;
    bool closeRequested_ = false;
    bool stopRequested_ = false;
};

}  // namespace morcelix
