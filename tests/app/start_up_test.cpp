// The program's start-up when the system refuses its windows: run as a process
// (start_up_probe), it ends in the error box and exit code 1, not in a crash.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/app/child_process.h"
#include "tests/app/dialog_watcher.h"

namespace morcelix::testing {
namespace {

TEST(StartUpFailureTest, AWindowThatCanNotBeCreatedEndsInTheErrorBoxAndExitCodeOne) {
    // The hidden application window, the main window, and one of its controls.
    for (const wchar_t* refused : {L"MorcelixApplication", L"TForm1", L"msctls_progress32"}) {
        SCOPED_TRACE(::testing::Message() << "refused: " << ::testing::PrintToString(refused));
        ChildProcess probe(BesideThisProgram(L"start_up_probe.exe"), refused);
        ASSERT_TRUE(probe.Started());
        HWND box = WaitForWindow(probe.MainThread(), IsDialogBox(), 10s);
        ASSERT_NE(box, nullptr) << "no error box";
        EXPECT_EQ(TextOf(box), L"Morcelix");
        EXPECT_EQ(MessageOf(box), L"Impossible de créer la fenêtre principale.");
        // Nothing else of the program is left on the screen.
        EXPECT_EQ(WaitForWindow(
                      probe.MainThread(), [box](HWND window) { return window != box; }, 0ms),
                  nullptr);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(probe.Wait(10s), 1u);
    }
}

}  // namespace
}  // namespace morcelix::testing
