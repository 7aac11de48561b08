// The five actions of the main window, written against the few things they
// need from it, so that their logic runs the same behind the real window and
// behind a stand-in. Failures (a bad size entry, the file layer's) leave the
// actions as exceptions for the top-level handler to show; what was set before
// the failure stays set.
#pragma once

#include <optional>
#include <string>

#include "app/working_state.h"
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
    virtual void OpenWebPage(const std::string& address) = 0;
};

class WindowActions {
  public:
    explicit WindowActions(MainWindowPort& window) : window_(window) {}

    void Button1Click();  // "Ouvrir" in "Découpage": choose the file to split
    void Button2Click();  // "Découper"
    void Button3Click();  // "Ouvrir" in "Regroupage": choose the first piece
    void Button4Click();  // "Regrouper"
    void Label6Click();   // the link: the web page in the default browser

    const WorkingState& State() const { return state_; }

  private:
    // Clears an empty field and gives it the focus; true when it was empty.
    bool RefuseEmpty(Field field);

    MainWindowPort& window_;
    WorkingState state_;
};

}  // namespace morcelix
