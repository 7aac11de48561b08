// The paths given to the Windows file functions (Windows only).
#include <windows.h>

#include <gtest/gtest.h>

#include "pieces/utf16.h"

namespace morcelix {
namespace {

TEST(WidePathTest, PathsOfMaxPathCharactersOrMoreTakeTheLongFormInFull) {
    const std::string a(100, 'a'), b(100, 'b'), c(100, 'c');
    const std::wstring wa(100, L'a'), wb(100, L'b'), wc(100, L'c');
    wchar_t current[MAX_PATH];
    const std::wstring here(current, GetCurrentDirectoryW(MAX_PATH, current));
    const std::pair<std::string, std::wstring> cases[] = {
        {"C:\\dossier\\film.avi.001", L"C:\\dossier\\film.avi.001"},
        {"C:/dossier/../film.avi", L"C:/dossier/../film.avi"},  // short: as it is
        {"film.avi", L"film.avi"},
        // 259 characters, the most below the limit; then 260.
        {"C:\\" + std::string(256, 'x'), L"C:\\" + std::wstring(256, L'x')},
        {"C:\\" + std::string(257, 'x'), L"\\\\?\\C:\\" + std::wstring(257, L'x')},
        {"C:\\" + a + "\\" + b + "\\" + c, L"\\\\?\\C:\\" + wa + L"\\" + wb + L"\\" + wc},
        {"C:/" + a + "/./x/../" + b + "/" + c + "/été",
         L"\\\\?\\C:\\" + wa + L"\\" + wb + L"\\" + wc + L"\\\u00e9t\u00e9"},
        {"\\\\serveur\\partage\\" + a + "\\" + b + "\\" + c,
         L"\\\\?\\UNC\\serveur\\partage\\" + wa + L"\\" + wb + L"\\" + wc},
        {"\\\\?\\C:\\" + a + "\\" + b + "\\" + c, L"\\\\?\\C:\\" + wa + L"\\" + wb + L"\\" + wc},
        {a + "\\" + b + "\\" + c, L"\\\\?\\" + here + L"\\" + wa + L"\\" + wb + L"\\" + wc},
    };
    for (const auto& [path, wide] : cases) {
        EXPECT_EQ(WidePath(path), wide) << path;
    }
}

}  // namespace
}  // namespace morcelix
