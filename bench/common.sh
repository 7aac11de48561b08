# Sourced by the benchmark scripts: a source on the project's disk (2 GiB),
# timing with peak memory, and the report of a comparison.
#   ROUNDS     turns per measurement (default 3)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${ROUNDS:-3}

# Builds `target` in the linux preset, makes $data/source.bin of `bytes`
# (2 GiB unless given), removed on exit.
prepare() {
    local target=$1 bytes=${2:-$((2 << 30))}
    data=$root/build/bench-data-$target
    source=$data/source.bin
    command -v /usr/bin/time >/dev/null || { apt-get update -qq && apt-get install -y -qq time; }
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target "$target" >/dev/null
    rm -rf "$data"
    mkdir -p "$data"
    trap 'rm -rf "$data"' EXIT
    # Bytes that no file system can compress or share.
    echo "making a source of $bytes bytes in $data"
    head -c "$bytes" /dev/urandom >"$source"
    sync
}

# Runs a command after flushing what earlier runs left to write; appends
# "seconds peak-KiB" to the file named by $1.
measure() {
    local into=$1
    shift
    sync
    /usr/bin/time -f '%e %M' -o "$data/time.txt" "$@"
    cat "$data/time.txt" >>"$into"
}

# The median of the first column and the largest second column of a file.
summarise() {
    sort -n "$1" | awk '{t[NR]=$1; if ($2>m) m=$2} END {print t[int((NR+1)/2)], m}'
}

# Peak memory in KiB of a command that does no work: the process's baseline.
baseline() {
    /usr/bin/time -f '%M' -o "$data/time.txt" "$@" >/dev/null 2>&1 || true
    tail -1 "$data/time.txt"
}

# The source's pieces in number order (.999 before .1000).
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

# Measures (as `measure`) cat of the pieces into the source's name, then rm
# of the pieces.
measure_cat_and_rm() {
    local set
    mapfile -t set < <(pieces)
    measure "$1" sh -c 'out=$1; shift; cat "$@" >"$out" && rm -- "$@"' sh "$source" "${set[@]}"
}

#   report LABEL OURS-FILE PEER-FILE PEER-NAME OUR-BASELINE PEER-BASELINE
report() {
    local label=$1 ours=$2 peer=$3 peerName=$4 ourBase=$5 peerBase=$6
    read -r ourTime ourPeak < <(summarise "$ours")
    read -r peerTime peerPeak < <(summarise "$peer")
    awk -v l="$label" -v n="$peerName" -v ot="$ourTime" -v pt="$peerTime" -v op="$ourPeak" \
        -v pp="$peerPeak" -v ob="$ourBase" -v pb="$peerBase" 'BEGIN {
        printf "%-26s ours %6.2f s  %s %6.2f s  ratio %.2f  peak: ours %d KiB (+%d over baseline), %s %d KiB (+%d)\n",
               l, ot, n, pt, (pt > 0 ? ot / pt : 0), op, op - ob, n, pp, pp - pb }'
}
