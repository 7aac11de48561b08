#!/usr/bin/env bash
# Builds the program and starts it: under Wine here (the x86-64 build), on the
# display in DISPLAY, or on a private virtual display when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
for preset in win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target morcelix
done
echo "The shipped 32-bit program: $root/build/win32/app/morcelix.exe"

source scripts/wine-env.sh
if [[ -n ${DISPLAY:-} ]]; then
    export WINEPREFIX=$root/build/wine-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    exec "$WINE64" "$root/build/win64/app/morcelix.exe"
fi
wine_env_start "$root/build/wine-prefix"
trap wine_env_stop EXIT
echo "No DISPLAY: running on the virtual display $DISPLAY until the window is closed."
"$WINE64" "$root/build/win64/app/morcelix.exe"
