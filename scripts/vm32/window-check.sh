#!/usr/bin/env bash
# Run in the guest, in a Wine session (scripts/vm32/run.sh -x): starts the
# window program as a user would, takes a screenshot of its window, splits a
# file picked with "Ouvrir" and joins the pieces back, all with the keyboard
# through the X server (xdotool), then closes the window and checks that the
# program ended with status 0.
#   window-check.sh PROGRAM.exe SCREENSHOT.png
# Prints "window: ..." lines; exits non-zero at the first step that fails.
set -uo pipefail

program=$1 shot=$2
work=/tmp/window-check
rm -rf "$work" && mkdir -p "$work"
wine_path() { printf 'Z:%s' "${1//\//\\}"; }
program_pid=
fail() {
    echo "window: FAILED: $*"
    import -window root "${shot%.png}-failed.png" 2>/dev/null
    [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null
    exit 1
}

# The visible X windows named Morcelix: the main window, and the message box
# over it, which has the same title (Wine may map more of the program's
# windows, such as its hidden application window).
named_morcelix() { xdotool search --onlyvisible --name '^Morcelix$' 2>/dev/null | sort; }
width_of() { xdotool getwindowgeometry "$1" 2>/dev/null | sed -n 's/ *Geometry: \([0-9]*\)x.*/\1/p'; }
# The main window: the widest of them, once one is 300 pixels wide or more.
main_shown() {
    local id
    for id in $(named_morcelix); do
        (($(width_of "$id") >= 300)) && { window=$id; return 0; }
    done
    return 1
}
# A message box: a window named Morcelix that was not there when the main
# window appeared.
box_shown() { named_morcelix | grep -qvxF "$before"; }
no_box() { ! box_shown; }
# Waits at most $1 seconds for the command that follows to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    while ((SECONDS < deadline)); do
        "$@" && return 0
        sleep 0.2
    done
    "$@"
}
keys() { xdotool key --delay 50 "$@"; }
type_text() { xdotool type --delay 30 "$1"; }

head -c 2500000 /dev/urandom >"$work/film.avi"
cp "$work/film.avi" "$work/film.kept"

wine "$program" >"$work/program.log" 2>&1 &
program_pid=$!
window=
wait_for 180 main_shown || fail "no window within 180 s: $(named_morcelix | while read -r id; do xdotool getwindowgeometry "$id"; done)$(kill -0 "$program_pid" 2>/dev/null || echo "the program ended: $(cat "$work/program.log")")"
sleep 1 # its first paint
before=$(named_morcelix)
import -window "$window" "$shot" || fail "no screenshot"
echo "window: shown ($(xdotool getwindowgeometry "$window" | sed -n 's/ *Geometry: //p')), screenshot $shot"

# The system's open dialog, as "Ouvrir" opens it.
open_dialog() { xdotool search --onlyvisible --name '^(Open|Ouvrir)$' >/dev/null 2>&1; }
no_open_dialog() { ! open_dialog; }
# Picks file $1 in the open dialog: its name field has the focus.
pick() {
    wait_for 120 open_dialog || fail "no open dialog within 120 s"
    sleep 1
    type_text "$(wine_path "$1")"
    keys Return
    wait_for 30 no_open_dialog || fail "the open dialog did not close"
    # The X server's focus does not always come back to the main window once
    # the dialog is gone (there is no window manager), and keys typed then are
    # lost: it is given back, as a click on the window would.
    sleep 1
    xdotool windowfocus "$window" 2>/dev/null
    sleep 1
}

# Focus starts on the first "Ouvrir"; Tab walks the file field, the size
# field, "Découper", the join's file field, its "Ouvrir", the destination
# field, "Regrouper".
keys space
pick "$work/film.avi"
keys Tab Tab Tab space
wait_for 120 box_shown || fail "no message after the split within 120 s"
[[ -f $work/film.avi.003 && ! -e $work/film.avi.004 ]] || fail "the split did not give film.avi.001 to .003: $(ls "$work")"
keys Return
wait_for 10 no_box || fail "the split's message did not close"
echo "window: split into $(cd "$work" && echo film.avi.0*)"

rm "$work/film.avi"
keys Tab Tab space
pick "$work/film.avi.001"
keys Tab Tab space
wait_for 120 box_shown || fail "no message after the join within 120 s"
keys Return
wait_for 10 no_box || fail "the join's message did not close"
cmp "$work/film.avi" "$work/film.kept" || fail "the joined file differs from the source"
[[ ! -e $work/film.avi.001 ]] || fail "the pieces are still there: $(ls "$work")"
echo "window: joined back, byte for byte, the pieces deleted"

keys alt+F4
wait_for 30 eval '! kill -0 "$program_pid" 2>/dev/null' || fail "the window did not close within 30 s"
wait "$program_pid"
status=$?
[[ $status -eq 0 ]] || fail "the program ended with status $status: $(cat "$work/program.log")"
echo "window: closed, status 0"
