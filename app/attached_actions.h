// The window's actions attached to the real window, Form1.
#pragma once

#include "app/live_progress.h"
#include "app/main_window.h"
#include "app/open_dialog.h"
#include "app/window_actions.h"

namespace morcelix {

// For as long as this object lives, Form1's clicks and drops run the window's
// actions, and what the actions need of the window is done by Form1: the fields
// are Edit1 to Edit4, the messages the information dialog, the questions a
// message box, the browse the dialog `ouvrir`, and the progress ProgressBar1,
// served so that the window stays alive meanwhile and hears a request to stop.
class AttachedActions final : public MainWindowPort {
  public:
    explicit AttachedActions(TForm1& form);
    ~AttachedActions() override;
    AttachedActions(const AttachedActions&) = delete;
    AttachedActions& operator=(const AttachedActions&) = delete;

    const WindowActions& Actions() const { return actions_; }

  private:
    std::optional<std::string> Browse(const std::string& filter) override;
    // Input given before the message (while an operation ran) is thrown away
    // first, so that it can not close the message unread.
    void ShowInformation(const std::string& text) override;
    std::string FieldText(Field field) override;
    void SetFieldText(Field field, const std::string& text) override;
    void FocusField(Field field) override;
    ProgressSink& Progress() override { return progress_; }
    void ResetProgress() override { form_.ProgressBar1().SetPosition(0); }
    // The shell's "open" verb: the default browser. Whether it worked is not
    // looked at.
    void OpenWebPage(const std::string& address) override;
    // As ShowInformation, input given before is thrown away first: a key
    // pressed during an operation does not answer the question.
    Answer AskYesNo(const std::string& question, QuestionIcon icon, Answer byDefault) override;
    StopRequest TakeStopRequest() override { return form_.TakeStopRequest(); }
    void CloseWindow() override { form_.Close(); }

    TForm1& form_;
    LiveProgress progress_;
    OpenDialog ouvrir_;
    WindowActions actions_{*this};
};

}  // namespace morcelix
