// The open-file dialog `ouvrir`, shared by both "Ouvrir" buttons: the system's
// own dialog, pre-filled with the previous choice of either button.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace morcelix {

// "label|pattern|label|pattern..." as the dialog takes it: a NUL in place of
// every "|" and two NULs at the end; empty for an empty filter.
std::wstring DialogFilter(std::string_view filter);

// Where the dialog goes on a monitor: centred horizontally, at one third of
// the height left free by the dialog, never above or left of the monitor.
POINT DialogPlace(const RECT& monitor, SIZE dialog);

class OpenDialog {
  public:
    // The system's dialog returns at most this many characters (with the
    // final NUL): any path that the wide functions accept fits.
    static constexpr size_t kFileNameCapacity = 32768;

    // The filter of the next Execute(), as for DialogFilter().
    void SetFilter(std::string_view filter) { filter_ = DialogFilter(filter); }

    // Shows the dialog, owned by the hidden application window, with every
    // window of the program disabled meanwhile. Returns the chosen full path
    // (UTF-8), which becomes the dialog's file name; nothing when the user
    // cancels or the dialog fails, and the file name stays as it was.
    std::optional<std::string> Execute();

    const std::wstring& FileName() const { return fileName_; }

  private:
    std::wstring filter_;
    std::wstring fileName_;
};

}  // namespace morcelix
