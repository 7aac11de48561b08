#!/usr/bin/env bash
# Run in the guest, in a Wine session (scripts/vm32/run.sh -x): the zip's
# programs as a user starts them. The tool gives its version, splits a file
# and joins it back; the window is shown, splits and joins, and is closed
# (window-check.sh), its screenshot kept.
#   package-check.sh FOLDER VERSION SCREENSHOT.png
# FOLDER holds the unpacked morcelix.exe and morcelix-cli.exe.
set -uo pipefail

folder=$1 version=$2 shot=$3
cli=$folder/morcelix-cli.exe
fail() { echo "package: FAILED: $*"; exit 1; }

got=$(wine "$cli" --version | head -1 | tr -d '\r')
[[ $got == "morcelix-cli $version" ]] || fail "--version: '$got' instead of 'morcelix-cli $version'"
work=/tmp/package-check
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
head -c 2500000 /dev/urandom >film.avi && cp film.avi kept || exit 1
wine "$cli" decouper film.avi 1 || fail "decouper film.avi 1"
[[ $(echo film.avi.*) == "film.avi.001 film.avi.002 film.avi.003" ]] || fail "the pieces: $(ls)"
rm film.avi
wine "$cli" regrouper film.avi.001 || fail "regrouper film.avi.001"
cmp film.avi kept || fail "the joined file differs from the source"
[[ $(echo film.avi*) == film.avi ]] || fail "pieces left after the join: $(ls)"
echo "package: $got; a split into 3 pieces and the join back"
cd / && bash "$(dirname "$0")/window-check.sh" "$folder/morcelix.exe" "$shot"
