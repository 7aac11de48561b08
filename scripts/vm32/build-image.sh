#!/usr/bin/env bash
# Builds the 32-bit Debian 12 (i386) guest image from Debian's archive alone,
# on a Debian 12 x86-64 host, as root, without running any i386 code on the
# host:
#   1. debootstrap --foreign --arch=i386 (download and unpack only);
#   2. the host's apt, pointed at a private i386 state, downloads the closure
#      of the extra packages (wine32, xvfb, xdotool, imagemagick, the 686
#      kernel...) into the tree;
#   3. the 686 kernel is taken out of its .deb, and a small initramfs is made
#      from busybox-static:i386 and the kernel's virtio/ext4/9p modules;
#   4. mkfs.ext4 -d turns the tree into a raw image (no loop device, no mount);
#   5. the guest boots once (qemu-system-i386) and finishes itself: debootstrap
#      --second-stage, apt-get install --no-download, a Wine prefix.
# The image and its kernel go to VM32_DIR (see common.sh) only once they are
# whole, with the key of the recipe that made them.
#   scripts/vm32/build-image.sh [--if-needed]
# --if-needed: does nothing when the image there was built from this recipe.
# Time limit of the guest's part: VM32_BUILD_TIMEOUT (default 3600 s); of the
# whole build, waits for the archive included, twice that.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

IMG_SIZE=${VM32_IMG_SIZE:-6G}
BUILD_TIMEOUT=${VM32_BUILD_TIMEOUT:-3600}
EXTRA_PACKAGES=(
    linux-image-686 kmod mount procps util-linux psmisc
    wine wine32 libwine fonts-wine
    xvfb xauth xdotool x11-utils imagemagick
)

if_needed=0
[[ ${1:-} == --if-needed ]] && if_needed=1
if ((if_needed)) && vm32_image_ready; then
    exit 0
fi
[[ $(id -u) -eq 0 ]] || { vm32_log "building the image needs root"; exit 1; }
for tool in qemu-system-i386 debootstrap mkfs.ext4 e2fsck debugfs depmod modprobe cpio flock; do
    command -v "$tool" >/dev/null || { vm32_log "no $tool: run scripts/install-deps.sh"; exit 1; }
done
mirror=$(vm32_archive main) && security=$(vm32_archive security) ||
    { vm32_log "no Debian archive (main and security) found in the host's apt sources"; exit 1; }

# One build at a time on the machine, and none while a run uses the image;
# another clone may have built it while this one waited.
vm32_lock exclusive "$BUILD_TIMEOUT" || exit 1
if ((if_needed)) && vm32_image_ready; then
    exit 0
fi

t_start=$SECONDS
vm32_log "building the image in $VM32_DIR (recipe $(vm32_recipe_key | cut -c1-12))"
work=$VM32_DIR/new
rm -rf "$work"
mkdir -p "$work/boot"
cd "$work"
# Every step below is bounded, the archive's downloads too.
bounded() { timeout --kill-after=10 "$BUILD_TIMEOUT" "$@"; }

vm32_log "debootstrap --foreign --arch=i386 --variant=minbase $VM32_SUITE"
bounded debootstrap --arch=i386 --variant=minbase --foreign --include=debian-archive-keyring \
    "$VM32_SUITE" rootfs "$mirror" >debootstrap.log 2>&1 ||
    { tail -20 debootstrap.log; exit 1; }
# In a container debootstrap makes rootfs/proc a symlink to /proc; the guest
# needs a real directory to mount its own.
if [[ -L rootfs/proc ]]; then rm -f rootfs/proc && mkdir -m 555 rootfs/proc; fi

vm32_log "host apt (private i386 state): lists and the closure of ${EXTRA_PACKAGES[*]}"
mkdir -p apt/lists/partial apt/cache/archives/partial apt/empty
: >apt/status
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >apt/sources.list <<EOF
deb [arch=i386 signed-by=$keyring] $mirror $VM32_SUITE main
deb [arch=i386 signed-by=$keyring] $mirror $VM32_SUITE-updates main
deb [arch=i386 signed-by=$keyring] $security $VM32_SUITE-security main
EOF
apt_opts=(
    -o Dir::Etc::SourceList="$PWD/apt/sources.list" -o Dir::Etc::SourceParts="$PWD/apt/empty"
    -o Dir::State::Lists="$PWD/apt/lists" -o Dir::Cache="$PWD/apt/cache"
    -o Dir::State::status="$PWD/apt/status"
    -o Dir::Etc::Preferences="$PWD/apt/empty/none" -o Dir::Etc::PreferencesParts="$PWD/apt/empty"
    -o APT::Architecture=i386 -o APT::Architectures::=i386
    -o APT::Install-Recommends=0 -o Debug::NoLocking=1 -o APT::Sandbox::User=root
)
bounded apt-get "${apt_opts[@]}" update -qq
# The base packages are asked for too, so that the host resolves the same set
# the guest's apt will see installed.
base=($(awk '{print $1}' rootfs/debootstrap/debpaths))
bounded apt-get "${apt_opts[@]}" install -y -qq --download-only "${base[@]}" "${EXTRA_PACKAGES[@]}" \
    >apt-download.log 2>&1 || { tail -20 apt-download.log; exit 1; }
