// The real window as a person uses it beyond its buttons: stopping a split or
// a join with Échap or by closing the window, finding the pieces of an
// interrupted join again in the open-file dialog, and dropping files on it.
#include <windows.h>

#include <commctrl.h>
#include <dlgs.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pieces/file_stream.h"
#include "pieces/piece_names.h"
#include "tests/app/actions_gui_fixture.h"

namespace morcelix::testing {
namespace {

using enum ControlId;

constexpr std::int64_t kPieceSize = 1'000'000;
const std::wstring kJoinInterrupted =
    L"Regroupage interrompu : cliquez sur Regrouper pour le terminer";

// Waits up to a minute for `bar` to show `position`; false when it did not, or
// when a dialog box of `thread` came first (the operation ended).
bool WaitForBar(HWND bar, int position, DWORD thread) {
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        DWORD_PTR shown = 0;
        if (SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &shown) &&
            static_cast<int>(shown) >= position) {
            return true;
        }
        if (WaitForWindow(thread, IsDialogBox(), 5ms) != nullptr) {
            return false;
        }
    }
    return false;
}

// A person asking to stop the operation that the test's thread is about to
// run: from a thread of its own, once the bar shows `from` %, `gesture` is
// made; the question is looked at and answered by a click; every message
// that follows is read and dismissed until the action has ended.
class StopRequester {
  public:
    StopRequester(HWND form, int from, std::function<void()> gesture, Answer answer)
        : thread_([this, form, from, gesture = std::move(gesture), answer,
                   ui = GetCurrentThreadId()] { Run(ui, form, from, gesture, answer); }) {}
    ~StopRequester() { Finish(); }
    StopRequester(const StopRequester&) = delete;
    StopRequester& operator=(const StopRequester&) = delete;

    // Once the action has ended: whether the question came, and the messages
    // after it.
    void Finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    const std::optional<QuestionSeen>& Question() const { return question_; }
    const std::vector<std::wstring>& Messages() const { return messages_; }

  private:
    void Run(DWORD ui, HWND form, int from, const std::function<void()>& gesture, Answer answer) {
        if (WaitForBar(GetDlgItem(form, static_cast<int>(ProgressBar1)), from, ui)) {
            gesture();
            if (HWND box = WaitForWindow(ui, IsDialogBoxSaying(kStopQuestion), 10s)) {
                question_ = LookAt(box, form);
                PostMessageW(GetDlgItem(box, answer == Answer::Yes ? IDYES : IDNO), BM_CLICK, 0, 0);
                WaitUntilGone(box);
            }
        }
        while (!done_) {
            if (HWND box = WaitForWindow(ui, IsDialogBox(), 50ms)) {
                messages_.push_back(MessageOf(box));
                PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDNO) ? IDNO : IDOK, 0);
                WaitUntilGone(box);
            }
        }
    }

    std::atomic<bool> done_ = false;
    std::optional<QuestionSeen> question_;
    std::vector<std::wstring> messages_;
    std::thread thread_;  // last: it uses the members above
};

void ExpectTheStopQuestion(const StopRequester& person) {
    ASSERT_TRUE(person.Question().has_value()) << "no question";
    const QuestionSeen& seen = *person.Question();
    EXPECT_EQ(seen.caption, L"Morcelix");
    EXPECT_EQ(seen.icon, LoadIconW(nullptr, IDI_QUESTION));
    EXPECT_TRUE(seen.yesAndNoOnly);
    EXPECT_EQ(seen.defaultButton, IDNO);
    EXPECT_FALSE(seen.formEnabled) << "the window took input while the question was shown";
}

// Échap, as pressed on the control that has the focus.
void PressEscapeIn(HWND form) {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(form, nullptr), &thread);
    HWND focus = thread.hwndFocus != nullptr ? thread.hwndFocus : form;
    PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageW(focus, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0000001));
}

// A press and release on the window's close box.
void ClickCloseBox(HWND form) {
    PostMessageW(form, WM_NCLBUTTONDOWN, HTCLOSE, 0);
    PostMessageW(form, WM_NCLBUTTONUP, HTCLOSE, 0);
}

// A set of `count` pieces of 1 Mo beside `film`, each with bytes of its own,
// and an empty last one, as a split of a whole multiple ends: the source is
// their concatenation.
void WritePieces(const std::string& film, int count) {
    for (int number = 1; number <= count; ++number) {
        WriteFileBytes(PieceName(film, number), PatternBytes(kPieceSize, number));
    }
    WriteFileBytes(PieceName(film, count + 1), "");
}

std::string ReadSlice(const std::string& path, std::int64_t offset, std::int64_t size) {
    std::ifstream file(NativePath(path), std::ios::binary);
    file.seekg(offset);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    file.read(bytes.data(), size);
    return file ? bytes : std::string();
}

