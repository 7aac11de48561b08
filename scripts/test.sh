#!/usr/bin/env bash
# Builds the four presets and runs every test: the core and the tool natively
# and as 32-bit programs under emulation, the whole Windows build under Wine
# with its own X display and prefix, the win32 build's tests in a 32-bit
# Debian guest under 32-bit Wine (scripts/win32-guest-tests.sh; its image is
# built the first time, about 15 min), the checks on the shipped 32-bit
# program, and the packages (made, checked, and made again in another folder
# to compare). Installs what is missing first. Ends with one summary line.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh || exit 1

step() { printf '\n== %s\n' "$*"; }

build_preset() {
    step "build $1"
    cmake --preset "$1" >/dev/null || exit 1
    cmake --build --preset "$1" || exit 1
}

# The win32 tests run in the 32-bit guest, under emulation on one core, in
# the background while the other presets build and their tests run here. Its
# image is built first where there is none (or its recipe changed), while
# the win32 preset builds; the tests start once both are done (the build
# leaves build/win32-built).
mkdir -p build
guest_log=$root/build/win32-guest.log
built_mark=$root/build/win32-built
rm -f "$built_mark"
step "the 32-bit guest's image and the win32 tests there, in the background (log: build/win32-guest.log)"
# A session of its own, so that stopping this script stops all of it (the
# guest scripts stop their qemu on TERM).
setsid bash -c 'scripts/vm32/build-image.sh --if-needed || exit
                for _ in $(seq 1800); do [[ -f $0 ]] && break; sleep 2; done
                [[ -f $0 ]] && MORCELIX_GUEST_COUNT=later scripts/win32-guest-tests.sh' \
    "$built_mark" >"$guest_log" 2>&1 </dev/null &
guest_pid=$!
stop_guest() {
    [[ -n ${guest_pid:-} ]] && kill -TERM -- "-$guest_pid" 2>/dev/null
    guest_pid=
}
trap stop_guest EXIT

build_preset win32
touch "$built_mark"
for preset in linux linux32 win64; do
    build_preset "$preset"
done

# A small file system that fills up, for the full-disk cases (needs mounting rights).
small_disk=$root/build/small-disk
mkdir -p "$small_disk"
if mountpoint -q "$small_disk" || mount -t tmpfs -o size=4m tmpfs "$small_disk" 2>/dev/null; then
    export MORCELIX_SMALL_DISK=$small_disk
else
    echo "No small file system could be mounted: the full-disk tests will be skipped."
fi

# A FAT32 file system of 5 GB, for the largest file it takes: this kernel has
# no FAT driver, so it is mounted through FUSE. The image is sparse.
fat_disk=$root/build/fat-disk
mkdir -p "$fat_disk"
if ! mountpoint -q "$fat_disk"; then
    rm -f "$root/build/fat.img"
    truncate -s 5G "$root/build/fat.img" &&
        mkfs.vfat -F 32 "$root/build/fat.img" >/dev/null &&
        fusefat -o rw+ "$root/build/fat.img" "$fat_disk" >/dev/null 2>&1
fi
if mountpoint -q "$fat_disk"; then
    export MORCELIX_FAT_DISK=$fat_disk
else
    echo "No FAT32 file system could be mounted: its tests will be skipped."
fi

# A small ext4 file system mounted from an image file, its journal committed
# only when asked: the power-cut test copies the image the moment a command
# has returned, and reads what the disk would hold after a cut.
power_cut_disk=$root/build/power-cut-disk
mkdir -p "$power_cut_disk"
if ! mountpoint -q "$power_cut_disk"; then
    rm -f "$root/build/power-cut.img"
    truncate -s 64M "$root/build/power-cut.img" &&
        mkfs.ext4 -q -F "$root/build/power-cut.img" &&
        mount -o loop,commit=300 "$root/build/power-cut.img" "$power_cut_disk" 2>/dev/null
fi
if mountpoint -q "$power_cut_disk"; then
    export MORCELIX_POWER_CUT_DISK=$power_cut_disk
    export MORCELIX_POWER_CUT_IMAGE=$root/build/power-cut.img
else
    echo "No file system could be mounted from an image: the power-cut test will be skipped."
fi

source scripts/wine-env.sh
cleanup() {
    stop_guest
    wine_env_stop
    mountpoint -q "$small_disk" && umount "$small_disk"
    mountpoint -q "$fat_disk" && fusermount -u "$fat_disk" && rm -f "$root/build/fat.img"
    mountpoint -q "$power_cut_disk" && umount "$power_cut_disk" && rm -f "$root/build/power-cut.img"
}
trap cleanup EXIT

passed=0 failed=0 skipped=0
# Runs ctest for a preset and adds its counts to the totals.
run_ctest() {
    local log
    log=$(mktemp)
    ctest --preset "$1" -j2 --timeout 900 2>&1 | tee "$log"
    local total fails skips
    total=$(sed -nE 's/.*tests failed out of ([0-9]+).*/\1/p' "$log" | tail -1)
    fails=$(sed -nE 's/.* ([0-9]+) tests failed out of.*/\1/p' "$log" | tail -1)
    skips=$(grep -c '(Skipped)$' "$log")
    if [[ -z $total ]]; then
        echo "ctest for $1 gave no result"
        failed=$((failed + 1))
    else
        failed=$((failed + fails))
        skipped=$((skipped + skips))
        passed=$((passed + total - fails - skips))
    fi
    rm -f "$log"
}

step "tests: linux"
run_ctest linux

step "tests: linux32 under qemu-i386"
run_ctest linux32

step "tests: win64 under Wine"
wine_env_start "$root/build/wine-prefix"
run_ctest win64
wine_env_stop

if [[ -x scripts/check-win32.sh ]]; then
    step "checks: the 32-bit program"
    if scripts/check-win32.sh build/win32/app/morcelix.exe; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
fi

step "tests: win32 in the 32-bit guest"
# Bounded by the guest's own limits (scripts/vm32/run.sh stops qemu).
wait "$guest_pid"
guest_pid=
cat "$guest_log"
guest_summary=$(sed -nE 's/^guest: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped$/\1 \2 \3/p' "$guest_log" | tail -1)
if [[ -z $guest_summary ]]; then
    # The guest could not run them (no image could be built, no boot): they
    # are counted now, against the win64 build of the same tests.
    scripts/win32-guest-tests.sh --skip "no result from the guest" | tee "$guest_log.skip"
    guest_summary=$(sed -nE 's/^guest: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped$/\1 \2 \3/p' "$guest_log.skip")
    rm -f "$guest_log.skip"
fi
read -r p f s <<<"${guest_summary:-0 1 0}"
passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))

step "packages"
if scripts/package.sh; then
    log=$(mktemp)
    scripts/check-packages.sh | tee "$log"
    passed=$((passed + $(grep -c '^PASS: ' "$log")))
    failed=$((failed + $(grep -c '^FAIL: ' "$log")))
    skipped=$((skipped + $(grep -c '^SKIP: ' "$log")))
    rm -f "$log"
else
    echo "scripts/package.sh failed"
    failed=$((failed + 1))
fi

echo
echo "summary: $passed passed, $failed failed, $skipped skipped"
((failed == 0))
