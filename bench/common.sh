# Sourced by the benchmark scripts: the built driver, a data folder on the
# project's disk, and timing with peak memory.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
driver=$root/build/linux/bench/pieces_bench
data=$root/build/bench-data
rounds=${ROUNDS:-3}

prepare() {
    command -v /usr/bin/time >/dev/null || { apt-get update -qq && apt-get install -y -qq time; }
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target pieces_bench >/dev/null
    rm -rf "$data"
    mkdir -p "$data"
    trap 'rm -rf "$data"' EXIT
    # 2 GiB that no file system can compress or share.
    echo "making a 2 GiB source in $data"
    head -c $((2 << 30)) /dev/urandom >"$data/source.bin"
    sync
}

# Runs a command, appends "seconds peak-KiB" to the file named by $1.
measure() {
    local into=$1
    shift
    /usr/bin/time -f '%e %M' -o "$data/time.txt" "$@"
    cat "$data/time.txt" >>"$into"
}

# The median of the first column and the largest second column of a file.
summarise() {
    sort -n "$1" | awk '{t[NR]=$1; if ($2>m) m=$2} END {print t[int((NR+1)/2)], m}'
}

# Peak memory in KiB of a command that does nothing useful (its baseline).
baseline() {
    /usr/bin/time -f '%M' -o "$data/time.txt" "$@" >/dev/null 2>&1 || true
    cat "$data/time.txt" | tail -1
}

report() {
    local label=$1 ours=$2 peer=$3 ourBase=$4 peerBase=$5
    read -r ourTime ourPeak < <(summarise "$ours")
    read -r peerTime peerPeak < <(summarise "$peer")
    awk -v l="$label" -v ot="$ourTime" -v pt="$peerTime" -v op="$ourPeak" -v pp="$peerPeak" \
        -v ob="$ourBase" -v pb="$peerBase" 'BEGIN {
        printf "%-22s ours %6.2f s  peer %6.2f s  ratio %.2f  peak: ours %d KiB (+%d over baseline)  peer %d KiB (+%d)\n",
               l, ot, pt, (pt > 0 ? ot / pt : 0), op, op - ob, pp, pp - pb }'
}
