// The top-level failure handler: a failure escaping a click's handler ends in
// the error box, and the program goes on.
#include <windows.h>

#include <gtest/gtest.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "app/message_box.h"
#include "pieces/failure.h"
#include "tests/app/dialog_watcher.h"
#include "tests/app/gui_fixture.h"

namespace morcelix::testing {
namespace {

using enum ControlId;

TEST(FinalStopTest, ADotFollowsTextsEndingAboveTheDot) {
    const struct {
        const wchar_t* text;
        const wchar_t* shown;
    } cases[] = {
        {L"Impossible d'ouvrir le fichier C:\\x\\film.avi.001",
         L"Impossible d'ouvrir le fichier C:\\x\\film.avi.001."},
        {L"Division par zéro en virgule flottante", L"Division par zéro en virgule flottante."},
        {L"'abc' n'est pas une valeur entière correcte",  // ends in "e"
         L"'abc' n'est pas une valeur entière correcte."},
        {L"Déjà terminé.", L"Déjà terminé."},
        {L"Fini !", L"Fini !"},
        {L"(vide)", L"(vide)"},
        {L"un, deux,", L"un, deux,"},
        {L"espace ", L"espace "},
        {L"fichier 7", L"fichier 7."},
        {L"Vraiment?", L"Vraiment?."},
        {L"fin:", L"fin:."},
        {L"créé", L"créé."},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithFinalStop(c.text), c.shown) << ::testing::PrintToString(std::wstring(c.text));
    }
}

// Button2's action takes the mouse capture and fails (after typing `typed`
// into Edit2, as a person would while it runs); Button4's succeeds.
struct FailingActions {
    std::exception_ptr failure;
    int clicks = 0;
    std::wstring typed;
};

struct ErrorBoxSeen {
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
    bool stopIcon = false;
    bool windowEnabled = true;
};

class ErrorBoxTest : public GuiTest {
  protected:
    // Clicks Button2, whose handler fails with `failure` (a Failure with that
    // message), and closes the box that shows it with its OK button.
    ErrorBoxSeen ClickFailingButton(const std::string& message) {
        return ClickFailingButton(std::make_exception_ptr(Failure(message)));
    }
    ErrorBoxSeen ClickFailingButton(std::exception_ptr failure) {
        actions_.failure = failure;
        ErrorBoxSeen seen;
        DialogWatcher watcher(IsDialogBox(), [&](HWND box) {
            seen.caption = TextOf(box);
            seen.text = MessageOf(box);
            seen.owner = GetWindow(box, GW_OWNER);
            seen.windowEnabled = IsWindowEnabled(Form());
            const HICON stop = LoadIconW(nullptr, IDI_HAND);
            for (HWND child = GetWindow(box, GW_CHILD); child;
                 child = GetWindow(child, GW_HWNDNEXT)) {
                if (SendMessageW(child, STM_GETICON, 0, 0) == reinterpret_cast<LRESULT>(stop)) {
                    seen.stopIcon = true;
                }
            }
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        });
        SendMessageW(Item(Button2), BM_CLICK, 0, 0);
        EXPECT_TRUE(watcher.Succeeded()) << "no error box, or it did not close";
        Pump();
        return seen;
    }

    void SetUp() override {
        GuiTest::SetUp();
        form_->SetActions({{Button2,
                            [this] {
                                ++actions_.clicks;
                                SetCapture(Item(Edit1));
                                for (wchar_t c : actions_.typed) {
                                    PostMessageW(Item(Edit2), WM_CHAR, c, 1);
                                }
                                std::rethrow_exception(actions_.failure);
                            }},
                           {Button4, [this] { ++actions_.clicks; }}},
                          {});
    }

    FailingActions actions_;
};

TEST_F(ErrorBoxTest, FailureShowsItsMessageWithAFinalStopUnderTheTitle) {
    const ErrorBoxSeen seen =
        ClickFailingButton(FormatText(Text::CannotOpen, "C:\\x\\film.avi.001"));
    EXPECT_EQ(seen.caption, L"Morcelix");
    EXPECT_EQ(seen.text, L"Impossible d'ouvrir le fichier C:\\x\\film.avi.001.");
    EXPECT_EQ(seen.owner, application_->Handle());
    EXPECT_TRUE(seen.stopIcon);
    EXPECT_FALSE(seen.windowEnabled) << "the main window took input during the box";
}

TEST_F(ErrorBoxTest, MessageEndingInAStopIsShownUnchanged) {
    EXPECT_EQ(ClickFailingButton("Erreur de lecture du flux.").text, L"Erreur de lecture du flux.");
    EXPECT_EQ(ClickFailingButton(FormatText(Text::ZeroDivide)).text,
              L"Division par zéro en virgule flottante.");
}

TEST_F(ErrorBoxTest, OtherExceptionsShowFrenchTextsNotTheLibrarysOwn) {
    EXPECT_EQ(ClickFailingButton(std::make_exception_ptr(std::bad_alloc())).text,
              L"Mémoire insuffisante.");
    EXPECT_EQ(ClickFailingButton(std::make_exception_ptr(std::bad_array_new_length())).text,
              L"Mémoire insuffisante.");
    EXPECT_EQ(
        ClickFailingButton(std::make_exception_ptr(std::runtime_error("CreateWindowEx"))).text,
        L"Erreur interne.");
    EXPECT_EQ(ClickFailingButton(std::make_exception_ptr(42)).text, L"Erreur interne.");
    EXPECT_EQ(ClickFailingButton(std::make_exception_ptr(EWriteError())).text,
              L"Erreur d'écriture dans le flux.");
}

TEST_F(ErrorBoxTest, TheWindowTakesInputAgainAfterTheBox) {
    form_->Focus(Button2);
    ClickFailingButton("Erreur d'écriture dans le flux");
    EXPECT_EQ(actions_.clicks, 1);
    EXPECT_TRUE(IsWindowEnabled(Form()));
    EXPECT_TRUE(IsWindowEnabled(application_->Handle()));
    EXPECT_EQ(GetFocus(), Item(Button2)) << "the focus did not come back";
    EXPECT_EQ(GetCapture(), nullptr) << "the capture taken by the handler was not cancelled";

    // The next action runs normally, and so does the keyboard.
    SendMessageW(Item(Button4), BM_CLICK, 0, 0);
    EXPECT_EQ(actions_.clicks, 2);
    form_->Focus(Button2);
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Item(Edit3));
    // And a second failure is reported like the first.
    EXPECT_EQ(ClickFailingButton("encore").text, L"encore.");
    EXPECT_EQ(actions_.clicks, 3);
}

// The error box's own loop would take the keys typed while the action ran: they
// are thrown away before it opens, and do not reach the window afterwards.
TEST_F(ErrorBoxTest, InputGivenDuringTheFailedActionIsThrownAway) {
    actions_.typed = L"xy";
    EXPECT_EQ(ClickFailingButton("Erreur de lecture du flux.").text, L"Erreur de lecture du flux.");
    Pump();
    EXPECT_EQ(form_->FieldText(Edit2), "1");
}

}  // namespace
}  // namespace morcelix::testing
