// The program's one window, Form1 of class TForm1: two group boxes (split and
// join), the shared progress bar and the link label. Its layout is fixed: it is
// built once, at 96 dpi figures scaled for the system's setting, and nothing
// is created, moved or hidden afterwards but the link label's width, which
// follows the window's.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_actions.h"  // kWebHost, DropTarget, StopRequest
#include "pieces/progress.h"

namespace morcelix {

class Application;

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

// What the five event handlers and a drop of files do. The default does
// nothing; the window's actions override it.
class FormActions {
  public:
    virtual ~FormActions() = default;
    virtual void Button1Click() {}
    virtual void Button2Click() {}
    virtual void Button3Click() {}
    virtual void Button4Click() {}
    virtual void Label6Click() {}
    // `paths`: every file and folder dropped, in the order given.
    virtual void FilesDropped(const std::vector<std::string>& /*paths*/, DropTarget /*target*/) {}
};

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

// The progress bar, 0 to 100.
class ProgressBar final {
  public:
    explicit ProgressBar(HWND bar = nullptr) : bar_(bar) {}
    // Sets the bar's position and paints it at once: no messages are pumped
    // while an operation runs.
    void SetPosition(int percent);

  private:
    HWND bar_;
};

class TForm1 {
  public:
    // Creates the window, hidden, and its controls; `application`'s window owns
    // it. Raises the failure CannotCreateWindow when the system refuses one of them.
    explicit TForm1(Application& application);
    // Destroys the window if it is still there.
    ~TForm1();
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // nullptr once the window has been destroyed (closing it destroys it).
    HWND Handle() const { return handle_; }
    HWND Control(ControlId id) const;
    const LayoutScale& Scale() const { return scale_; }

    // Attaches the handlers' actions (not owned); nullptr detaches them.
    void SetActions(FormActions* actions) { actions_ = actions; }

    // The event handlers, run on a click of their control, one at a time: a
    // command or a drop of files that reaches the window while one runs is
    // ignored, and a close waits for its end. Échap and a close during an
    // action are requests to stop the operation running (TakeStopRequest).
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Label6Click();

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
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCommand(int id, int code);
    LRESULT OnCancel();
    LRESULT OnDropFiles(HDROP drop);
    void RunAction(const std::function<void()>& action);
    void RunHandlerOf(ControlId id);
    DropTarget DropTargetAt(POINT clientPoint) const;
    LRESULT OnCtlColorStatic(HDC dc, HWND control);
    LRESULT OnSize();
    LRESULT OnScroll(int bar, int request);
    LRESULT OnActivate(WPARAM state);
    LRESULT OnSysCommand(WPARAM command, LPARAM lParam);
    LRESULT OnClose();
    LRESULT OnDestroy();

    void Create();
    void CreateControls();
    void Release();
    void UpdateScrollBars();
    void ScrollTo(int x, int y);
    void StretchLink();

    Application& application_;
    LayoutScale scale_;
    HFONT font_ = nullptr;
    HFONT linkFont_ = nullptr;
    HWND handle_ = nullptr;
    HWND controls_[17] = {};
    HWND lastFocus_ = nullptr;
    int scrollX_ = 0;
    int scrollY_ = 0;
    ProgressBar progressBar1_;
    FormActions* actions_ = nullptr;
    bool actionRunning_ = false;
    bool closeRequested_ = false;
    bool stopRequested_ = false;
};

}  // namespace morcelix
