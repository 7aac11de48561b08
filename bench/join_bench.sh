#!/usr/bin/env bash
# Joins the pieces of a 2 GiB file with the join routine and with cat followed
# by rm of the pieces, taking turns, at 1 Mo and 100 Mo pieces; prints the
# ratio of the median times (ours / cat + rm; at most 1.0 is the goal) and the
# peak memory of each.
source "$(dirname "$0")/common.sh"
prepare
ourBase=$(baseline "$driver")
peerBase=$(baseline cat /dev/null)
for size in 1000000 100000000; do
    ours=$data/ours-$size.txt peer=$data/peer-$size.txt
    : >"$ours"; : >"$peer"
    for _ in $(seq "$rounds"); do
        "$driver" split "$data/source.bin" "$size"
        measure "$ours" "$driver" join "$data/source.bin.001" "$data/joined.bin"
        cmp -s "$data/source.bin" "$data/joined.bin" || { echo "join gave a different file"; exit 1; }
        rm -f "$data/joined.bin"
        "$driver" split "$data/source.bin" "$size"
        measure "$peer" sh -c 'ls "$1".[0-9]* | sort -V | xargs cat >"$2" && ls "$1".[0-9]* | xargs rm' \
            _ "$data/source.bin" "$data/joined.bin"
        rm -f "$data/joined.bin"
    done
    report "join, $size-byte pieces" "$ours" "$peer" "$ourBase" "$peerBase"
done
