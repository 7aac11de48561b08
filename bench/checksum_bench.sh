#!/usr/bin/env bash
# The checksums' cost, with morcelix-cli on 2 GiB at 1 Mo and 100 Mo pieces,
# taking turns: decouper --somme against decouper followed by sha256sum of the
# pieces (one pass over the data instead of two; goal: at most 0.6 x), and the
# join checked against its manifest against the same join without one (goal:
# at most 1.5 x). Also the hash throughput of verifier, which reads and hashes
# every piece.
source "$(dirname "$0")/common.sh"
prepare morcelix-cli
cli=$root/build/linux/cli/morcelix-cli
kept=$data/kept.bin
ourBase=$(baseline "$cli" --aide)
shaBase=$(baseline sha256sum /dev/null)

# decouper, then sha256sum of its pieces, as one measurement.
measure_split_then_sum() {
    measure "$1" sh -c '"$1" decouper "$2" "$3" && cd "$(dirname "$2")" &&
        ls | grep -E "^source\.bin\.[0-9]+$" | sort -V | xargs sha256sum >sums.txt' \
        sh "$cli" "$source" "$2"
}

for mo in 1 100; do
    summed=$data/summed.txt after=$data/after.txt checked=$data/checked.txt unchecked=$data/unchecked.txt
    : >"$summed"; : >"$after"; : >"$checked"; : >"$unchecked"
    for _ in $(seq "$rounds"); do
        measure "$summed" "$cli" decouper --somme "$source" "$mo"
        remove_pieces
        measure_split_then_sum "$after" "$mo"
        remove_pieces

        "$cli" decouper --somme "$source" "$mo"
        mv "$source" "$kept"
        measure "$checked" "$cli" regrouper "$source.001"
        cmp "$source" "$kept"
        rm "$source.sha256"
        "$cli" decouper "$source" "$mo"
        mv "$source" "$kept"
        measure "$unchecked" "$cli" regrouper "$source.001"
        cmp "$source" "$kept"
    done
    report "decouper, $mo Mo pieces" "$summed" "$after" "split+sum" "$ourBase" "$shaBase"
    report "regrouper, $mo Mo pieces" "$checked" "$unchecked" "unchecked" "$ourBase" "$ourBase"
done

"$cli" decouper --somme "$source" 100
sync
start=$(date +%s.%N)
"$cli" verifier "$source.001" >/dev/null
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "verifier reads and hashes 2 GiB in %.2f s: %.0f MB/s\n", e - s, 2147.483648 / (e - s) }'
