#!/usr/bin/env bash
# The join, which flushes the rebuilt file before deleting pieces, against the
# usual safe way to do it by hand (cat of the pieces, sync, then rm) and
# against the join as it was before it flushed (commit dba9f43, built aside):
# 2 GiB at 1 Mo and 100 Mo pieces, taking turns; ratios of the median times
# and the peak memory of each. Goals: at most 1.0 x the safe peer, and at most
# 1.3 x the unflushed join at 100 Mo. Every join is checked against the source.
source "$(dirname "$0")/common.sh"
prepare pieces_bench
driver=$root/build/linux/bench/pieces_bench
kept=$data/kept.bin

# The unflushed join: the same driver at the commit before durability.
old=$data/unflushed
git -C "$root" worktree add -q --detach "$old" dba9f43
trap 'git -C "$root" worktree remove --force "$old"; rm -rf "$data"' EXIT
cmake -S "$old" -B "$old/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORCELIX_TESTS=OFF >/dev/null
cmake --build "$old/build" --target pieces_bench >/dev/null
unflushed=$old/build/bench/pieces_bench

ourBase=$(baseline "$driver")
oldBase=$(baseline "$unflushed")
peerBase=$(baseline cat /dev/null)

# cat, sync and rm, as a careful user types them.
measure_cat_sync_rm() {
    local set
    mapfile -t set < <(pieces)
    measure "$1" sh -c 'out=$1; shift; cat "$@" >"$out" && sync && rm -- "$@"' sh "$source" "${set[@]}"
}

for bytes in 1000000 100000000; do
    ours=$data/ours.txt peer=$data/peer.txt before=$data/before.txt
    : >"$ours"; : >"$peer"; : >"$before"
    for _ in $(seq "$rounds"); do
        "$driver" split "$source" "$bytes"
        mv "$source" "$kept"
        measure "$ours" "$driver" join "$source.001" "$source"
        cmp "$source" "$kept"
        "$driver" split "$source" "$bytes"
        mv "$source" "$kept"
        measure_cat_sync_rm "$peer"
        cmp "$source" "$kept"
        "$driver" split "$source" "$bytes"
        mv "$source" "$kept"
        measure "$before" "$unflushed" join "$source.001" "$source"
        cmp "$source" "$kept"
    done
    report "join, $bytes-byte pieces" "$ours" "$peer" "cat+sync+rm" "$ourBase" "$peerBase"
    report "join, $bytes-byte pieces" "$ours" "$before" "unflushed" "$ourBase" "$oldBase"
done
