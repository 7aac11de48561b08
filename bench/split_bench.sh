#!/usr/bin/env bash
# Splits the same 2 GiB file with the split routine and with GNU split, taking
# turns, at 1 Mo and 100 Mo pieces; prints the ratio of the median times
# (ours / GNU split; at most 1.0 is the goal) and the peak memory of each.
source "$(dirname "$0")/common.sh"
prepare
ourBase=$(baseline "$driver")
peerBase=$(baseline split --version)
for size in 1000000 100000000; do
    ours=$data/ours-$size.txt peer=$data/peer-$size.txt
    : >"$ours"; : >"$peer"
    for _ in $(seq "$rounds"); do
        measure "$ours" "$driver" split "$data/source.bin" "$size"
        rm -f "$data"/source.bin.[0-9]*
        measure "$peer" split -b "$size" -d -a 5 "$data/source.bin" "$data/source.bin."
        rm -f "$data"/source.bin.[0-9]*
    done
    report "split, $size-byte pieces" "$ours" "$peer" "$ourBase" "$peerBase"
done
