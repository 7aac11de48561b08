// The program from its start to its end, as WinMain runs it.
#pragma once

namespace morcelix {

// Prepares the thread, names the application, builds the main window and runs
// until it is closed; `showCommand` is WinMain's. Returns the exit code: 0, or
// 1 when the program could not start, once the error box has said why. No
// exception leaves it.
int RunProgram(int showCommand) noexcept;

}  // namespace morcelix
