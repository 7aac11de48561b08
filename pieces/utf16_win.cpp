#include <windows.h>

#include "pieces/utf16.h"

namespace morcelix {

std::wstring Widen(std::string_view utf8) {
    std::wstring wide;
    if (utf8.empty()) {
        return wide;
    }
    const int size = static_cast<int>(utf8.size());
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0));
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

std::string Narrow(std::wstring_view utf16) {
    std::string narrow;
    if (utf16.empty()) {
        return narrow;
    }
    const int size = static_cast<int>(utf16.size());
    narrow.resize(
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr));
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, narrow.data(),
                        static_cast<int>(narrow.size()), nullptr, nullptr);
    return narrow;
}

}  // namespace morcelix
