#!/usr/bin/env bash
# One file system of each kind users keep their files on, mounted from sparse
# image files for tests/cli/file_systems_test: NTFS (ntfs-3g), exFAT
# (exfat-fuse), FAT32 (fusefat), btrfs, XFS and ext4 (loop devices), tmpfs,
# and sshfs to this machine (an sshd of its own on a private loopback port,
# with a throwaway host key and key pair). Every mount is optional: one that
# can not be made (no FUSE, no loop device, no sshd, not root) is named and
# left out, and its tests skip. The mount points are handed to the tests in
# one variable, MORCELIX_TEST_DISKS="ntfs=PATH exfat=PATH ...".
#
# Sourced by a script:
#   test_disks_mount FOLDER   mounts them under FOLDER, exports the variable
#   test_disks_unmount FOLDER unmounts them, stops sshd, removes the images
# or run by hand (scripts/test.sh does not mount them yet):
#   eval "$(scripts/mount-test-disks.sh mount build/test-disks)"
#   scripts/mount-test-disks.sh unmount build/test-disks
#
# Every step is bounded in time. FUSE drivers can hang (fusefat has been seen
# to loop on a damaged FAT), which leaves the processes waiting on them
# unkillable: a watchdog aborts the FUSE connections of these mounts once
# MORCELIX_TEST_DISKS_BOUND seconds (30 minutes unless set) have passed, and
# the unmount aborts any that does not unmount at once.

# The sizes of the images. ext4, XFS and btrfs take sparse files and
# fallocate: 5 GiB of which the tests use what they need, so that a file of
# more than 4 GiB (sparse) can be split and joined there. The others are
# filled by writing, so they are kept small; fusefat writes slowly.
test_disks_size() {
    case $1 in
        ext4 | xfs | btrfs) echo 5G ;;
        *) echo 256M ;;
    esac
}

# Each step's bound, in seconds.
test_disks_step_bound=60

test_disks_say() {
    echo "test disks: $*" >&2
}

