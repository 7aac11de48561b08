// The whole program through its real window: the system's open-file dialog
// typed into, split and join on real files, the messages read and dismissed,
// and the window kept alive (but deaf, but for a request to stop) during a
// long operation.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/live_progress.h"
#include "app/open_dialog.h"
#include "pieces/file_stream.h"
#include "pieces/join.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/app/actions_gui_fixture.h"
#include "tests/support/small_disk.h"

namespace morcelix::testing {
namespace {

using enum ControlId;

TEST(OpenDialogTest, FilterTextHasNulsForBarsAndTwoAtTheEnd) {
    using namespace std::string_literals;
    EXPECT_EQ(DialogFilter("Tous les fichiers|*.*"), L"Tous les fichiers\0*.*\0\0"s);
    EXPECT_EQ(DialogFilter("Fichiers Découper|*.001"), L"Fichiers Découper\0*.001\0\0"s);
    EXPECT_EQ(DialogFilter("A|*.a|B|*.b;*.c"), L"A\0*.a\0B\0*.b;*.c\0\0"s);
    EXPECT_EQ(DialogFilter(""), L"");
}

TEST(OpenDialogTest, PlaceIsCentredAcrossAndAThirdDown) {
    const struct {
        RECT monitor;
        SIZE dialog;
        POINT place;
    } cases[] = {
        {{0, 0, 1024, 768}, {600, 300}, {212, 156}},
        {{0, 0, 1024, 768}, {601, 301}, {211, 155}},       // halves and thirds truncate
        {{1024, 0, 2944, 1080}, {800, 600}, {1584, 160}},  // a second monitor
        {{-1280, -200, 0, 824}, {400, 400}, {-840, 8}},
        {{0, 0, 640, 480}, {800, 600}, {0, 0}},  // larger than the monitor
    };
    for (const auto& c : cases) {
        const POINT place = DialogPlace(c.monitor, c.dialog);
        EXPECT_EQ(place.x, c.place.x) << c.monitor.left << " " << c.dialog.cx;
        EXPECT_EQ(place.y, c.place.y) << c.monitor.top << " " << c.dialog.cy;
    }
}

// A window of the test's thread, for the messages the pump sees.
class PumpTest : public GuiTest {};

std::atomic<int> ticks = 0;
void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    ++ticks;
}

// The messages that reach the window, kept from it.
using Reached = std::vector<std::pair<UINT, WPARAM>>;
LRESULT CALLBACK KeepFromWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR reached) {
    switch (message) {
        case WM_COMMAND:
        case WM_SYSCOMMAND:
        case WM_CLOSE:
        case WM_DROPFILES:
            reinterpret_cast<Reached*>(reached)->emplace_back(message, wParam);
            return 0;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

TEST_F(PumpTest, ServingDropsInputButTheRequestsToStopAndLeavesCommandsAndQuit) {
    Reached reached;
    SetWindowSubclass(Form(), KeepFromWindow, 0, reinterpret_cast<DWORD_PTR>(&reached));
    // Waiting: input, Échap, Alt+F4, a press on the close box, a command, a
    // close, a drop, a quit; a paint and a due timer.
    PostMessageW(Item(Edit2), WM_KEYDOWN, 'X', 1);
    PostMessageW(Item(Edit2), WM_CHAR, 'x', 1);
    PostMessageW(Item(Edit2), WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageW(Item(Edit2), WM_SYSKEYDOWN, VK_F4, MAKELPARAM(1, KF_ALTDOWN));
    PostMessageW(Item(Edit2), WM_SYSKEYDOWN, VK_F5, MAKELPARAM(1, KF_ALTDOWN));
    PostMessageW(Item(Button4), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    PostMessageW(Item(Button4), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    PostMessageW(Form(), WM_NCLBUTTONDOWN, HTCAPTION, 0);
    PostMessageW(Form(), WM_NCLBUTTONDOWN, HTCLOSE, 0);
    PostMessageW(Form(), WM_NCLBUTTONUP, HTCLOSE, 0);
    PostMessageW(Form(), WM_COMMAND, MAKEWPARAM(static_cast<int>(Button3), BN_CLICKED),
                 reinterpret_cast<LPARAM>(Item(Button3)));
    PostMessageW(Form(), WM_CLOSE, 0, 0);
    PostMessageW(Form(), WM_DROPFILES, 0, 0);
    PostQuitMessage(7);
    InvalidateRect(Form(), nullptr, TRUE);
    ticks = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 1, Tick);
    Sleep(30);

    ServeWindows();
    KillTimer(nullptr, timer);
    RemoveWindowSubclass(Form(), KeepFromWindow, 0);

    EXPECT_FALSE(GetUpdateRect(Form(), nullptr, FALSE)) << "the window was not painted";
    EXPECT_GT(ticks.load(), 0) << "the timer did not run";
    EXPECT_EQ(form_->FieldText(Edit2), "1");
    // Échap as the dialog key, Alt+F4 and the close box as the frame passes
    // them on; the close and the drop posted.
    EXPECT_EQ(reached, (Reached{{WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)},
                                {WM_SYSCOMMAND, SC_CLOSE},
                                {WM_SYSCOMMAND, SC_CLOSE},
                                {WM_CLOSE, 0},
                                {WM_DROPFILES, 0}}));
    // No input is left; the rest waits, in order, for the loop.
    std::vector<UINT> left;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        left.push_back(message.message);
        if (message.message == WM_QUIT) {
            EXPECT_EQ(message.wParam, 7u);
        }
    }
    EXPECT_EQ(left, (std::vector<UINT>{WM_COMMAND, WM_QUIT}));
}

// The pieces of `bytes` named after `film`, 1 Mo each but the last.
void WriteMegabytePieces(const std::string& film, const std::string& bytes) {
    for (std::size_t number = 1; (number - 1) * 1'000'000 < bytes.size(); ++number) {
        WriteFileBytes(PieceName(film, number), bytes.substr((number - 1) * 1'000'000, 1'000'000));
    }
}

TEST_F(ActionsGuiTest, SplitThenJoinThroughTheRealDialogs) {
    const std::string film = folder_ / "vacances été.avi";
    const std::string bytes = PatternBytes(2'500'000);
    WriteFileBytes(film, bytes);

    const OpenDialogSeen split = Browse(Button1, film);
    EXPECT_EQ(split.fileName, L"") << "the first browse starts empty";
    EXPECT_EQ(split.filterLabel, L"Tous les fichiers");
    EXPECT_EQ(split.owner, application_->Handle());
    EXPECT_FALSE(split.formEnabled) << "the window took input while the dialog was open";
    EXPECT_NE(split.caption, L"Morcelix") << "the dialog has the system's own title";
    const POINT place =
        DialogPlace({0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)},
                    {split.frame.right - split.frame.left, split.frame.bottom - split.frame.top});
    EXPECT_EQ(split.frame.left, place.x);
    EXPECT_EQ(split.frame.top, place.y);
    EXPECT_EQ(form_->FieldText(Edit1), film);
    EXPECT_TRUE(IsWindowEnabled(Form()));

    EXPECT_EQ(ClickAndDismiss(Button2), L"Opération terminé");
    EXPECT_EQ(BarPosition(), 100);
    EXPECT_EQ(ReadFileBytes(film + ".001"), bytes.substr(0, 1'000'000));
    EXPECT_EQ(ReadFileBytes(film + ".002"), bytes.substr(1'000'000, 1'000'000));
    EXPECT_EQ(ReadFileBytes(film + ".003"), bytes.substr(2'000'000));
    EXPECT_FALSE(PathExists(film + ".004"));

    // The join rebuilds the file under its own name: take the source away.
    ASSERT_TRUE(DeleteFileW(Widen(film).c_str()));
    const OpenDialogSeen join = Browse(Button3, film + ".001");
    EXPECT_EQ(join.filterLabel, L"Fichiers Découper");
    EXPECT_NE(join.fileName.find(L"vacances été.avi"), std::wstring::npos)
        << "the dialog did not start from the previous choice";
    EXPECT_EQ(BarPosition(), 0) << "browsing empties the bar";
    EXPECT_EQ(form_->FieldText(Edit3), film + ".001");
    EXPECT_EQ(form_->FieldText(Edit4), film);

    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_EQ(ReadFileBytes(film), bytes);
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"vacances été.avi"}) << "pieces left";
    EXPECT_EQ(BarPosition(), 100);
}

