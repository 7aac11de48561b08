#include "app/window_actions.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/split.h"
#include "tests/support/temp_folder.h"
#include "tests/support/undeletable_file.h"

namespace morcelix {
namespace {

using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

struct Question {
    std::string text;
    QuestionIcon icon;
    Answer byDefault;
    bool operator==(const Question&) const = default;
};

// Stands in for the main window: answers browses and questions from queues,
// asks to stop once the bar has reached a position, and records what the
// actions show and do.
class StandInWindow : public MainWindowPort {
  public:
    std::optional<std::string> Browse(const std::string& filter) override {
        filters.push_back(filter);
        auto answer = browseAnswers.front();
        browseAnswers.pop_front();
        return answer;
    }
    void ShowInformation(const std::string& text) override { messages.push_back(text); }
    std::string FieldText(Field field) override { return fields[field]; }
    void SetFieldText(Field field, const std::string& text) override { fields[field] = text; }
    void FocusField(Field field) override { focused.push_back(field); }
    ProgressSink& Progress() override { return progress; }
    void ResetProgress() override { progress.positions.push_back(0); }
    void OpenWebPage(const std::string& address) override { opened.push_back(address); }
    Answer AskYesNo(const std::string& question, QuestionIcon icon, Answer byDefault) override {
        questions.push_back({question, icon, byDefault});
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    StopRequest TakeStopRequest() override {
        if (!stopAt || progress.positions.empty() || progress.positions.back() < *stopAt) {
            return StopRequest::None;
        }
        stopAt.reset();
        return stopRequest;
    }
    void CloseWindow() override { closedAfterMessages.push_back(messages.size()); }

    std::deque<std::optional<std::string>> browseAnswers;
    std::deque<Answer> answers;
    std::optional<int> stopAt;
    StopRequest stopRequest = StopRequest::None;
    std::vector<Question> questions;
    std::vector<std::size_t> closedAfterMessages;
    std::vector<std::string> filters, messages, opened;
    std::map<Field, std::string> fields{{Field::PieceSize, "1"}};
    std::vector<Field> focused;
    testing::RecordingProgress progress;
};

class WindowActionsTest : public ::testing::Test {
  protected:
    void ChooseFileToSplit(const std::string& path) {
        window.browseAnswers.push_back(path);
        actions.Button1Click();
    }
    void ChooseFirstPiece(const std::string& path) {
        window.browseAnswers.push_back(path);
        actions.Button3Click();
    }
    // The user asks to stop with `request` once the bar shows `position`, and
    // answers the question with `answer`.
    void AskToStopAt(int position, StopRequest request, Answer answer) {
        window.stopAt = position;
        window.stopRequest = request;
        window.answers = {answer};
    }