# The FUSE connection of a mount point, as /sys/fs/fuse/connections names it
# (the device number of the mount, in the kernel's encoding), read from the
# mount table: a hung driver would hold a stat of the mount point.
test_disks_fuse_connection() {
    local device
    device=$(awk -v point="$(printf '%s' "$1" | sed 's/ /\\040/g')" \
        '$5 == point { device = $3 } END { if (device == "") exit 1; print device }' \
        /proc/self/mountinfo) || return 1
    echo $(((${device%%:*} << 20) | ${device##*:}))
}

# Makes any request waiting on the FUSE mount at $1 fail at once.
test_disks_abort_fuse() {
    local connection
    connection=$(test_disks_fuse_connection "$1") || return 0
    [[ -w /sys/fs/fuse/connections/$connection/abort ]] &&
        echo 1 >"/sys/fs/fuse/connections/$connection/abort"
    return 0
}

# The type of what is mounted at $1 (the last mount there), from the kernel's
# table: a FUSE mount whose connection was aborted no longer answers stat.
test_disks_mounted() {
    awk -v point="$(printf '%s' "$1" | sed 's/ /\\040/g')" \
        '$2 == point { type = $3 } END { if (type == "") exit 1; print type }' /proc/self/mounts
}

# Unmounts $1 (FUSE or not), aborting a FUSE connection that does not let go;
# mounts stacked there too.
test_disks_release() {
    local point=$1 type
    for _ in 1 2 3; do
        type=$(test_disks_mounted "$point") || return 0
        if [[ $type == fuse* ]]; then
            timeout 20 fusermount -u "$point" 2>/dev/null && continue
            test_disks_abort_fuse "$point"
        else
            timeout 20 umount "$point" 2>/dev/null && continue
        fi
        umount -l "$point" 2>/dev/null
    done
}

test_disks_unmount() {
    local base=${1:?folder}
    base=$(realpath -m "$base")
    [[ -d $base ]] || return 0
    if [[ -f $base/watchdog.pid ]]; then
        kill "$(cat "$base/watchdog.pid")" 2>/dev/null
        rm -f "$base/watchdog.pid"
    fi
    local kind
    for kind in ntfs exfat fat btrfs xfs ext4 tmpfs sshfs sshfs-remote; do
        test_disks_release "$base/$kind"
    done
    if [[ -f $base/ssh/sshd.pid ]]; then
        kill "$(cat "$base/ssh/sshd.pid")" 2>/dev/null
        rm -f "$base/ssh/sshd.pid"
    fi
    local image device
    for image in "$base"/*.img; do
        [[ -e $image ]] || continue
        for device in $(losetup -j "$image" 2>/dev/null | cut -d: -f1); do
            timeout 20 losetup -d "$device" 2>/dev/null
        done
        rm -f "$image"
    done
    rm -rf "$base/ssh"
}

# Makes a fresh image of `size` for `kind` at `image` with `mkfs...`.
test_disks_image() {
    local image=$1 size=$2
    shift 2
    rm -f "$image"
    truncate -s "$size" "$image" &&
        timeout "$test_disks_step_bound" "$@" "$image" >/dev/null 2>&1
}

# Mounts one file system of `kind` at $base/kind; says why when it can not.
test_disks_mount_one() {
    local base=$1 kind=$2
    local point=$base/$kind image=$base/$kind.img size
    size=$(test_disks_size "$kind")
    mkdir -p "$point"
    local bound=$test_disks_step_bound
    case $kind in
        ext4)
            # No blocks kept for root: the free space the tool reads is all there is.
            test_disks_image "$image" "$size" mkfs.ext4 -q -F -m 0 &&
                timeout "$bound" mount -o loop "$image" "$point" 2>/dev/null
            ;;
        xfs)
            test_disks_image "$image" "$size" mkfs.xfs -q -f &&
                timeout "$bound" mount -o loop "$image" "$point" 2>/dev/null
            ;;
        btrfs)
            test_disks_image "$image" "$size" mkfs.btrfs -q -f &&
                timeout "$bound" mount -o loop "$image" "$point" 2>/dev/null
            ;;
        ntfs)
            test_disks_image "$image" "$size" mkntfs -q -F -f &&
                timeout "$bound" ntfs-3g "$image" "$point" 2>/dev/null
            ;;
        exfat)
            # exfat-fuse wants a block device.
            local device
            test_disks_image "$image" "$size" mkfs.exfat &&
                device=$(timeout "$bound" losetup -f --show "$image" 2>/dev/null) &&
                timeout "$bound" mount.exfat-fuse "$device" "$point" >/dev/null 2>&1
            ;;
        fat)
            # Clusters of 1 KiB: enough of them for FAT32 on a small image.
            test_disks_image "$image" "$size" mkfs.vfat -F 32 -s 2 &&
                timeout "$bound" fusefat -o rw+ "$image" "$point" >/dev/null 2>&1
            ;;
        tmpfs)
            timeout "$bound" mount -t tmpfs -o "size=$size" tmpfs "$point" 2>/dev/null
            ;;
        sshfs)
            test_disks_mount_sshfs "$base" "$size"
            ;;
    esac
    if ! mountpoint -q "$point"; then
        test_disks_say "no $kind file system could be mounted: its tests will be skipped"
        rm -f "$image"
        return 1
    fi
}

# An sshd on a free loopback port with keys of its own, serving a small tmpfs
# (so that it can fill up) through sshfs at $base/sshfs.
test_disks_mount_sshfs() {
    local base=$1 size=$2
    local ssh=$base/ssh remote=$base/sshfs-remote bound=$test_disks_step_bound
    [[ -x /usr/sbin/sshd ]] && command -v sshfs >/dev/null || return 1
    mkdir -p "$remote"
    timeout "$bound" mount -t tmpfs -o "size=$size" tmpfs "$remote" 2>/dev/null || return 1
    rm -rf "$ssh"
    mkdir -p "$ssh"
    chmod 700 "$ssh"
    ssh-keygen -q -t ed25519 -N '' -f "$ssh/host_key" &&
        ssh-keygen -q -t ed25519 -N '' -f "$ssh/client_key" &&
        cp "$ssh/client_key.pub" "$ssh/authorized_keys" || return 1
    # sshd's privilege separation folder.
    mkdir -p /run/sshd 2>/dev/null
    local attempt port
    for attempt in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        cat >"$ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $ssh/host_key
AuthorizedKeysFile $ssh/authorized_keys
PidFile $ssh/sshd.pid
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
X11Forwarding no
AllowTcpForwarding no
Subsystem sftp internal-sftp
EOF
        # It binds its port before it goes to the background: a taken port fails here.
        timeout "$bound" /usr/sbin/sshd -f "$ssh/sshd_config" -E "$ssh/sshd.log" && break
        port=
    done
    [[ -n $port ]] || return 1
    for _ in $(seq 50); do
        [[ -s $ssh/sshd.pid ]] && break
        sleep 0.1
    done
    timeout "$bound" sshfs -F /dev/null -p "$port" \
        -o "IdentityFile=$ssh/client_key,IdentitiesOnly=yes,BatchMode=yes" \
        -o "StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,LogLevel=ERROR" \
        -o "ConnectTimeout=10,ServerAliveInterval=10,ServerAliveCountMax=3" \
        "root@127.0.0.1:$remote" "$base/sshfs" 2>/dev/null
}

test_disks_mount() {
    local base=${1:?folder}
    base=$(realpath -m "$base")
    unset MORCELIX_TEST_DISKS
    if [[ $base == *" "* ]]; then
        test_disks_say "the path $base holds a blank: no file system is mounted, their tests will be skipped"
        return 0
    fi
    if (($(id -u) != 0)); then
        test_disks_say "mounting needs root: the tests of the file systems will be skipped"
        return 0
    fi
    # What a run that was killed left: the tests need empty disks.
    test_disks_unmount "$base"
    mkdir -p "$base"
    # Lets a hung FUSE driver's connection be aborted.
    mountpoint -q /sys/fs/fuse/connections ||
        mount -t fusectl none /sys/fs/fuse/connections 2>/dev/null
    local kind disks=() fuse=()
    for kind in ntfs exfat fat btrfs xfs ext4 tmpfs sshfs; do
        if test_disks_mount_one "$base" "$kind"; then
            disks+=("$kind=$base/$kind")
            case $kind in ntfs | exfat | fat | sshfs) fuse+=("$base/$kind") ;; esac
        fi
    done
    if ((${#fuse[@]})); then
        # A process of its own, holding none of the caller's descriptors (a
        # command substitution would wait for it), its words in a log.
        local bound=${MORCELIX_TEST_DISKS_BOUND:-1800}
        setsid bash -c '
            bound=$1
            shift
            sleep "$bound" &
            sleeper=$!
            trap "kill $sleeper 2>/dev/null; exit 0" TERM
            wait $sleeper
            echo "still mounted after $bound s: their connections are aborted"
            exec "$0" abort "$@"' "$(realpath "${BASH_SOURCE[0]}")" "$bound" "${fuse[@]}" \
            </dev/null >"$base/watchdog.log" 2>&1 &
        echo $! >"$base/watchdog.pid"
    fi
    if ((${#disks[@]})); then
        export MORCELIX_TEST_DISKS="${disks[*]}"
        test_disks_say "mounted: $MORCELIX_TEST_DISKS"
    fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -uo pipefail
    case ${1:-} in
        mount)
            test_disks_mount "${2:-build/test-disks}" >&2
            [[ -n ${MORCELIX_TEST_DISKS:-} ]] && printf 'export MORCELIX_TEST_DISKS=%q\n' "$MORCELIX_TEST_DISKS"
            ;;
        unmount) test_disks_unmount "${2:-build/test-disks}" ;;
        abort)
            shift
            for point; do test_disks_abort_fuse "$point"; done
            ;;
        *)
            echo "usage: $0 mount|unmount [FOLDER], or $0 abort MOUNT-POINT..." >&2
            exit 2
            ;;
    esac
fi