TEST_F(ActionsGuiTest, AJoinThatStoppedIsFinishedByPressingRegrouperAgain) {
    const std::string film = folder_ / "film.avi";
    const std::string bytes = PatternBytes(4'500'000);
    WriteMegabytePieces(film, bytes);
    Browse(Button3, film + ".001");
    {
        // Another program holds piece 3 for writing.
        TFileStream held(film + ".003", OpenMode::Create);
        held.WriteBuffer(bytes.data() + 2'000'000, 1'000'000);
        EXPECT_EQ(ClickAndDismiss(Button4),
                  Widen("Impossible d'ouvrir le fichier " + film + ".003."));
    }
    EXPECT_EQ(ReadFileBytes(film), bytes.substr(0, 2'000'000));
    EXPECT_FALSE(PathExists(film + ".001")) << "the pieces joined before it are deleted";

    // The first piece is gone: the same press finishes the join.
    EXPECT_EQ(form_->FieldText(Edit3), film + ".001");
    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_EQ(ReadFileBytes(film), bytes);
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"film.avi"});
    EXPECT_EQ(BarPosition(), 100);
}

// Zeros look the same at any place: the join's record, not the bytes, tells
// where it stopped.
TEST_F(ActionsGuiTest, AZeroFilledJoinStoppedAfterItsFirstPieceIsFinishedFromThePieceLeft) {
    const std::string film = folder_ / "disque.img";
    const std::string bytes(1'600'000, '\0');
    WriteMegabytePieces(film, bytes);
    struct Stopped {};
    class StopAfterFirstPiece : public RecordingProgress {
        void Moved(std::int64_t, Mark mark) override {
            if (mark == Mark::Piece) {
                throw Stopped();
            }
        }
    } stopping;
    EXPECT_THROW(Join(film + ".001", film, stopping), Stopped);
    ASSERT_FALSE(PathExists(film + ".001")) << "the first piece became the file";

    Browse(Button3, film + ".002");
    EXPECT_EQ(form_->FieldText(Edit4), film);
    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_TRUE(ReadFileBytes(film) == bytes);
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"disque.img"});
}

