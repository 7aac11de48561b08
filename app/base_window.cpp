#include "app/base_window.h"

#include "pieces/failure.h"

namespace morcelix {

void CreateProgramWindow(const WindowDescription& window, WNDPROC procedure,
                         void* creationParameter) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = window.background;
    windowClass.lpszClassName = window.className;
    RegisterClassExW(&windowClass);  // fails harmlessly when already registered

    if (CreateWindowExW(window.extendedStyle, window.className, window.title, window.style,
                        window.left, window.top, window.width, window.height, window.owner, nullptr,
                        instance, creationParameter) == nullptr) {
        throw Failure(Text::CannotCreateWindow, {});
    }
}

}  // namespace morcelix
