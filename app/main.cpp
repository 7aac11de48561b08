// The program's entry: prepares the process, names the application, builds
// the main window and runs until it is closed.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "app/application.h"
#include "app/form_port.h"
#include "app/main_window.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
    using namespace morcelix;

    // Floating-point exceptions stay masked, as the system starts the thread:
    // code loaded into the process (the open dialog's shell extensions, printer
    // and video drivers) assumes them masked and would crash on an unmasked
    // trap. Our own arithmetic checks its operands and raises its failures.

    // The open-file dialog and the shell's open verb load shell extensions,
    // which expect a single-threaded COM apartment on the calling thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    {
        Application application;
        InitCommonControls();
        application.SetTitle("Morcelix");
        TForm1 form1(application);
        AttachedActions actions(form1);
        application.Run(form1, showCommand);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}
