#!/usr/bin/env bash
# The split in place (decouper --sur-place) against what a user does without
# it: an ordinary split followed by deleting the source, and the same with a
# sync before the deletion (the careful way, which the split in place matches
# by flushing each piece). 1 GiB at 1 Mo and 100 Mo pieces, taking turns:
# the median time, and the most disk space each used beyond the source,
# sampled with df while it runs, on an ext4 file system of its own (a loop
# mount: run as root) that no other program writes to. Goals: a peak of one
# piece for the split in place; its time at most 1.2 x the split and rm's.
# Every set is checked against the source.
source "$(dirname "$0")/common.sh"
prepare morcelix-cli $((1 << 30))
cli=$root/build/linux/cli/morcelix-cli
kept=$data/kept.bin
samples=$data/samples.txt
mv "$source" "$kept"
disk=$data/disk
truncate -s 3G "$data/disk.img"
mkfs.ext4 -q -F "$data/disk.img"
mkdir -p "$disk"
mount -o loop "$data/disk.img" "$disk"
trap 'umount "$disk"; rm -rf "$data"' EXIT
source=$disk/source.bin

used() {
    df --output=used -B1 "$disk" | tail -1
}

# Runs a command while sampling the disk's used bytes every 20 ms; appends
# "seconds peak-extra-bytes" to the file named by $1. The source is made
# afresh before, outside the measure.
measure_space() {
    local into=$1
    shift
    cp "$kept" "$source"
    sync
    local before start end peak sampler
    before=$(used)
    (while :; do used; sleep 0.02; done) >"$samples" &
    sampler=$!
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    kill "$sampler"
    wait "$sampler" 2>/dev/null || true
    peak=$(sort -n "$samples" | tail -1)
    echo "$start $end $before $peak" | awk '{printf "%.2f %d\n", $2 - $1, $4 - $3}' >>"$into"
}

# The pieces joined again must be the source.
check_and_remove_pieces() {
    mapfile -t set < <(pieces)
    cat "${set[@]}" | cmp - "$kept"
    remove_pieces
    rm -f "$source"
}

# The median of column $2 of the file named by $1.
median() {
    cut -d' ' -f"$2" "$1" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

printf '%-12s %12s %12s %7s %14s %16s %16s\n' pieces "in place s" "split+rm s" ratio \
    "split+sync+rm" "peak: in place" "peak: split+rm"
for mo in 1 100; do
    inPlace=$data/in-place.txt plain=$data/plain.txt careful=$data/careful.txt
    : >"$inPlace"; : >"$plain"; : >"$careful"
    for _ in $(seq "$rounds"); do
        measure_space "$inPlace" "$cli" decouper --sur-place "$source" "$mo"
        check_and_remove_pieces
        measure_space "$plain" sh -c '"$1" decouper "$2" "$3" && rm -- "$2"' sh "$cli" "$source" "$mo"
        check_and_remove_pieces
        measure_space "$careful" sh -c '"$1" decouper "$2" "$3" && sync && rm -- "$2"' sh \
            "$cli" "$source" "$mo"
        check_and_remove_pieces
    done
    awk -v p="$mo Mo" -v ot="$(median "$inPlace" 1)" -v pt="$(median "$plain" 1)" \
        -v ct="$(median "$careful" 1)" -v op="$(median "$inPlace" 2)" \
        -v pp="$(median "$plain" 2)" 'BEGIN {
        printf "%-12s %12.2f %12.2f %7.2f %14.2f %13.1f Mo %13.1f Mo\n",
               p, ot, pt, (pt > 0 ? ot / pt : 0), ct, op / 1e6, pp / 1e6 }'
done
