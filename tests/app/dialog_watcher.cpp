#include "tests/app/dialog_watcher.h"

namespace morcelix::testing {

namespace {

struct Search {
    DWORD thread;
    const WindowTest* test;
    HWND found;
};

BOOL CALLBACK Visit(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    if (IsWindowVisible(window) && IsWindowEnabled(window) && (*search->test)(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND WaitForWindow(DWORD thread, const WindowTest& test, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        Search search{thread, &test, nullptr};
        EnumThreadWindows(thread, Visit, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            return search.found;
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return nullptr;
}

bool WaitUntilGone(HWND window, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring TextOf(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring MessageOf(HWND dialog) {
    return TextOf(GetDlgItem(dialog, 0xFFFF));
}

HWND ButtonOf(HWND dialog) {
    return FindWindowExW(dialog, nullptr, L"Button", nullptr);
}

WindowTest IsDialogBox() {
    return [](HWND window) { return ClassOf(window) == L"#32770"; };
}

WindowTest IsDialogBoxSaying(const std::wstring& text) {
    return
        [text](HWND window) { return ClassOf(window) == L"#32770" && MessageOf(window) == text; };
}

DialogWatcher::DialogWatcher(WindowTest test, std::function<void(HWND)> action) {
    const DWORD owner = GetCurrentThreadId();
    thread_ = std::thread([this, owner, test = std::move(test), action = std::move(action)] {
        HWND window = WaitForWindow(owner, test);
        found_ = window != nullptr;
        if (window == nullptr) {
            // Whatever box did open instead would keep the test waiting.
            if (HWND other = WaitForWindow(owner, IsDialogBox(), 100ms)) {
                PostMessageW(other, WM_COMMAND, IDCANCEL, 0);
                PostMessageW(other, WM_CLOSE, 0, 0);
            }
            return;
        }
        action(window);
        closed_ = WaitUntilGone(window);
        if (!closed_) {
            PostMessageW(window, WM_CLOSE, 0, 0);
            PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        }
    });
}

DialogWatcher::~DialogWatcher() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool DialogWatcher::Succeeded() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return found_ && closed_;
}

}  // namespace morcelix::testing
