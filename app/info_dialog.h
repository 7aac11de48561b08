// The information message: a home-made modal dialog showing a text and one
// "OK" button, under the application title.
#pragma once

#include <string_view>

namespace morcelix {

// Shows `message` (UTF-8) and returns when the user closes the dialog: "OK",
// Enter, Esc or the close box. The program's other windows are disabled
// meanwhile. Ctrl+C copies the dialog's content to the clipboard as text; a
// clipboard that can not be opened is reported in the error box while the
// dialog stays open.
void ShowInformation(std::string_view message);

}  // namespace morcelix
