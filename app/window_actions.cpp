#include "app/window_actions.h"

#include <algorithm>

#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/size_entry.h"
#include "pieces/split.h"

namespace morcelix {

namespace {

constexpr char kSplitFilter[] = "Tous les fichiers|*.*";
// Pieces of a set first; then every name whose last extension starts with a
// digit and has three characters or more, which takes in every piece number
// (001, 042, 1000...): the pieces that an interrupted join left, their first
// one gone, are found there.
constexpr char kJoinFilter[] =
    "Fichiers Découper|*.001|Toutes les parties|"
    "*.0??*;*.1??*;*.2??*;*.3??*;*.4??*;*.5??*;*.6??*;*.7??*;*.8??*;*.9??*";

// A name whose extension is a dot followed by digits only (".001", ".7").
bool EndsInDotAndDigits(std::string_view path) {
    const std::string_view extension = Extension(path);
    return extension.size() > 1 && std::all_of(extension.begin() + 1, extension.end(),
                                               [](char c) { return c >= '0' && c <= '9'; });
}

// The window's progress, and after each report a look at whether the user asked
// to stop. A stop confirmed raises EInterrupted, on which the operation ends
// as on any failure: a split removes its pieces, a join cuts the destination
// back to its last whole piece so that joining again finishes it.
class StoppableProgress final : public ProgressSink {
  public:
    StoppableProgress(MainWindowPort& window, Text interrupted)
        : window_(window), interrupted_(interrupted) {}

    void Begin(std::int64_t total, std::int64_t done) override {
        window_.Progress().Begin(total, done);
        StopIfConfirmed();
    }
    void Moved(std::int64_t done, Mark mark) override {
        window_.Progress().Moved(done, mark);
        StopIfConfirmed();
    }

    // Whether the stop came with a request to close the window.
    bool StoppedToClose() const { return stoppedToClose_; }

  private:
    void StopIfConfirmed() {
        const StopRequest request = window_.TakeStopRequest();
        if (request == StopRequest::None ||
            window_.AskYesNo(FormatText(Text::StopQuestion), QuestionIcon::Question, Answer::No) ==
                Answer::No) {
            return;
        }
        stoppedToClose_ = request == StopRequest::Close;
        throw EInterrupted(interrupted_);
    }

    MainWindowPort& window_;
    Text interrupted_;
    bool stoppedToClose_ = false;
};

}  // namespace

void WindowActions::Button1Click() {
    window_.ResetProgress();
    if (const auto chosen = window_.Browse(kSplitFilter)) {
        TakeFileToSplit(*chosen);
    }
}

void WindowActions::Button2Click() {
    if (RefuseEmpty(Field::SplitFile)) {
        return;
    }
    if (!FileExists(state_.fileToSplit)) {
        window_.ShowInformation(FormatText(Text::FileNotFound));
        return;
    }
    // An empty size field is not read: the previous size stays (0 at first).
    if (const std::string entry = window_.FieldText(Field::PieceSize); !entry.empty()) {
        state_.pieceSize = PieceSizeFromEntry(entry);
    }
    RunStoppable(Text::SplitInterrupted, [this](ProgressSink& progress) {
        Split(state_.fileToSplit, state_.pieceSize, progress);
    });
}

void WindowActions::Button3Click() {
    window_.ResetProgress();
    if (const auto chosen = window_.Browse(kJoinFilter)) {
        TakeFirstPiece(*chosen);
    }
}

void WindowActions::Button4Click() {
    if (RefuseEmpty(Field::FirstPiece)) {
        return;
    }
    // A first piece that is gone may belong to a join that stopped part-way:
    // joining again finishes it.
    if (!FileExists(state_.firstPiece) &&
        StartOf(state_.firstPiece, state_.destination).start != JoinStart::Resume) {
        window_.ShowInformation(FormatText(Text::FileNotFound));
        return;
    }
    // What needs the user's consent is asked before anything is touched; the
    // join then runs once, with the answers.
    const PieceSetSurvey survey = SurveyPieceSet(state_.firstPiece, state_.destination);
    survey.Refuse();
    const JoinQuestions questions = QuestionsOf(survey, state_.destination);
    JoinOptions options;
    if (questions.fullLastPiece) {
        if (!Consents(FormatText(Text::FullLastPieceQuestion, *questions.fullLastPiece))) {
            return;
        }
        options.consents.fullLastPiece = true;
    }
    if (questions.otherFile) {
        if (!Consents(FormatText(Text::ReplaceQuestion, *questions.otherFile))) {
            return;
        }
        options.consents.otherFile = true;
    }
    JoinOutcome outcome;
    const bool joined = RunStoppable(Text::JoinInterruptedInWindow, [&](ProgressSink& progress) {
        outcome = Join(survey, state_.destination, progress, options);
    });
    // Pieces joined but still there: "Regrouper" again deletes them.
    if (joined && !outcome.undeleted.empty()) {
        std::string text;
        for (const std::string& piece : outcome.undeleted) {
            text += (text.empty() ? "" : "\n") + FormatText(Text::NotDeleted, piece);
        }
        window_.ShowInformation(text);
    }
}

void WindowActions::Label6Click() {
    window_.OpenWebPage(std::string("http://") + kWebHost);
}

void WindowActions::FilesDropped(const std::vector<std::string>& paths, DropTarget target) {
    const auto file = std::find_if(paths.begin(), paths.end(), FileExists);
    if (file == paths.end()) {
        return;
    }
    window_.ResetProgress();
    if (target == DropTarget::JoinGroup ||
        (target == DropTarget::Elsewhere && EndsInDotAndDigits(*file))) {
        TakeFirstPiece(*file);
    } else {
        TakeFileToSplit(*file);
    }
}

void WindowActions::TakeFileToSplit(const std::string& path) {
    window_.SetFieldText(Field::SplitFile, "");
    state_.fileToSplit = path;
    window_.SetFieldText(Field::SplitFile, state_.fileToSplit);
}

// Any piece of a set leads to the file it rebuilds, so that a later piece left
// by an interrupted join finishes that join.
void WindowActions::TakeFirstPiece(const std::string& path) {
    state_.firstPiece = path;
    window_.SetFieldText(Field::FirstPiece, state_.firstPiece);
    state_.destination = DestinationOfPiece(state_.firstPiece);
    window_.SetFieldText(Field::Destination, state_.destination);
}

bool WindowActions::Consents(const std::string& question) {
    return window_.AskYesNo(question, QuestionIcon::Warning, Answer::No) == Answer::Yes;
}

bool WindowActions::RefuseEmpty(Field field) {
    if (!window_.FieldText(field).empty()) {
        return false;
    }
    window_.SetFieldText(field, "");
    window_.FocusField(field);
    return true;
}

// An interruption is what the user asked for: it is told as information, not
// as a failure for the error box.
bool WindowActions::RunStoppable(Text interrupted,
                                 const std::function<void(ProgressSink&)>& operation) {
    StoppableProgress progress(window_, interrupted);
    try {
        operation(progress);
    } catch (const EInterrupted& interruption) {
        window_.ShowInformation(interruption.Message());
        if (progress.StoppedToClose()) {
            window_.CloseWindow();
        }
        return false;
    }
    window_.ShowInformation(FormatText(Text::OperationDone));
    return true;
}

}  // namespace morcelix
