#!/usr/bin/env bash
# Runs one command in the 32-bit guest (see common.sh and build-image.sh):
#   scripts/vm32/run.sh [-t SECONDS] [-x] [-d SIZE] [-s STATE] SHARE_DIR COMMAND...
# Boots the guest with SHARE_DIR (a host folder) mounted through 9p on /share
# and on its own host path, so that paths compiled into programs or written
# in files are the same inside, and runs COMMAND there with bash (cwd
# /share, root, HOME=/root, the 32-bit Wine prefix /root/.wine made with the
# image). Prints the command's output (also in STATE/out.log) and exits with
# its status. The image is opened with snapshot=on: nothing the guest writes
# outside /share (and /scratch) is kept.
#   -t SECONDS  the command's time in the guest (default 900); qemu is stopped
#               180 s after that at the latest
#   -x          an X display (Xvfb, DISPLAY=:1) and a Wine server that lasts
#               the whole command, Wine started once, before the command
#   -d SIZE     a scratch ext4 disk of SIZE (e.g. 12G) on /scratch: sparse on
#               the host, and the zeros written to it are not stored
#   -s STATE    the folder inside SHARE_DIR for the job, its output, its status
#               and the guest's console (default .vm32)
# Exit status: the command's; 124 when it ran past its time; 125 when the
# guest could not run it (no image, no boot, a crash: see STATE/console.log).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

usage() { sed -n '2,21p' "$0" >&2; exit 2; }
limit=900 x11=0 scratch= state_dir=.vm32
while getopts t:xd:s: opt; do
    case $opt in
        t) limit=$OPTARG ;;
        x) x11=1 ;;
        d) scratch=$OPTARG ;;
        s) state_dir=$OPTARG ;;
        *) usage ;;
    esac
done
shift $((OPTIND - 1))
(($# >= 2)) || usage
share=$(cd "$1" && pwd)
shift

vm32_image_ready || { vm32_log "no image built from this recipe in $VM32_DIR: run scripts/vm32/build-image.sh"; exit 125; }
# The image is shared with the other runs, and a build waits for them to end;
# a newer guest/vm32-init is written in first, alone.
vm32_lock shared 600 || exit 125
if [[ $(cat "$VM32_DIR/init.sha256" 2>/dev/null) != "$(vm32_init_key)" ]]; then
    vm32_lock exclusive 600 && vm32_sync_init && vm32_lock shared 600 || exit 125
fi

[[ $state_dir =~ ^[A-Za-z0-9._/-]+$ && $state_dir != /* && $state_dir != *..* ]] ||
    { echo "the state folder must be a plain relative path" >&2; exit 2; }
state=$share/$state_dir
mkdir -p "$state"
rm -f "$state/rc" "$state/out.log" "$state/console.log" "$state/scratch.img"
{
    echo 'export HOME=/root WINEPREFIX=/root/.wine WINEARCH=win32 LANG=C.UTF-8'
    echo 'export WINEDLLOVERRIDES="mscoree,mshtml="'
    echo ': "${WINEDEBUG:=-all}"; export WINEDEBUG'
    echo 'vm32_uptime() { cut -d" " -f1 /proc/uptime; }'
    if [[ $share != /share ]]; then
        printf 'mkdir -p %q && mount --bind /share %q\n' "$share" "$share"
    fi
    if [[ -n $scratch ]]; then
        echo 'mkdir -p /scratch && mount -t ext4 -o discard /dev/vdb /scratch || exit 125'
    fi
    if ((x11)); then
        cat <<'EOF'
Xvfb :1 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:1
for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X1 ]] && break; sleep 0.1; done
# A server kept for the whole command: Wine's helper processes then start once.
wineserver -p
timeout 300 wine wineboot >/dev/null 2>&1 || { echo "vm32: Wine did not start"; exit 125; }
echo "vm32: Wine ready at uptime $(vm32_uptime)s"
EOF
    fi
    echo 'cd /share'
    printf '%s\n' "$*"
} >"$state/job.sh"

extra=()
if [[ -n $scratch ]]; then
    truncate -s "$scratch" "$state/scratch.img"
    mkfs.ext4 -q -F -L vm32scratch "$state/scratch.img"
    extra=(-drive "file=$state/scratch.img,format=raw,if=virtio,cache=unsafe,discard=unmap,detect-zeroes=unmap")
fi

# Stopped early (Ctrl+C, kill), the script stops qemu itself, found by its
# pid file, and the timeout(1) around it then ends too.
export VM32_PIDFILE=$state/qemu.pid
rm -f "$VM32_PIDFILE"
qemu_pid=
cleanup() {
    if [[ -n $qemu_pid ]]; then
        [[ -s $VM32_PIDFILE ]] && kill "$(cat "$VM32_PIDFILE")" 2>/dev/null
        kill "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
    fi
    rm -f "$VM32_PIDFILE" "$state/scratch.img"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

vm32_accel # here too: qemu_vm32 below runs in a background subshell
t0=$SECONDS
qemu_vm32 $((limit + 180)) "$state/console.log" "snapshot=on" \
    "vm32.mode=run vm32.timeout=$limit vm32.state=$state_dir" \
    -virtfs "local,path=$share,mount_tag=share,security_model=none,multidevs=remap,id=share" "${extra[@]}" &
qemu_pid=$!
qrc=0
wait "$qemu_pid" || qrc=$?
qemu_pid=
elapsed=$((SECONDS - t0))

[[ -f $state/out.log ]] && cat "$state/out.log"
if [[ -f $state/rc ]]; then
    rc=$(cat "$state/rc")
    vm32_log "guest command exit status $rc; boot to power-off ${elapsed}s (accel $VM32_ACCEL_USED, qemu status $qrc)"
    exit "$rc"
fi
tail -20 "$state/console.log" >&2 || true
vm32_log "no exit status came back (qemu status $qrc after ${elapsed}s)"
exit 125
