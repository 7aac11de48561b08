#!/usr/bin/env bash
# The join routine against cat of the pieces followed by rm of the pieces, on
# the pieces of the same 2 GiB file, taking turns, at 1 Mo and 100 Mo pieces:
# the ratio of the median times (ours / cat + rm; the goal is at most 1.0) and
# the peak memory of each. Every join is checked against the source.
source "$(dirname "$0")/common.sh"
prepare pieces_bench
driver=$root/build/linux/bench/pieces_bench
kept=$data/kept.bin
ourBase=$(baseline "$driver")
peerBase=$(baseline cat /dev/null)
for bytes in 1000000 100000000; do
    ours=$data/ours.txt peer=$data/peer.txt
    : >"$ours"; : >"$peer"
    for _ in $(seq "$rounds"); do
        "$driver" split "$source" "$bytes"
        mv "$source" "$kept"
        measure "$ours" "$driver" join "$source.001" "$source"
        cmp "$source" "$kept"
        "$driver" split "$source" "$bytes"
        mv "$source" "$kept"
        measure_cat_and_rm "$peer"
        cmp "$source" "$kept"
    done
    report "join, $bytes-byte pieces" "$ours" "$peer" "cat + rm" "$ourBase" "$peerBase"
done
