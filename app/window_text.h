// Window texts in UTF-8, the program's inside encoding.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace morcelix {

std::string WindowTextUtf8(HWND window);
void SetWindowTextUtf8(HWND window, std::string_view text);

}  // namespace morcelix