// How many whole pieces of the set written by WritePieces the file `film`
// holds, checking that it and the pieces left are exactly the source: its
// pieces gone, the others in place. -1 when they are not.
int PiecesJoinedInto(const std::string& film, int count) {
    const std::int64_t size = std::max<std::int64_t>(FileSize(film), 0);
    const int joined = static_cast<int>(size / kPieceSize);
    if (size % kPieceSize != 0) {
        ADD_FAILURE() << film << " holds part of a piece: " << size;
        return -1;
    }
    for (int number = 1; number <= count; ++number) {
        const std::string piece = PieceName(film, number);
        const std::string expected = PatternBytes(kPieceSize, number);
        const bool whole = number <= joined
                               ? !PathExists(piece) && ReadSlice(film, (number - 1) * kPieceSize,
                                                                 kPieceSize) == expected
                               : ReadFileBytes(piece) == expected;
        if (!whole) {
            ADD_FAILURE() << "piece " << number << " is not in place (" << joined << " joined)";
            return -1;
        }
    }
    return joined;
}

class StopAndDropGuiTest : public ActionsGuiTest {
  protected:
    // Joins a set of 200 pieces beside `film`, stopped by `gesture` once the
    // bar shows 2 % and "Oui" to the question. Returns how many pieces the
    // destination holds, the source being in it and the pieces left.
    int StopAJoin(const std::string& film, std::function<void()> gesture) {
        WritePieces(film, 200);
        Browse(Button3, film + ".001");
        StopRequester person(Form(), 2, std::move(gesture), Answer::Yes);
        SendMessageW(Item(Button4), BM_CLICK, 0, 0);
        person.Finish();
        ExpectTheStopQuestion(person);
        EXPECT_EQ(person.Messages(), std::vector<std::wstring>{kJoinInterrupted});
        Pump();
        const int joined = PiecesJoinedInto(film, 200);
        EXPECT_GT(joined, 0);
        EXPECT_LT(joined, 200) << "the join was not stopped";
        return joined;
    }

    // Closes the program and starts it again, as a person would.
    void Restart() {
        actions_.reset();
        Stop();
        Start(SW_SHOWNORMAL);
        actions_ = std::make_unique<AttachedActions>(*form_);
    }
};

TEST_F(StopAndDropGuiTest, EchapDuringASplitThenOuiRemovesItsPieces) {
    const std::string film = folder_ / "grand.bin";
    MakeLargeFile(film, 1'000'000'000);  // stopped long before its end
    Browse(Button1, film);

    StopRequester person(
        Form(), 2, [&] { PressEscapeIn(Form()); }, Answer::Yes);
    SendMessageW(Item(Button2), BM_CLICK, 0, 0);
    person.Finish();

    ExpectTheStopQuestion(person);
    EXPECT_EQ(person.Messages(), std::vector<std::wstring>{L"Découpage interrompu"});
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"grand.bin"}) << "pieces left";
    Pump();
    EXPECT_TRUE(IsWindow(Form())) << "Échap closed the window";
    EXPECT_TRUE(IsWindowEnabled(Form()));
}

TEST_F(StopAndDropGuiTest, EchapDuringAJoinThenOuiKeepsTheSourceInItsFilesAndRegrouperFinishes) {
    const std::string film = folder_ / "film.avi";
    StopAJoin(film, [&] { PressEscapeIn(Form()); });
    EXPECT_TRUE(IsWindow(Form())) << "Échap closed the window";

    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_EQ(PiecesJoinedInto(film, 200), 200);
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"film.avi"});
}

BOOL CALLBACK FindListView(HWND child, LPARAM found) {
    if (ClassOf(child) == L"SysListView32") {
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
    }
    return TRUE;
}

