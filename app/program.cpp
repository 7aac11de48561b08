#include "app/program.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/application.h"
#include "app/attached_actions.h"
#include "app/main_window.h"
#include "app/message_box.h"

namespace morcelix {

int RunProgram(int showCommand) noexcept {
    // Floating-point exceptions stay masked, as the system starts the thread:
    // code loaded into the process (the open dialog's shell extensions, printer
    // and video drivers) assumes them masked and would crash on an unmasked
    // trap. Our own arithmetic checks its operands and raises its failures.

    // The open-file dialog and the shell's open verb load shell extensions,
    // which expect a single-threaded COM apartment on the calling thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    int exitCode = 0;
    try {
        Application application;
        InitCommonControls();
        application.SetTitle(kApplicationTitle);
        TForm1 form1(application);
        AttachedActions actions(form1);
        application.Run(form1, showCommand);
    } catch (...) {
        // A main window destroyed half-built left its WM_QUIT, which would end
        // the error box at once.
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        ReportCurrentFailure();
        exitCode = 1;
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return exitCode;
}

}  // namespace morcelix
