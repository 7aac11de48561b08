#!/usr/bin/env bash
# The recovery engine against the reference PAR2 tool (Debian's par2) on the
# same 1 GiB set of 100 pieces, taking turns, medians over ROUNDS rounds:
# creating 10 recovery slices (goal: at least 10 x faster), rebuilding 1 and
# 5 missing pieces from the same recovery files (at least 10 x faster), and
# the peak memory (ours at most 256 MiB). The rebuilds are ours twice: with
# the pieces left checked by their MD5s, and by their slices' CRC-32 (the
# check a join that hashes every piece as it copies it can do with). Also one recovery slice, the plain
# XOR, against md5sum of the pieces: the XOR costs about a copy (the kernels'
# line), what remains is the MD5 and CRC-32 of every piece that the index
# needs.
# The engine is driven by bench/par2_driver, which calls it directly.
source "$(dirname "$0")/common.sh"
command -v par2 >/dev/null || { apt-get update -qq && apt-get install -y -qq par2; }
prepare par2_driver $((1 << 30))
driver=$root/build/linux/bench/par2_driver
index=$data/source.bin.par2
kept=$data/kept
piece_bytes=10737419 # 1 GiB in 100 pieces, the last shorter
slice_bytes=$(((piece_bytes + 3) / 4 * 4))

split -b "$piece_bytes" -d -a 3 --numeric-suffixes=1 "$data/source.bin" "$data/source.bin."
rm "$data/source.bin"
mapfile -t set < <(find "$data" -name 'source.bin.[0-9]*' | sort)
echo "${#set[@]} pieces of $piece_bytes bytes"
mkdir -p "$kept"
ourBase=$(baseline "$driver")
parBase=$(baseline par2 --version)
"$driver" kernels

remove_recovery() { rm -f "$data"/*.par2; }

# Deletes the pieces numbered $@ (kept aside once) for the next rebuild.
lose() {
    local number name
    for number in "$@"; do
        name=$(printf '%s/source.bin.%03d' "$data" "$number")
        [[ -e $kept/${name##*/} ]] || cp "$name" "$kept/"
        rm -f "$name"
    done
}

check_whole() {
    local name
    for name in "$kept"/*; do
        cmp -s "$name" "$data/${name##*/}" || { echo "not rebuilt: ${name##*/}" >&2; exit 1; }
    done
}

ours_create=$data/ours-create.txt par_create=$data/par-create.txt
ours_xor=$data/ours-xor.txt cat_read=$data/md5sum.txt
ours_one=$data/ours-one.txt par_one=$data/par-one.txt
ours_five=$data/ours-five.txt par_five=$data/par-five.txt
ours_one_crc=$data/ours-one-crc.txt ours_five_crc=$data/ours-five-crc.txt
for file in "$ours_create" "$par_create" "$ours_xor" "$cat_read" "$ours_one" "$par_one" "$ours_five" \
    "$par_five" "$ours_one_crc" "$ours_five_crc"; do
    : >"$file"
done

for round in $(seq "$rounds"); do
    echo "round $round"
    remove_recovery
    measure "$par_create" par2 create -q -q -B "$data" -s"$slice_bytes" -c10 "$index" "${set[@]}"
    remove_recovery
    measure "$ours_create" "$driver" create 10 "$index" "${set[@]}"
    par2 verify -q -q "$index" || { echo "par2 refuses our recovery files" >&2; exit 1; }

    # Both rebuild from the same files, ours.
    lose 50
    measure "$par_one" par2 repair -q -q "$index"
    check_whole
    lose 50
    measure "$ours_one" "$driver" repair "$index" >/dev/null
    check_whole
    lose 50
    measure "$ours_one_crc" "$driver" repair --crc "$index" >/dev/null
    check_whole
    lose 10 30 50 70 100
    measure "$par_five" par2 repair -q -q "$index"
    check_whole
    lose 10 30 50 70 100
    measure "$ours_five" "$driver" repair "$index" >/dev/null
    check_whole
    lose 10 30 50 70 100
    measure "$ours_five_crc" "$driver" repair --crc "$index" >/dev/null
    check_whole

    remove_recovery
    measure "$ours_xor" "$driver" create 1 "$index" "${set[@]}"
    measure "$cat_read" md5sum "${set[@]}" >/dev/null
done

#   line LABEL OURS-FILE PEER-FILE PEER-NAME PEER-BASELINE
line() {
    read -r ourTime ourPeak < <(summarise "$2")
    read -r peerTime peerPeak < <(summarise "$3")
    awk -v l="$1" -v n="$4" -v ot="$ourTime" -v pt="$peerTime" -v op="$ourPeak" -v pp="$peerPeak" \
        -v ob="$ourBase" -v pb="$5" 'BEGIN {
        printf "| %-28s | %7.2f s | %-5s %7.2f s | %6.1f x | %7.1f MiB | %7.1f MiB |\n",
               l, ot, n, pt, (ot > 0 ? pt / ot : 0), op / 1024, pp / 1024 }'
}
echo
echo "| 1 GiB, 100 pieces            |    ours   | peer            | speed-up | our peak    | peer peak   |"
echo "|------------------------------|-----------|-----------------|----------|-------------|-------------|"
line "create 10 recovery slices" "$ours_create" "$par_create" par2 "$parBase"
line "rebuild 1 missing piece" "$ours_one" "$par_one" par2 "$parBase"
line "rebuild 5 missing pieces" "$ours_five" "$par_five" par2 "$parBase"
line "rebuild 1, CRC-32 check" "$ours_one_crc" "$par_one" par2 "$parBase"
line "rebuild 5, CRC-32 check" "$ours_five_crc" "$par_five" par2 "$parBase"
line "create 1 slice (XOR)" "$ours_xor" "$cat_read" md5 0
echo "(medians of $rounds rounds; peaks: the largest resident set; our baseline $ourBase KiB, par2's $parBase KiB)"
