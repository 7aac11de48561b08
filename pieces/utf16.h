// Text is UTF-8 inside the program and UTF-16 at the Windows boundary.
// Windows only.
#pragma once

#include <string>
#include <string_view>

namespace morcelix {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace morcelix
