// The program's start-up with the windows of one class refused by the system,
// as when it runs out of window handles or desktop heap:
//   start_up_probe CLASS
// The GUI tests run it as a process and read the box it shows and its exit code.
#include <windows.h>

#include <string>

#include "app/program.h"

namespace {

std::string refusedClass;

// A CBT hook that answers non-zero to HCBT_CREATEWND makes CreateWindowEx fail.
LRESULT CALLBACK RefuseCreation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        char name[256] = {};
        GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof(name));
        if (refusedClass == name) {
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int showCommand) {
    refusedClass = commandLine;
    SetWindowsHookExW(WH_CBT, RefuseCreation, nullptr, GetCurrentThreadId());
    return morcelix::RunProgram(showCommand);
}