    TempFolder folder;
    std::string film = folder / "film.avi";
    StandInWindow window;
    WindowActions actions{window};
};

TEST_F(WindowActionsTest, BrowsingFillsTheFieldsAndTheWorkingState) {
    window.progress.positions.clear();
    ChooseFileToSplit(film);
    EXPECT_EQ(window.filters.back(), "Tous les fichiers|*.*");
    EXPECT_EQ(window.fields[Field::SplitFile], film);
    EXPECT_EQ(actions.State().fileToSplit, film);

    ChooseFirstPiece(film + ".001");
    EXPECT_EQ(window.filters.back(),
              "Fichiers Découper|*.001|Toutes les parties|"
              "*.0??*;*.1??*;*.2??*;*.3??*;*.4??*;*.5??*;*.6??*;*.7??*;*.8??*;*.9??*");
    EXPECT_EQ(window.fields[Field::FirstPiece], film + ".001");
    EXPECT_EQ(window.fields[Field::Destination], film);
    EXPECT_EQ(actions.State().destination, film);
    EXPECT_EQ(window.progress.positions, (std::vector<int>{0, 0}));  // each browse empties the bar

    // A later piece, left by an interrupted join, leads to the same file.
    ChooseFirstPiece(film + ".1000");
    EXPECT_EQ(window.fields[Field::Destination], film);
}

TEST_F(WindowActionsTest, ACancelledBrowseChangesNothingButTheBar) {
    ChooseFileToSplit(film);
    ChooseFirstPiece(film + ".001");
    const WorkingState before = actions.State();
    window.progress.positions.clear();
    window.browseAnswers = {std::nullopt, std::nullopt};
    actions.Button1Click();
    actions.Button3Click();
    EXPECT_EQ(actions.State().fileToSplit, before.fileToSplit);
    EXPECT_EQ(actions.State().firstPiece, before.firstPiece);
    EXPECT_EQ(window.fields[Field::SplitFile], film);
    EXPECT_EQ(window.fields[Field::Destination], film);
    EXPECT_EQ(window.progress.positions, (std::vector<int>{0, 0}));
}

TEST_F(WindowActionsTest, SplitThenJoinThroughTheActions) {
    const std::string content = PatternBytes(2500000);
    WriteFileBytes(film, content);
    ChooseFileToSplit(film);
    actions.Button2Click();
    EXPECT_EQ(window.messages, std::vector<std::string>{"Opération terminé"});
    EXPECT_EQ(window.progress.positions, (std::vector<int>{0, 0, 40, 80, 100}));
    EXPECT_EQ(FileSize(film + ".003"), 500000);

    RemoveFile(film);
    ChooseFirstPiece(film + ".001");
    actions.Button4Click();
    EXPECT_EQ(window.messages.back(), "Opération terminé");
    EXPECT_EQ(ReadFileBytes(film), content);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
}

TEST_F(WindowActionsTest, APieceThatCanNotBeDeletedIsNamedAfterTheCompletionMessage) {
    const std::string content = PatternBytes(2500000);
    WriteFileBytes(film, content);
    testing::RecordingProgress progress;
    Split(film, 1000000, progress);
    RemoveFile(film);
    testing::UndeletableFile held(film + ".002");
    if (!held.Held()) {
        GTEST_SKIP() << "this file system can not make a file undeletable";
    }
    ChooseFirstPiece(film + ".001");
    actions.Button4Click();
    EXPECT_EQ(window.messages,
              (std::vector<std::string>{"Opération terminé",
                                        "Le fichier " + film + ".002 n'a pas pu être supprimé"}));
    EXPECT_EQ(ReadFileBytes(film), content);

    // Pressed again once it is released, "Regrouper" deletes it.
    held.Release();
    window.messages.clear();
    actions.Button4Click();
    EXPECT_EQ(window.messages, std::vector<std::string>{"Opération terminé"});
    EXPECT_EQ(ReadFileBytes(film), content);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
}

TEST_F(WindowActionsTest, EachGroupActsOnTheFileItsOwnButtonChose) {
    WriteFileBytes(film, PatternBytes(15));
    const std::string other = folder / "other.bin";
    WriteFileBytes(other + ".001", "abc");
    ChooseFileToSplit(film);
    ChooseFirstPiece(other + ".001");
    window.fields[Field::SplitFile] = "typed text is not used";
    actions.Button2Click();
    EXPECT_TRUE(FileExists(film + ".001"));
    actions.Button4Click();
    EXPECT_EQ(ReadFileBytes(other), "abc");
}

TEST_F(WindowActionsTest, TheChecksComeInOrderEmptyFieldThenFileThenSize) {
    // An empty file field: cleared, focused, nothing said.
    actions.Button2Click();
    actions.Button4Click();
    EXPECT_EQ(window.focused, (std::vector<Field>{Field::SplitFile, Field::FirstPiece}));
    EXPECT_TRUE(window.messages.empty());

    // Spaces pass the emptiness check; the working state is what counts.
    window.fields[Field::SplitFile] = "   ";
    window.fields[Field::PieceSize] = "abc";
    actions.Button2Click();
    // A name typed before any browse in "Regroupage".
    window.fields[Field::FirstPiece] = film + ".001";
    actions.Button4Click();
    EXPECT_EQ(window.messages,
              (std::vector<std::string>{"Fichier non trouvé", "Fichier non trouvé"}));

    // The file test comes before the size is read.
    ChooseFileToSplit(folder / "absent");
    actions.Button2Click();
    EXPECT_EQ(window.messages.back(), "Fichier non trouvé");
}

TEST_F(WindowActionsTest, BadSizeEntriesFailBeforeAnythingIsWritten) {
    WriteFileBytes(film, PatternBytes(10));
    ChooseFileToSplit(film);
    window.fields[Field::PieceSize] = "abc";
    EXPECT_THROW(actions.Button2Click(), EConvertError);
    window.fields[Field::PieceSize] = "-5";
    EXPECT_THROW(actions.Button2Click(), EPieceSizeError);
    EXPECT_EQ(actions.State().pieceSize, 0);  // unchanged by a refused entry
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"});
    EXPECT_TRUE(window.messages.empty());

    window.fields[Field::PieceSize] = "4700";
    actions.Button2Click();
    EXPECT_EQ(actions.State().pieceSize, 4700000000);
    EXPECT_EQ(ReadFileBytes(film + ".001"), PatternBytes(10));
}

TEST_F(WindowActionsTest, AnEmptySizeFieldKeepsThePreviousSize) {
    WriteFileBytes(film, PatternBytes(10));
    ChooseFileToSplit(film);
    window.fields[Field::PieceSize] = "";
    // At the first split the size is still 0.
    EXPECT_THROW(actions.Button2Click(), EZeroDivide);
    WriteFileBytes(film, "");
    EXPECT_THROW(actions.Button2Click(), EInvalidOp);
    EXPECT_TRUE(window.messages.empty());

    WriteFileBytes(film, PatternBytes(3000001));
    window.fields[Field::PieceSize] = "1";
    actions.Button2Click();
    window.fields[Field::PieceSize] = "";
    actions.Button2Click();
    EXPECT_EQ(actions.State().pieceSize, 1000000);
    EXPECT_EQ(FileSize(film + ".004"), 1);
}

const Question kStopQuestion{"Interrompre l'opération en cours ?", QuestionIcon::Question,
                             Answer::No};

TEST_F(WindowActionsTest, AStopConfirmedEndsTheOperationAndSaysSo) {
    const std::string content = PatternBytes(2500000);
    WriteFileBytes(film, content);
    ChooseFileToSplit(film);
    AskToStopAt(40, StopRequest::Stop, Answer::Yes);
    actions.Button2Click();
    EXPECT_EQ(window.questions, std::vector<Question>{kStopQuestion});
    EXPECT_EQ(window.messages, std::vector<std::string>{"Découpage interrompu"});
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"film.avi"}) << "pieces left";
    EXPECT_TRUE(window.closedAfterMessages.empty()) << "Échap closed the window";

    // A join stopped by a close: cut back to its whole pieces, the window
    // closed once the message is read.
    Split(film, 1000000, window.progress);
    RemoveFile(film);
    ChooseFirstPiece(film + ".001");
    AskToStopAt(40, StopRequest::Close, Answer::Yes);
    actions.Button4Click();
    EXPECT_EQ(window.messages.back(),
              "Regroupage interrompu : cliquez sur Regrouper pour le terminer");
    EXPECT_EQ(window.closedAfterMessages, std::vector<std::size_t>{2});
    EXPECT_EQ(ReadFileBytes(film) + ReadFileBytes(film + ".002") + ReadFileBytes(film + ".003"),
              content);
}

TEST_F(WindowActionsTest, TheLinkOpensTheWebPage) {
    actions.Label6Click();
    EXPECT_EQ(window.opened, std::vector<std::string>{"http://morcelix.example"});
}

}  // namespace
}  // namespace morcelix