(cd boot && bounded apt-get "${apt_opts[@]}" download -qq busybox-static) >/dev/null 2>&1

mkdir -p rootfs/var/cache/vm32/debs
mv apt/cache/archives/*.deb rootfs/var/cache/vm32/debs/
printf '%s\n' "${EXTRA_PACKAGES[@]}" >rootfs/var/cache/vm32/packages
cp apt/lists/*_InRelease apt/lists/*_Packages* rootfs/var/lib/apt/lists/
cp apt/sources.list rootfs/etc/apt/sources.list
echo vm32 >rootfs/etc/hostname
printf '127.0.0.1 localhost\n127.0.1.1 vm32\n' >rootfs/etc/hosts
install -d rootfs/usr/local/sbin
install -m 755 "$here/guest/vm32-init" "$here/guest/vm32-install" rootfs/usr/local/sbin/

vm32_log "kernel and initramfs"
kdeb=$(ls rootfs/var/cache/vm32/debs/linux-image-[0-9]*-686_*_i386.deb | head -1)
rm -rf boot/k && dpkg-deb -x "$kdeb" boot/k
kver=$(ls boot/k/lib/modules)
cp boot/k/boot/vmlinuz-"$kver" boot/vmlinuz
depmod -b boot/k "$kver"
ird=boot/initrd.d
rm -rf "$ird" && mkdir -p "$ird"/{bin,dev,proc,sys,etc,newroot,lib/modules}
dpkg-deb -x boot/busybox-static_*.deb boot/bb
cp boot/bb/bin/busybox "$ird/bin/busybox"
install -m 755 "$here/guest/initrd-init" "$ird/init"
: >"$ird/etc/modules.order"
for m in virtio_pci virtio_blk ext4 9pnet_virtio 9p virtio_rng; do
    modprobe -d boot/k -S "$kver" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r path; do
    cp "$path" "$ird/lib/modules/"
    basename "$path" >>"$ird/etc/modules.order"
done
(cd "$ird" && find . | cpio -o -H newc --quiet | gzip -6) >boot/initrd
rm -rf boot/k boot/bb "$ird" boot/busybox-static_*.deb

vm32_log "mkfs.ext4 -d rootfs ($IMG_SIZE, sparse)"
truncate -s "$IMG_SIZE" vm32.img
mkfs.ext4 -q -F -L vm32root -d rootfs vm32.img
rm -rf rootfs apt
t_host=$((SECONDS - t_start))
vm32_log "host part done in ${t_host}s; booting the guest to finish the image"

t_boot=$SECONDS
rc=0
# Stopped (Ctrl+C, kill), the build stops its guest: timeout(1) keeps qemu in
# a process group of its own.
export VM32_PIDFILE=$work/qemu.pid
trap '[[ -s $VM32_PIDFILE ]] && kill "$(cat "$VM32_PIDFILE")" 2>/dev/null' EXIT
trap 'exit 130' INT TERM
vm32_accel # here too: qemu_vm32 below runs in a background subshell
VM32_IMG=$work/vm32.img VM32_KERNEL=$work/boot/vmlinuz VM32_INITRD=$work/boot/initrd \
    qemu_vm32 "$BUILD_TIMEOUT" "$work/build-console.log" "cache=unsafe,discard=unmap" \
    "vm32.mode=install vm32.timeout=$((BUILD_TIMEOUT - 60))" &
# waited for in the background, so that a TERM is handled at once
wait $! || rc=$?
sync
rm -f "$VM32_PIDFILE"
t_guest=$((SECONDS - t_boot))
if [[ $rc -ne 0 ]] || ! grep -q '^VM32-INSTALL-OK' build-console.log; then
    tail -30 build-console.log >&2
    vm32_log "FAILED (qemu status $rc) after ${t_guest}s in the guest: see $work/build-console.log"
    exit 1
fi
# Replays the journal and clears the orphan list should the guest not have
# left / clean; status 1 is "corrected", above 1 a real problem.
e2fsck -fy vm32.img >e2fsck.log 2>&1 || [[ $? -eq 1 ]] || { vm32_log "e2fsck failed: see $work/e2fsck.log"; exit 1; }

# Into place, the key last: until it is written the image counts as missing.
rm -f "$VM32_DIR/recipe.sha256" "$VM32_DIR/init.sha256"
mkdir -p "$VM32_DIR/boot"
mv boot/vmlinuz boot/initrd "$VM32_DIR/boot/"
mv vm32.img build-console.log "$VM32_DIR/"
vm32_init_key >"$VM32_DIR/init.sha256"
vm32_recipe_key >"$VM32_DIR/recipe.sha256"
cd "$VM32_DIR"
rm -rf "$work"
vm32_log "image ready: $VM32_IMG ($(du -h --apparent-size vm32.img | cut -f1) apparent, $(du -h vm32.img | cut -f1) on disk); host part ${t_host}s, guest part ${t_guest}s (accel $VM32_ACCEL_USED)"
