// Text is UTF-8 inside the program and UTF-16 at the Windows boundary.
// Windows only.
#pragma once

#include <string>
#include <string_view>

namespace morcelix {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// A UTF-8 path as the wide file functions take it. A path whose full form
// reaches MAX_PATH characters is given as that full form behind "\\?\" (a
// network path as "\\?\UNC\server\share\..."), which lifts the limit; the
// full form is needed because the functions then take the path as it is: no
// "/" for "\", no "." or "..", no current folder. Other paths are only widened.
std::wstring WidePath(std::string_view utf8);

}  // namespace morcelix
