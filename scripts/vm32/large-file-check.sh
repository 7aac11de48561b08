#!/usr/bin/env bash
# Run in the guest, in a Wine session, with the scratch disk on /scratch
# (scripts/vm32/run.sh -x -d 12G): the 32-bit tool splits a sparse file of
# 5 GiB at 1000 Mo and joins the pieces back. Its positions and sizes pass
# 2 GiB and 4 GiB through the 32-bit file API: a position or size cut to 32
# bits shows as a piece of the wrong size or a mark out of place. Marks of 16
# bytes stand across each piece's end, across 2 GiB and 4 GiB, and at both
# ends of the file; the rest is holes, read as zeros. (A whole comparison of
# the two files would add minutes under emulation and see only zeros more.)
#   large-file-check.sh morcelix-cli.exe
# Prints "large file: ..." lines; exits non-zero at the first check that fails.
set -uo pipefail

cli=$1
work=/scratch/large
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
size=5368709120 # 5 GiB: five pieces of 1000 Mo and one of 368709120 bytes
piece=1000000000
fail() { echo "large file: FAILED: $*"; exit 1; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }

# The mark at byte $1 of the file: its own offset, in 16 characters.
mark() { printf '@%014d|' "$1"; }
offsets=(0 $((2 ** 31 - 8)) $((2 ** 32 - 8)) $((size - 16)))
for k in 1 2 3 4 5; do offsets+=($((k * piece - 8))); done

truncate -s "$size" film.bin || fail "no sparse file of $size bytes"
for at in "${offsets[@]}"; do
    mark "$at" | dd of=film.bin bs=1 seek="$at" conv=notrunc status=none || fail "no mark at $at"
done
# Checks the part of every mark that falls in file $1, which starts at byte
# $2 of the whole.
check_marks() {
    local file=$1 start=$2 length at lo hi want got
    length=$(stat -c %s "$file")
    for at in "${offsets[@]}"; do
        lo=$((at > start ? at : start))
        hi=$((at + 16 < start + length ? at + 16 : start + length))
        ((lo < hi)) || continue
        want=$(mark "$at")
        want=${want:lo-at:hi-lo}
        got=$(dd if="$file" bs=1 skip=$((lo - start)) count=$((hi - lo)) status=none)
        [[ $got == "$want" ]] || fail "$file: at $((lo - start)), '$got' instead of '$want'"
    done
}
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", b - a }'; }

t0=$(uptime_s)
wine "$cli" decouper film.bin 1000 >split.log 2>&1 || fail "decouper: $(cat split.log)"
t1=$(uptime_s)
sizes=$(stat -c '%n %s' film.bin.0* | tr '\n' ' ')
expected="film.bin.001 $piece film.bin.002 $piece film.bin.003 $piece film.bin.004 $piece film.bin.005 $piece film.bin.006 $((size - 5 * piece)) "
[[ $sizes == "$expected" ]] || fail "pieces: $sizes instead of $expected"
for k in 1 2 3 4 5 6; do check_marks "film.bin.00$k" $(((k - 1) * piece)); done
echo "large file: $size bytes split into 6 pieces at 1000 Mo in $(seconds "$t0" "$t1") s, sizes and marks right"

rm film.bin
t2=$(uptime_s)
wine "$cli" regrouper film.bin.001 >join.log 2>&1 || fail "regrouper: $(cat join.log)"
t3=$(uptime_s)
[[ $(stat -c %s film.bin) -eq $size ]] || fail "joined: $(stat -c %s film.bin) bytes instead of $size"
[[ -z $(ls film.bin.0* 2>/dev/null) ]] || fail "pieces left after the join: $(ls film.bin.0*)"
check_marks film.bin 0
echo "large file: joined back in $(seconds "$t2" "$t3") s, size and marks right, the pieces deleted"
