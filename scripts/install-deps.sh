#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks. Does nothing when everything is there.
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest
    # A FAT32 file system mounted through FUSE, for the tests of its file limit.
    dosfstools fusefat fuse3
    # An ext4 file system in an image file, read after a power cut.
    e2fsprogs
    # The file systems users have, mounted from image files for the tests:
    # NTFS and exFAT through FUSE, btrfs and XFS, and sshfs to this machine.
    ntfs-3g exfat-fuse exfatprogs btrfs-progs xfsprogs sshfs openssh-server openssh-client
    g++-multilib qemu-user strace
    # MD5, SHA-1, SHA-256 and SHA-512 from OpenSSL, CRC-32 from zlib: for the
    # native programs and for the 32-bit ones; zlib for the Windows ones too.
    libssl-dev libssl-dev:i386 zlib1g-dev zlib1g-dev:i386
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64 libz-mingw-w64-dev
    wine wine64 fonts-wine xvfb xdotool imagemagick
    zip unzip dpkg-dev lintian man-db scdoc
    # The reference PAR2 tool, for the recovery data's tests and benchmark.
    par2
    # The 32-bit guest that runs the shipped 32-bit programs (scripts/vm32/):
    # its emulator, and what builds its image without running its code here.
    qemu-system-x86 debootstrap debian-archive-keyring e2fsprogs kmod cpio util-linux
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
    fi
    # No package's service is started on a test machine (sshd among them):
    # the tests start what they need, on their own ports.
    if [[ ! -e /usr/sbin/policy-rc.d ]]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
        "${sudo_cmd[@]}" chmod 755 /usr/sbin/policy-rc.d
        trap '"${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
