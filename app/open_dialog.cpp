#include "app/open_dialog.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "app/application.h"
#include "app/disabled_windows.h"
#include "pieces/utf16.h"

namespace morcelix {

std::wstring DialogFilter(std::string_view filter) {
    if (filter.empty()) {
        return {};
    }
    std::wstring text = Widen(filter);
    std::replace(text.begin(), text.end(), L'|', L'\0');
    text.append(2, L'\0');
    return text;
}

POINT DialogPlace(const RECT& monitor, SIZE dialog) {
    const LONG freeWidth = std::max<LONG>(0, monitor.right - monitor.left - dialog.cx);
    const LONG freeHeight = std::max<LONG>(0, monitor.bottom - monitor.top - dialog.cy);
    return {monitor.left + freeWidth / 2, monitor.top + freeHeight / 3};
}

namespace {

// With OFN_EXPLORER the hook runs for a child dialog of the system's dialog:
// the window to place is its parent. WM_INITDIALOG comes before the system's
// dialog has finished its own layout, CDN_INITDONE after: placing at both
// leaves the dialog where it belongs whichever of them moved it last.
void PlaceOnMonitor(HWND hookChild, HMONITOR monitor) {
    HWND dialog = GetParent(hookChild);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    RECT frame{};
    if (dialog == nullptr || !GetMonitorInfoW(monitor, &info) || !GetWindowRect(dialog, &frame)) {
        return;
    }
    const POINT place =
        DialogPlace(info.rcMonitor, {frame.right - frame.left, frame.bottom - frame.top});
    SetWindowPos(dialog, nullptr, place.x, place.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

UINT_PTR CALLBACK PlacingHook(HWND child, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* settings = reinterpret_cast<const OPENFILENAMEW*>(lParam);
        PlaceOnMonitor(child, reinterpret_cast<HMONITOR>(settings->lCustData));
    } else if (message == WM_NOTIFY) {
        const auto* notice = reinterpret_cast<const OFNOTIFYW*>(lParam);
        if (notice->hdr.code == CDN_INITDONE) {
            PlaceOnMonitor(child, reinterpret_cast<HMONITOR>(notice->lpOFN->lCustData));
        }
    }
    return 0;  // the system's dialog goes on as usual
}

}  // namespace

std::optional<std::string> OpenDialog::Execute() {
    // The active window's monitor, taken before the dialog makes itself active.
    HMONITOR monitor = MonitorFromWindow(GetActiveWindow(), MONITOR_DEFAULTTOPRIMARY);

    std::vector<wchar_t> buffer(kFileNameCapacity, L'\0');
    std::copy_n(fileName_.begin(), std::min(fileName_.size(), buffer.size() - 1), buffer.begin());

    HWND owner = ApplicationWindow();
    OPENFILENAMEW settings{};
    settings.lStructSize = sizeof(settings);
    settings.hwndOwner = owner;
    settings.lpstrFilter = filter_.empty() ? nullptr : filter_.c_str();
    settings.nFilterIndex = 1;
    settings.lpstrFile = buffer.data();
    settings.nMaxFile = static_cast<DWORD>(buffer.size());
    settings.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_ENABLEHOOK;
    settings.lpfnHook = PlacingHook;
    settings.lCustData = reinterpret_cast<LPARAM>(monitor);

    // The dialog disables and enables its owner itself, before it goes, so
    // that the owner is activated again.
    DisabledWindows disabled(owner);
    const BOOL chosen = GetOpenFileNameW(&settings);
    disabled.Restore();
    disabled.RestoreFocus();
    if (!chosen) {
        return std::nullopt;
    }
    fileName_.assign(buffer.data());
    return Narrow(fileName_);
}

}  // namespace morcelix
