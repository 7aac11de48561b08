// The five actions of the main window, and what a drop of files on it does,
// written against the few things they need from it, so that their logic runs
// the same behind the real window and behind a stand-in. Failures (a bad size
// entry, the file layer's) leave the actions as exceptions for the top-level
// handler to show; what was set before the failure stays set. An operation
// that the user stopped is not a failure: it ends in an information message.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/working_state.h"
#include "pieces/failure.h"
#include "pieces/progress.h"

namespace morcelix {

// The web host that the link label shows and opens.
inline constexpr char kWebHost[] = "morcelix.example";

// The edit fields the actions read and fill.
enum class Field {
    SplitFile,    // Edit1
    PieceSize,    // Edit2, in Mo
    FirstPiece,   // Edit3
    Destination,  // Edit4
};

// The answers of a yes/no question, and the icon it shows.
enum class Answer { Yes, No };
enum class QuestionIcon { Question, Warning };

// What the user asked of the operation running.
enum class StopRequest {
    None,
    Stop,   // Échap
    Close,  // closing the window, which can not close while the operation runs
};

// Where on the window files were dropped.
enum class DropTarget { SplitGroup, JoinGroup, Elsewhere };

class MainWindowPort {
  public:
    virtual ~MainWindowPort() = default;
    // The open-file dialog with one filter ("label|pattern"), pre-filled with
    // the previous choice; the chosen path, or nothing when cancelled.
    virtual std::optional<std::string> Browse(const std::string& filter) = 0;
    // An information message; returns once the user has dismissed it.
    virtual void ShowInformation(const std::string& text) = 0;
    virtual std::string FieldText(Field field) = 0;
    virtual void SetFieldText(Field field, const std::string& text) = 0;
    virtual void FocusField(Field field) = 0;
    virtual ProgressSink& Progress() = 0;
    // The progress bar back to 0.
    virtual void ResetProgress() = 0;
    virtual void OpenWebPage(const std::string& address) = 0;
    // A question answered by "Oui" or "Non", `byDefault` being the answer
    // that Enter gives; returns once the user has answered.
    virtual Answer AskYesNo(const std::string& question, QuestionIcon icon, Answer byDefault) = 0;
    // What the user asked, since the last call, of the operation running. The
    // request is forgotten once taken, a close included: the window then stays
    // open unless CloseWindow() is called.
    virtual StopRequest TakeStopRequest() = 0;
    // Closes the window once the action running has ended.
    virtual void CloseWindow() = 0;
};

class WindowActions {
  public:
    explicit WindowActions(MainWindowPort& window) : window_(window) {}

    void Button1Click();  // "Ouvrir" in "Découpage": choose the file to split
    void Button2Click();  // "Découper"
    void Button3Click();  // "Ouvrir" in "Regroupage": choose the first piece
    void Button4Click();  // "Regrouper"
    void Label6Click();   // the link: the web page in the default browser

    // Files dropped on the window: the first regular file (folders are
    // ignored) becomes the file to split or the first piece, as if chosen
    // with that group's "Ouvrir". Dropped elsewhere than on a group, a name
    // ending in a dot and digits goes to "Regroupage", any other to "Découpage".
    void FilesDropped(const std::vector<std::string>& paths, DropTarget target);

    const WorkingState& State() const { return state_; }

  private:
    // What "Ouvrir" does with the chosen path, in each group.
    void TakeFileToSplit(const std::string& path);
    void TakeFirstPiece(const std::string& path);
    // Clears an empty field and gives it the focus; true when it was empty.
    bool RefuseEmpty(Field field);
    // Asks before something the user may not want (the warning icon, "Non"
    // by default); true for "Oui".
    bool Consents(const std::string& question);
    // Runs `operation` with the window's progress, which the user may stop
    // (Échap, or closing the window) once they confirm; then tells how it
    // ended: "Opération terminé", or `interrupted` and, if the stop came with
    // a close, closes the window. Returns whether the operation ended.
    bool RunStoppable(Text interrupted, const std::function<void(ProgressSink&)>& operation);

    MainWindowPort& window_;
    WorkingState state_;
};

}  // namespace morcelix
