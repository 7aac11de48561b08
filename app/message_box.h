// The error box, and the top-level handler that every failure escaping an event
// handler ends in. No exception may cross into Windows: each window procedure
// of the program runs its handlers through Guarded().
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "app/window_actions.h"  // Answer, QuestionIcon

namespace morcelix {

// The message as the error box shows it: a "." is appended when the last
// character's code is above that of "." (letters, digits, "?", ":"...), so that
// texts ending in ".", "!", ")", "," or a space stay as they are.
std::wstring WithFinalStop(std::wstring text);

// Shows `message` (UTF-8) in the error box: owner the hidden application window,
// caption the application title, OK button and stop icon. Any mouse capture is
// cancelled first, the program's windows are disabled while the box is open,
// and the focus goes back where it was. Returns when the user closes the box.
void ShowErrorBox(std::string_view message) noexcept;

// Asks `question` (UTF-8) in a message box as the error box is shown, with the
// buttons "Oui" and "Non", `icon`, and `byDefault` as the default button.
// Returns the answer once the user has given it.
Answer AskYesNo(std::string_view question, QuestionIcon icon, Answer byDefault);

// The top-level handler: shows the exception being handled in the error box.
// A Failure shows its own text; a lack of memory "Mémoire insuffisante"; any
// other exception "Erreur interne". Call only inside a catch block.
void ReportCurrentFailure() noexcept;

// Runs `handler`; a failure escaping from it goes to the error box and the
// message counts as handled, with result `onFailure`.
template <typename Handler>
LRESULT Guarded(Handler&& handler, LRESULT onFailure = 0) noexcept {
    try {
        return handler();
    } catch (...) {
        ReportCurrentFailure();
        return onFailure;
    }
}

}  // namespace morcelix
