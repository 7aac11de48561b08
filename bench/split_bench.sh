#!/usr/bin/env bash
# The split routine against GNU split on the same 2 GiB file, taking turns, at
# 1 Mo and 100 Mo pieces: the ratio of the median times (ours / GNU split; the
# goal is at most 1.0) and the peak memory of each.
source "$(dirname "$0")/common.sh"
prepare pieces_bench
driver=$root/build/linux/bench/pieces_bench
ourBase=$(baseline "$driver")
peerBase=$(baseline split --version)
for bytes in 1000000 100000000; do
    ours=$data/ours.txt peer=$data/peer.txt
    : >"$ours"; : >"$peer"
    for _ in $(seq "$rounds"); do
        measure "$ours" "$driver" split "$source" "$bytes"
        remove_pieces
        measure "$peer" split -b "$bytes" -d -a 5 "$source" "$source."
        remove_pieces
    done
    report "split, $bytes-byte pieces" "$ours" "$peer" "split -b" "$ourBase" "$peerBase"
done
