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

std::wstring WidePath(std::string_view utf8) {
    std::wstring path = Widen(utf8);
    // Already in the functions' own form: "\\?\..." as it is, "\\.\..." a device.
    if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) {
        return path;
    }
    std::wstring full(MAX_PATH, L'\0');
    DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        // Too long for the buffer: `length` is the size it needs.
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    }
    if (length < MAX_PATH) {
        return path;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

}  // namespace morcelix