// The names that the open-file dialog's list shows, sorted.
std::vector<std::wstring> ListedNames(HWND dialog) {
    HWND list = nullptr;
    EnumChildWindows(dialog, FindListView, reinterpret_cast<LPARAM>(&list));
    std::vector<std::wstring> names;
    const int count = list != nullptr ? ListView_GetItemCount(list) : 0;
    for (int i = 0; i < count; ++i) {
        wchar_t name[MAX_PATH] = {};
        ListView_GetItemText(list, i, 0, name, MAX_PATH);
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Waits up to five seconds for the dialog's list to show `expected`; what it
// shows at the end.
std::vector<std::wstring> WaitForListing(HWND dialog, const std::vector<std::wstring>& expected) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    std::vector<std::wstring> names = ListedNames(dialog);
    while (names != expected && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
        names = ListedNames(dialog);
    }
    return names;
}

void ChooseFilter(HWND dialog, int index) {
    HWND filters = GetDlgItem(dialog, cmb1);
    SendMessageW(filters, CB_SETCURSEL, index, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(cmb1, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(filters));
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(cmb1, CBN_SELENDOK),
                 reinterpret_cast<LPARAM>(filters));
}

TEST_F(StopAndDropGuiTest, ClosingDuringAJoinStopsItAndThePiecesLeftAreFoundAgainToFinishIt) {
    const std::string film = folder_ / "film.avi";
    const int joined = StopAJoin(film, [&] { ClickCloseBox(Form()); });
    EXPECT_EQ(Form(), nullptr) << "the window stayed";
    ASSERT_GT(joined, 0);

    // Started again, "Ouvrir" in "Regroupage": in the folder, the first
    // filter finds no first piece; the second lists the pieces left.
    Restart();
    // The pieces left, and the join's record beside them (picked, it leads
    // to the same join).
    std::vector<std::wstring> left = {L"film.avi.000"};
    for (int number = joined + 1; number <= 201; ++number) {  // the last one empty
        left.push_back(Widen("film.avi." + NumberText(number)));
    }
    std::sort(left.begin(), left.end());
    std::vector<std::wstring> labels, firstListing, secondListing;
    const std::string picked = PieceName(film, 200);
    DialogWatcher watcher(IsDialogBox(), [&](HWND dialog) {
        SendMessageW(FileNameField(dialog), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(Widen(folder_.Path()).c_str()));
        SendMessageW(dialog, WM_COMMAND, IDOK, 0);  // into the folder
        HWND filters = GetDlgItem(dialog, cmb1);
        const auto count = SendMessageW(filters, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t label[64] = {};
            SendMessageW(filters, CB_GETLBTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(label));
            labels.emplace_back(label);
        }
        ChooseFilter(dialog, 1);
        secondListing = WaitForListing(dialog, left);
        ChooseFilter(dialog, 0);
        firstListing = WaitForListing(dialog, {});
        SendMessageW(FileNameField(dialog), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(Widen(picked).c_str()));
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    SendMessageW(Item(Button3), BM_CLICK, 0, 0);
    EXPECT_TRUE(watcher.Succeeded()) << "no open-file dialog, or it did not close";
    Pump();
    EXPECT_EQ(labels, (std::vector<std::wstring>{L"Fichiers Découper", L"Toutes les parties"}));
    EXPECT_EQ(secondListing, left);
    EXPECT_EQ(firstListing, std::vector<std::wstring>{});
    EXPECT_EQ(form_->FieldText(Edit3), picked);
    EXPECT_EQ(form_->FieldText(Edit4), film);

    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_EQ(PiecesJoinedInto(film, 200), 200);
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"film.avi"});
}

TEST_F(StopAndDropGuiTest, FilesDroppedFromExplorerGoWhereTheyAreDropped) {
    const std::string film = folder_ / "film.avi";
    const std::string content = PatternBytes(2'500'000);
    WriteFileBytes(film, content);
    const std::string notes = folder_ / "notes.txt";
    const std::string piece = folder_ / "autre.bin.001";
    const std::string sub = folder_ / "dossier";
    WriteFileBytes(notes, "n");
    WriteFileBytes(piece, "p");
    MakeFolder(sub);

    RECT frame{};
    GetWindowRect(Form(), &frame);
    const POINT onSplitGroup = CentreIn(Form(), Item(GroupBox1));
    const POINT onEdit1 = CentreIn(Form(), Item(Edit1));
    const POINT onButton4 = CentreIn(Form(), Item(Button4));
    const POINT onLink = CentreIn(Form(), Item(Label6));
    const POINT onTitle{(frame.left + frame.right) / 2, frame.top + 5};
    const struct {
        std::vector<std::string> paths;
        POINT point;
        bool onFrame;
        std::string edit1, edit3, edit4;  // the fields afterwards
    } cases[] = {
        {{notes}, onSplitGroup, false, notes, "", ""},
        {{piece}, onEdit1, false, piece, "", ""},
        {{notes}, onButton4, false, piece, notes, folder_ / "notes"},
        {{piece}, onLink, false, piece, piece, folder_ / "autre.bin"},
        {{film}, onTitle, true, film, piece, folder_ / "autre.bin"},
        // The first file; folders and names no longer there do not count,
        // and alone change nothing.
        {{sub, folder_ / "absent.001", notes, piece},
         onLink,
         false,
         notes,
         piece,
         folder_ / "autre.bin"},
        {{sub}, onButton4, false, notes, piece, folder_ / "autre.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.paths));
        form_->ProgressBar1().SetPosition(50);
        SendMessageW(Form(), WM_DROPFILES,
                     reinterpret_cast<WPARAM>(DropOf(c.paths, c.point, c.onFrame)), 0);
        EXPECT_EQ(form_->FieldText(Edit1), c.edit1);
        EXPECT_EQ(form_->FieldText(Edit3), c.edit3);
        EXPECT_EQ(form_->FieldText(Edit4), c.edit4);
        EXPECT_EQ(actions_->Actions().State().fileToSplit, c.edit1);
        EXPECT_EQ(actions_->Actions().State().firstPiece, c.edit3);
        EXPECT_EQ(BarPosition(), c.paths == std::vector<std::string>{sub} ? 50 : 0);
    }

    // A split and a join run on the files dropped.
    SendMessageW(Form(), WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({film}, onSplitGroup)), 0);
    EXPECT_EQ(ClickAndDismiss(Button2), L"Opération terminé");
    ASSERT_TRUE(DeleteFileW(Widen(film).c_str()));
    SendMessageW(Form(), WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({film + ".001"}, onLink)),
                 0);
    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_EQ(ReadFileBytes(film), content);
}

}  // namespace
}  // namespace morcelix::testing
