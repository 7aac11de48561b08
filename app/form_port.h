// The window's actions attached to the real window, Form1.
#pragma once

#include "app/live_progress.h"
#include "app/main_window.h"
#include "app/open_dialog.h"
#include "app/window_actions.h"

namespace morcelix {

// What the actions need, done by Form1: the fields are Edit1 to Edit4, the
// messages the information dialog, the questions a message box, the browse
// the dialog `ouvrir`, and the progress ProgressBar1, served so that the
// window stays alive meanwhile and hears a request to stop.
class FormPort final : public MainWindowPort {
  public:
    explicit FormPort(TForm1& form) : form_(form), progress_(form.ProgressBar1()) {}

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

  private:
    TForm1& form_;
    LiveProgress progress_;
    OpenDialog ouvrir_;
};

// Form1's handlers run the window's actions for as long as this object lives.
class AttachedActions final : public FormActions {
  public:
    explicit AttachedActions(TForm1& form);
    ~AttachedActions() override;
    AttachedActions(const AttachedActions&) = delete;
    AttachedActions& operator=(const AttachedActions&) = delete;

    void Button1Click() override { actions_.Button1Click(); }
    void Button2Click() override;
    void Button3Click() override { actions_.Button3Click(); }
    void Button4Click() override;
    void Label6Click() override { actions_.Label6Click(); }
    void FilesDropped(const std::vector<std::string>& paths, DropTarget target) override {
        actions_.FilesDropped(paths, target);
    }

    const WindowActions& Actions() const { return actions_; }

  private:
    TForm1& form_;
    FormPort port_;
    WindowActions actions_{port_};
};

}  // namespace morcelix
