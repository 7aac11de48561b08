# Sourced: a private X display and Wine prefix for running the Windows build.
#   wine_env_start PREFIX   starts Xvfb and the Wine server, exports the variables
#   wine_env_stop           stops both (safe to call twice)
# The prefix lives in the build tree, never in ~/.wine, and is kept between runs.

WINE64=/usr/lib/wine/wine64
WINESERVER64=/usr/lib/wine/wineserver64

wine_env_start() {
    local prefix=$1
    # The first display number that no X server holds.
    local display=90
    while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    WINE_ENV_XVFB_PID=$!
    for _ in $(seq 50); do
        [[ -e /tmp/.X11-unix/X$display ]] && break
        sleep 0.1
    done

    export DISPLAY=":$display"
    export WINEPREFIX=$prefix
    export WINEARCH=win64
    export WINEDEBUG=-all
    # Never offer to install Mono or Gecko.
    export WINEDLLOVERRIDES="mscoree,mshtml="

    local fresh=0
    [[ -f $prefix/system.reg ]] || fresh=1
    mkdir -p "$prefix"
    # A server kept for the whole run: otherwise Wine's helper processes hold
    # CTest's output pipe and every test waits seconds for them.
    "$WINESERVER64" -p
    "$WINE64" wineboot -i >/dev/null 2>&1
    if ((fresh)); then
        # Unmanaged windows: Wine draws the frames itself and does not wait for
        # a window manager at every window shown. A crash ends the process
        # instead of opening a dialog that waits forever.
        "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        # Debian's Wine does not find its own fonts otherwise.
        cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
    fi
}

wine_env_stop() {
    if [[ -n ${WINEPREFIX:-} ]]; then
        "$WINESERVER64" -k 2>/dev/null || true
    fi
    if [[ -n ${WINE_ENV_XVFB_PID:-} ]]; then
        kill "$WINE_ENV_XVFB_PID" 2>/dev/null || true
        wait "$WINE_ENV_XVFB_PID" 2>/dev/null || true
        WINE_ENV_XVFB_PID=
    fi
}
