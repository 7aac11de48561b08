#!/bin/sh
# Checks the shipped 32-bit program, which can not run on this machine: a
# 32-bit (PE32) GUI program that needs nothing but system DLLs and carries its
# x86 manifest (Common Controls 6 its only dependency, system DPI aware, long
# paths, the supported Windows versions 7 to 11) and its nine-image icon.
#   scripts/check-win32.sh [path/to/morcelix.exe]   (default: build/win32/app/morcelix.exe)
set -eu

exe=${1:-"$(dirname "$0")/../build/win32/app/morcelix.exe"}
objdump=i686-w64-mingw32-objdump
windres=i686-w64-mingw32-windres
failed=0
fail() { echo "check-win32: $*" >&2; failed=1; }

[ -f "$exe" ] || { echo "check-win32: no $exe (build it with: cmake --preset win32 && cmake --build build/win32)" >&2; exit 1; }

headers=$($objdump -p "$exe")
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || fail "not a 32-bit PE32 program"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000002' || fail "not a GUI-subsystem program"

# Only DLLs that every Windows has; a MinGW runtime DLL would have to ship beside it.
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
[ -n "$dlls" ] || fail "no imports found"
for dll in $dlls; do
    case $dll in
        kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | shell32.dll | \
        advapi32.dll | bcrypt.dll | ole32.dll | shlwapi.dll | msvcrt.dll | ntdll.dll | api-ms-win-*.dll) ;;
        *) fail "imports a non-system DLL: $dll" ;;
    esac
done

resources=$($windres -J coff -O rc -i "$exe")
manifest=$(echo "$resources" | sed -n '/^1 24 \/\* RT_MANIFEST \*\//,/^END/p')
[ -n "$manifest" ] || fail "no manifest resource (RT_MANIFEST 1)"
echo "$manifest" | grep -q 'Microsoft.Windows.Common-Controls""[[:space:]]*version=""6.0.0.0""' ||
    fail "the manifest does not name Common Controls 6.0.0.0"
echo "$manifest" | grep -q 'processorArchitecture=""amd64""' && fail "the manifest names amd64"
echo "$manifest" | grep -q 'processorArchitecture=""x86""' || fail "the manifest does not name x86"
dependencies=$(echo "$manifest" | grep -c '<dependentAssembly>' || true)
[ "$dependencies" -eq 1 ] || fail "$dependencies dependencies in the manifest instead of 1"
echo "$manifest" | grep -q '<dpiAware xmlns=""http://schemas.microsoft.com/SMI/2005/WindowsSettings"">true</dpiAware>' ||
    fail "the manifest does not declare the program system DPI aware"
# Windows 7, 8, 8.1, and 10 and 11.
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    echo "$manifest" | grep -q "<supportedOS Id=\"\"{$os}\"\"/>" || fail "the manifest does not list the Windows version {$os}"
done
echo "$manifest" | grep -q 'longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</' ||
    fail "the manifest does not declare longPathAware"
echo "$resources" | grep -q '^1 14 /\* RT_GROUP_ICON \*/' || fail "no icon group 1"
icons=$(echo "$resources" | grep -c '^[0-9]* 3 /\* RT_ICON \*/' || true)
[ "$icons" -eq 9 ] || fail "$icons icon images instead of 9"
echo "$resources" | grep -q '/\* Type: version' || fail "no version resource"

if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "check-win32: $exe is a PE32 GUI program importing only system DLLs ($(echo $dlls)), with its x86 manifest (DPI aware, long paths, Windows 7 to 11), version and 9-image icon"