TEST_F(ActionsGuiTest, ADamagedPieceOfAChecksummedSetEndsInTheErrorBoxAndIsRepaired) {
    const std::string film = folder_ / "film.avi";
    const std::string bytes = PatternBytes(3'500'000);
    WriteFileBytes(film, bytes);
    RecordingProgress progress;
    Split(film, 1'000'000, progress, {.sums = {.manifest = true}});
    ASSERT_TRUE(DeleteFileW(Widen(film).c_str()));
    const std::string third = film + ".003";
    const std::string good = ReadFileBytes(third);
    std::string damaged = good;
    damaged[500'000] ^= 0x40;
    WriteFileBytes(third, damaged);

    Browse(Button3, film + ".001");
    const auto set = folder_.Snapshot();
    EXPECT_EQ(ClickAndDismiss(Button4), Widen("Le fichier " + third + " est endommagé."));
    EXPECT_EQ(folder_.Snapshot(), set) << "the set is read whole before anything is touched";

    WriteFileBytes(third, good);  // fetched again
    EXPECT_EQ(ClickAndDismiss(Button4), L"Opération terminé");
    EXPECT_EQ(ReadFileBytes(film), bytes);
    EXPECT_EQ(folder_.Names(), (std::vector<std::string>{"film.avi", "film.avi.sha256"}));
}

TEST_F(ActionsGuiTest, AChecksummedJoinWithoutTheRoomEndsInTheErrorBoxAndTheWindowCloses) {
    const std::string disk = SmallDiskFolder();
    if (disk.empty()) {
        GTEST_SKIP() << "no small file system to fill (MORCELIX_SMALL_DISK unset)";
    }
    // The set and its manifest on the small disk, and beside them room for a
    // tenth of a piece.
    TempFolder small(disk);
    const std::string film = small / "film.avi";
    const std::string bytes = PatternBytes(1'200'000);
    WriteFileBytes(film, bytes);
    RecordingProgress progress;
    Split(film, 500'000, progress, {.sums = {.manifest = true}});
    ASSERT_TRUE(DeleteFileW(Widen(film).c_str()));
    const std::int64_t room = FillDisk(small / "filler");
    TFileStream(small / "filler", OpenMode::Update).SetSize(room - 50'000);

    Browse(Button3, film + ".001");
    EXPECT_EQ(ClickAndDismiss(Button4),
              Widen("Espace disque insuffisant pour " + film + " : il faut 500,0 ko, il reste " +
                    FormatBytes(DiskFactsOf(film)->freeBytes) + "."));
    EXPECT_EQ(small.Names(), (std::vector<std::string>{"filler", "film.avi.001", "film.avi.002",
                                                       "film.avi.003", "film.avi.sha256"}));
    SendMessageW(Form(), WM_CLOSE, 0, 0);
    EXPECT_EQ(Form(), nullptr) << "the window did not close";
}

// A person who answers each yes/no question the action asks with the next of
// `answers`, and dismisses every other message, while the test's thread runs
// the action; what was seen is kept.
class Answerer {
  public:
    Answerer(HWND form, std::vector<Answer> answers)
        : answers_(std::move(answers)),
          thread_([this, form, ui = GetCurrentThreadId()] { Run(ui, form); }) {}
    ~Answerer() { Finish(); }
    Answerer(const Answerer&) = delete;
    Answerer& operator=(const Answerer&) = delete;

    void Finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::vector<QuestionSeen> questions;
    std::vector<std::wstring> messages;

  private:
    void Run(DWORD ui, HWND form) {
        std::size_t next = 0;
        while (!done_) {
            HWND box = WaitForWindow(ui, IsDialogBox(), 50ms);
            if (box == nullptr) {
                continue;
            }
            if (GetDlgItem(box, IDYES) != nullptr) {
                questions.push_back(LookAt(box, form));
                const Answer answer = next < answers_.size() ? answers_[next++] : Answer::No;
                PostMessageW(GetDlgItem(box, answer == Answer::Yes ? IDYES : IDNO), BM_CLICK, 0, 0);
            } else {
                messages.push_back(MessageOf(box));
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
            WaitUntilGone(box);
        }
    }

    std::vector<Answer> answers_;
    std::atomic<bool> done_ = false;
    std::thread thread_;  // last: it uses the members above
};

TEST_F(ActionsGuiTest, TheJoinAsksBeforeTakingASetThatMayLackItsEndOrReplacingAnotherFile) {
    const std::string film = folder_ / "film.avi";
    const std::string bytes = PatternBytes(4'000'000);
    WriteMegabytePieces(film, bytes);
    Browse(Button3, film + ".001");
    const auto press = [&](std::vector<Answer> answers) {
        auto person = std::make_unique<Answerer>(Form(), std::move(answers));
        SendMessageW(Item(Button4), BM_CLICK, 0, 0);
        Pump();
        person->Finish();
        return person;
    };
    const auto expectWarning = [&](const QuestionSeen& seen, const std::string& text) {
        EXPECT_EQ(seen.text, Widen(text));
        EXPECT_EQ(seen.caption, L"Morcelix");
        EXPECT_EQ(seen.icon, LoadIconW(nullptr, IDI_WARNING));
        EXPECT_TRUE(seen.yesAndNoOnly);
        EXPECT_EQ(seen.defaultButton, IDNO);
    };
    const std::string lastQuestion = "La dernière partie, " + film +
                                     ".004, a la même taille que les autres : il en manque "
                                     "peut-être. Regrouper quand même ?";
    auto before = folder_.Snapshot();
    auto person = press({Answer::No});
    ASSERT_EQ(person->questions.size(), 1u);
    expectWarning(person->questions[0], lastQuestion);
    EXPECT_TRUE(person->messages.empty());
    EXPECT_EQ(folder_.Snapshot(), before) << "Non touched something";

    // Another file of the destination's name is asked about next.
    WriteFileBytes(film, "another file");
    before = folder_.Snapshot();
    person = press({Answer::Yes, Answer::No});
    ASSERT_EQ(person->questions.size(), 2u);
    expectWarning(person->questions[1],
                  "Le fichier " + film + " existe déjà. Voulez-vous le remplacer ?");
    EXPECT_TRUE(person->messages.empty());
    EXPECT_EQ(folder_.Snapshot(), before) << "Non touched something";

    person = press({Answer::Yes, Answer::Yes});
    EXPECT_EQ(person->questions.size(), 2u);
    EXPECT_EQ(person->messages, std::vector<std::wstring>{L"Opération terminé"});
    EXPECT_EQ(ReadFileBytes(film), bytes);

    // A set that ends as a split ends, beside a join of it that stopped: no question.
    RemoveFile(film);
    WriteFileBytes(film + ".001", bytes.substr(0, 1'000'000));
    WriteFileBytes(film + ".002", bytes.substr(1'000'000, 700'000));
    WriteFileBytes(film, bytes.substr(0, 400'000));
    person = press({});
    EXPECT_TRUE(person->questions.empty());
    EXPECT_EQ(person->messages, std::vector<std::wstring>{L"Opération terminé"});
    EXPECT_EQ(ReadFileBytes(film), bytes.substr(0, 1'700'000));
}

TEST_F(ActionsGuiTest, ABadSizeEndsInTheErrorBoxAndTheWindowGoesOn) {
    const std::string film = folder_ / "film.avi";
    WriteFileBytes(film, PatternBytes(1'500'000));
    Browse(Button1, film);

    form_->SetFieldText(Edit2, "abc");
    EXPECT_EQ(ClickAndDismiss(Button2), L"'abc' n'est pas une valeur entière correcte.");
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"film.avi"}) << "something was written";
    EXPECT_EQ(form_->FieldText(Edit2), "abc");
    EXPECT_TRUE(IsWindowEnabled(Form()));

    // The window takes input again: typing a size, then the next split.
    form_->Focus(Edit2);
    PressKey(VK_DELETE);  // the focus selected the whole field
    EXPECT_EQ(form_->FieldText(Edit2), "");
    MSG digit{GetFocus(), WM_CHAR, '1', 1, 0, {}};
    application_->Dispatch(digit);
    EXPECT_EQ(form_->FieldText(Edit2), "1");
    EXPECT_EQ(ClickAndDismiss(Button2), L"Opération terminé");
    EXPECT_EQ(folder_.Names(),
              (std::vector<std::string>{"film.avi", "film.avi.001", "film.avi.002"}));
}

TEST_F(ActionsGuiTest, ACancelledBrowseChangesNothing) {
    const std::string film = folder_ / "film.avi";
    WriteFileBytes(film, "abc");
    Browse(Button1, film);
    form_->SetFieldText(Edit3, "tapé à la main");

    const OpenDialogSeen cancelled = Browse(Button1, "");
    EXPECT_NE(cancelled.fileName.find(L"film.avi"), std::wstring::npos);
    Browse(Button3, "");
    EXPECT_EQ(form_->FieldText(Edit1), film);
    EXPECT_EQ(form_->FieldText(Edit3), "tapé à la main");
    EXPECT_EQ(form_->FieldText(Edit4), "");
    EXPECT_EQ(actions_->Actions().State().fileToSplit, film);
    EXPECT_EQ(actions_->Actions().State().firstPiece, "");

    // The dialog still remembers the last confirmed choice, and the window
    // takes input again.
    EXPECT_NE(Browse(Button3, "").fileName.find(L"film.avi"), std::wstring::npos);
    EXPECT_TRUE(IsWindowEnabled(Form()));
    form_->Focus(Button2);
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Item(Edit3));
}

// What another thread saw of the window while the split ran.
struct Observed {
    bool answered = true;  // every question within a second
    std::set<int> positions;
    bool painted = false;  // an invalidated window drawn again...
    int afterPaint = 100;  // ...while the bar stood here, below 100
    HWND focus = nullptr;
};

TEST_F(ActionsGuiTest, TheWindowStaysAliveDuringALongSplitAndIgnoresInputGivenMeanwhile) {
    const std::string film = folder_ / "grand.bin";
    MakeLargeFile(film, 200'000'000);  // 200 pieces of 1 Mo, and an empty one
    Browse(Button1, film);

    HWND bar = Item(ProgressBar1);
    const DWORD uiThread = GetCurrentThreadId();
    auto ask = [&](Observed& seen) {
        DWORD_PTR position = 0;
        if (!SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position)) {
            seen.answered = false;
            return -1;
        }
        seen.positions.insert(static_cast<int>(position));
        return static_cast<int>(position);
    };
    Observed seen;
    std::atomic<bool> done = false;
    std::thread observer([&] {
        // Under way: the bar has moved past the first pieces.
        int position = 0;
        while (!done && seen.answered && (position = ask(seen)) < 2) {
            std::this_thread::sleep_for(5ms);
        }
        if (done || !seen.answered) {
            return;
        }
        GUITHREADINFO thread{};
        thread.cbSize = sizeof(thread);
        GetGUIThreadInfo(uiThread, &thread);
        seen.focus = thread.hwndFocus;

        // A click on "Regrouper" (which would put the focus in the empty
        // Edit3), a character typed into the size field, Tab, a drag of the
        // title bar: none may act, now or afterwards.
        PostMessageW(Item(Button4), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
        PostMessageW(Item(Button4), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
        PostMessageW(Item(Edit2), WM_KEYDOWN, 'X', 1);
        PostMessageW(Item(Edit2), WM_CHAR, 'x', 1);
        PostMessageW(Item(Edit2), WM_KEYUP, 'X', static_cast<LPARAM>(0xC0000001));
        PostMessageW(seen.focus, WM_KEYDOWN, VK_TAB, 1);
        PostMessageW(Form(), WM_NCLBUTTONDOWN, HTCAPTION, 0);
        PostMessageW(Form(), WM_NCLBUTTONUP, HTCAPTION, 0);

        // Drawn again while the operation runs.
        InvalidateRect(Form(), nullptr, TRUE);
        const auto end = std::chrono::steady_clock::now() + 1s;
        while (std::chrono::steady_clock::now() < end) {
            if (!GetUpdateRect(Form(), nullptr, FALSE)) {
                seen.painted = true;
                seen.afterPaint = ask(seen);
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        while (!done && seen.answered && ask(seen) < 100) {
            std::this_thread::sleep_for(20ms);
        }
    });

    const std::wstring message = ClickAndDismiss(Button2);
    done = true;
    observer.join();
    EXPECT_EQ(message, L"Opération terminé");

    EXPECT_TRUE(seen.answered) << "the window did not answer within a second";
    EXPECT_TRUE(seen.painted) << "the window was not painted during the split";
    EXPECT_GE(seen.afterPaint, 0);
    EXPECT_LT(seen.afterPaint, 100) << "painted only once the split had ended";
    int between = 0;
    for (int position : seen.positions) {
        between += position > 0 && position < 100;
    }
    EXPECT_GE(between, 2) << "the bar was not seen moving";

    // Nothing given during the split acted afterwards.
    Pump();
    EXPECT_NE(Form(), nullptr);
    EXPECT_EQ(form_->FieldText(Edit2), "1");
    EXPECT_NE(seen.focus, nullptr);
    EXPECT_EQ(GetFocus(), seen.focus) << "a click or Tab moved the focus";

    const std::vector<std::string> names = folder_.Names();
    EXPECT_EQ(names.size(), 202u);  // the source, 200 full pieces and an empty one
    EXPECT_EQ(names.back(), "grand.bin.201");
}

// What another thread did and saw while the split ran.
struct Meddled {
    bool sendsAnswered = true;  // each sent message served within seconds
    int positionAfterSends = 100;
    std::vector<std::wstring> messages;
};

TEST_F(ActionsGuiTest, DuringASplitCommandsAndDropsStartNothingAndACloseAsksFirst) {
    const std::string film = folder_ / "grand.bin";
    MakeLargeFile(film, 200'000'000);  // 200 pieces of 1 Mo, and an empty one
    // A join ready to go, which a command that got through would run.
    const std::string other = folder_ / "autre.bin.001";
    WriteFileBytes(other, "abc");
    Browse(Button3, other);
    Browse(Button1, film);

    HWND form = Form();
    HWND bar = Item(ProgressBar1);
    HWND button4 = Item(Button4);
    const POINT onSplitGroup = CentreIn(form, Item(GroupBox1));
    const DWORD uiThread = GetCurrentThreadId();
    Meddled seen;
    std::atomic<bool> done = false;
    std::thread meddler([&] {
        auto send = [&](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
            DWORD_PTR result = 0;
            seen.sendsAnswered &= SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL,
                                                      3000, &result) != 0;
        };
        DWORD_PTR position = 0;
        while (!done && position < 2) {
            SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position);
            std::this_thread::sleep_for(5ms);
        }
        send(button4, BM_CLICK, 0, 0);
        send(form, WM_COMMAND, MAKEWPARAM(static_cast<int>(Button4), BN_CLICKED),
             reinterpret_cast<LPARAM>(button4));
        send(form, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({other}, onSplitGroup)), 0);
        PostMessageW(form, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({other}, onSplitGroup)),
                     0);
        send(form, WM_CLOSE, 0, 0);
        SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 1000, &position);
        seen.positionAfterSends = static_cast<int>(position);
        // Every message box that shows up is read and dismissed, so that a
        // join that got through fails the test instead of hanging it. The
        // question is answered with Enter, which gives its default, "Non".
        while (!done) {
            if (HWND box = WaitForWindow(uiThread, IsDialogBox(), 50ms)) {
                seen.messages.push_back(MessageOf(box));
                if (seen.messages.back() == kStopQuestion) {
                    GUITHREADINFO thread{};
                    thread.cbSize = sizeof(thread);
                    GetGUIThreadInfo(uiThread, &thread);
                    PostMessageW(thread.hwndFocus, WM_KEYDOWN, VK_RETURN, 1);
                } else {
                    PostMessageW(box, WM_COMMAND, IDOK, 0);
                }
                if (!WaitUntilGone(box)) {
                    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
                }
            }
        }
    });
    SendMessageW(Item(Button2), BM_CLICK, 0, 0);
    done = true;
    meddler.join();

    EXPECT_TRUE(seen.sendsAnswered) << "the window did not answer during the split";
    EXPECT_LT(seen.positionAfterSends, 100) << "the split ended before the messages came";
    EXPECT_EQ(seen.messages, (std::vector<std::wstring>{kStopQuestion, L"Opération terminé"}));
    EXPECT_TRUE(PathExists(other)) << "a join ran";
    EXPECT_FALSE(PathExists(folder_ / "autre.bin")) << "a join ran";
    EXPECT_EQ(form_->FieldText(Edit1), film) << "a drop was taken";
    EXPECT_EQ(actions_->Actions().State().fileToSplit, film) << "a drop was taken";

    // "Non" kept the window open, and the pieces are all there and whole.
    Pump();
    EXPECT_TRUE(IsWindow(form));
    const std::vector<std::string> names = folder_.Names();
    ASSERT_EQ(names.size(), 203u);  // the source, the other set's piece and 201 pieces
    for (int number = 1; number <= 201; ++number) {
        EXPECT_EQ(FileSize(PieceName(film, number)), number <= 200 ? 1'000'000 : 0) << number;
    }
}

}  // namespace
}  // namespace morcelix::testing
