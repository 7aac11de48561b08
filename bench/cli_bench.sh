#!/usr/bin/env bash
# morcelix-cli as whole processes, the way a user runs it, against the usual
# tools on the same 2 GiB file: decouper against GNU split, regrouper against
# cat followed by rm. Each pair takes turns, at 1 Mo and 100 Mo pieces; prints
# the ratio of the median times (ours / theirs) and the peak memory of each.
#   BUILD_DIR  the Linux build tree to use (default build/linux)
#   ROUNDS     turns per measurement (default 3)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build/linux}
cli=$build/cli/morcelix-cli
data=$root/build/cli-bench-data
rounds=${ROUNDS:-3}

command -v /usr/bin/time >/dev/null || { apt-get update -qq && apt-get install -y -qq time; }
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target morcelix-cli >/dev/null

rm -rf "$data"
mkdir -p "$data"
trap 'rm -rf "$data"' EXIT
source=$data/source.bin
kept=$data/kept.bin
# 2 GiB that no file system can compress or share.
echo "making a 2 GiB source in $data"
head -c $((2 << 30)) /dev/urandom >"$source"
sync

# Runs a command after flushing what earlier runs left to write; appends
# "seconds peak-KiB" to the file named by $1.
measure() {
    local into=$1
    shift
    sync
    /usr/bin/time -f '%e %M' -o "$data/time.txt" "$@"
    cat "$data/time.txt" >>"$into"
}

# The median of the first column and the largest second column.
summarise() {
    sort -n "$1" | awk '{t[NR]=$1; if ($2>m) m=$2} END {print t[int((NR+1)/2)], m}'
}

report() {
    local label=$1 ours=$2 peer=$3 peerName=$4
    read -r ourTime ourPeak < <(summarise "$ours")
    read -r peerTime peerPeak < <(summarise "$peer")
    awk -v l="$label" -v n="$peerName" -v ot="$ourTime" -v pt="$peerTime" -v op="$ourPeak" \
        -v pp="$peerPeak" 'BEGIN {
        printf "%-28s morcelix-cli %6.2f s  %s %6.2f s  ratio %.2f  peak: %d KiB vs %d KiB\n",
               l, ot, n, pt, (pt > 0 ? ot / pt : 0), op, pp }'
}

# The pieces of the source in number order (.999 before .1000).
pieces() {
    local number=1 name
    while :; do
        name=$(printf '%s.%03d' "$source" "$number")
        [[ -e $name ]] || break
        echo "$name"
        number=$((number + 1))
    done
}

remove_pieces() {
    find "$data" -name 'source.bin.[0-9]*' -delete
}

for mo in 1 100; do
    bytes=$((mo * 1000000))
    splitOurs=$data/split-ours.txt splitPeer=$data/split-peer.txt
    joinOurs=$data/join-ours.txt joinPeer=$data/join-peer.txt
    : >"$splitOurs"; : >"$splitPeer"; : >"$joinOurs"; : >"$joinPeer"
    for _ in $(seq "$rounds"); do
        measure "$splitOurs" "$cli" decouper "$source" "$mo"
        remove_pieces
        measure "$splitPeer" split -b "$bytes" -d -a 5 "$source" "$source."
        remove_pieces

        # Both joins start from a set written by the tool (GNU split can not
        # write names that grow from three digits to four) and rebuild the
        # source's name, checked against the original kept aside.
        "$cli" decouper "$source" "$mo"
        mv "$source" "$kept"
        measure "$joinOurs" "$cli" regrouper "$source.001"
        cmp "$source" "$kept"
        mv "$kept" "$source"

        "$cli" decouper "$source" "$mo"
        mapfile -t set < <(pieces)
        mv "$source" "$kept"
        measure "$joinPeer" sh -c 'out=$1; shift; cat "$@" >"$out" && rm -- "$@"' sh \
            "$source" "${set[@]}"
        cmp "$source" "$kept"
        mv "$kept" "$source"
    done
    report "decouper, $mo Mo pieces" "$splitOurs" "$splitPeer" "split -b"
    report "regrouper, $mo Mo pieces" "$joinOurs" "$joinPeer" "cat + rm"
done
