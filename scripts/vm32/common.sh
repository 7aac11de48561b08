# Sourced by the vm32 scripts (build-image.sh, run.sh): the 32-bit Debian 12
# guest that runs the shipped 32-bit programs under 32-bit Wine.
# Everything lives under VM32_DIR (default ${XDG_CACHE_HOME:-$HOME/.cache}/vm32),
# outside any clone, so that one image serves every clone of the machine:
#   vm32.img        the guest's root file system: raw ext4, no partition table
#   boot/vmlinuz    the 686 kernel, taken from Debian's linux-image-686 package
#   boot/initrd     a small initramfs made here (busybox-static:i386 + modules)
#   recipe.sha256   the key of the recipe the image was built from (see below)
#   init.sha256     the key of the guest/vm32-init written into the image
#   lock            held shared by each run, exclusively by a build or an update

VM32_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VM32_DIR=${VM32_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vm32}
VM32_SUITE=${VM32_SUITE:-bookworm}
VM32_MEM=${VM32_MEM:-1536}
VM32_IMG=$VM32_DIR/vm32.img
VM32_KERNEL=$VM32_DIR/boot/vmlinuz
VM32_INITRD=$VM32_DIR/boot/initrd

vm32_log() { printf '[vm32 %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

# The files whose content makes the image. Editing one of them makes the next
# run build the image again; guest/vm32-init is not among them, since a new one
# is written into the image in a second (vm32_sync_init).
VM32_RECIPE_FILES=(build-image.sh guest/initrd-init guest/vm32-install)

vm32_recipe_key() {
    { echo "suite $VM32_SUITE"; (cd "$VM32_HERE" && sha256sum "${VM32_RECIPE_FILES[@]}"); } |
        sha256sum | cut -d' ' -f1
}

vm32_init_key() {
    sha256sum <"$VM32_HERE/guest/vm32-init" | cut -d' ' -f1
}

# True when the image, its kernel and initramfs are there and were built from
# this recipe.
vm32_image_ready() {
    [[ -f $VM32_IMG && -f $VM32_KERNEL && -f $VM32_INITRD ]] &&
        [[ $(cat "$VM32_DIR/recipe.sha256" 2>/dev/null) == "$(vm32_recipe_key)" ]]
}

# vm32_lock shared|exclusive SECONDS: takes the image's lock on fd 9, waiting
# at most SECONDS (another clone building the image, or runs using it).
vm32_lock() {
    mkdir -p "$VM32_DIR" || return 1
    exec 9>>"$VM32_DIR/lock" || return 1
    local how=-s
    [[ $1 == exclusive ]] && how=-x
    flock "$how" -w "$2" 9 || { vm32_log "the image's lock was not free within $2 s"; return 1; }
}

# Writes guest/vm32-init into the image when the image holds another one
# (debugfs: no mount, no boot). Needs the exclusive lock.
vm32_sync_init() {
    local key
    key=$(vm32_init_key)
    [[ $(cat "$VM32_DIR/init.sha256" 2>/dev/null) == "$key" ]] && return 0
    debugfs -w -f - "$VM32_IMG" >/dev/null 2>&1 <<EOF
rm /usr/local/sbin/vm32-init
write $VM32_HERE/guest/vm32-init /usr/local/sbin/vm32-init
sif /usr/local/sbin/vm32-init mode 0100755
EOF
    debugfs -R 'cat /usr/local/sbin/vm32-init' "$VM32_IMG" 2>/dev/null | cmp -s - "$VM32_HERE/guest/vm32-init" ||
        { vm32_log "could not write guest/vm32-init into $VM32_IMG"; return 1; }
    echo "$key" >"$VM32_DIR/init.sha256"
    vm32_log "guest/vm32-init written into the image"
}

# The first archive of the host's apt sources whose suite is (security) or is
# not (main) a security suite: one-line sources.list entries or deb822
# .sources paragraphs. The guest is made from the same archive as the host.
vm32_archive() {
    local want=$1 uri
    uri=$(awk -v want="$want" '
        $1 == "deb" && (($0 ~ /security/) == (want == "security")) {
            for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit }
        }' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
    if [[ -z $uri ]]; then
        uri=$(awk -v RS= -v want="$want" '
            {
                types = ""; uris = ""; suites = ""; field = ""
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /:$/) { field = $i; continue }
                    if (field == "Types:") types = types " " $i
                    else if (field == "URIs:" && uris == "") uris = $i
                    else if (field == "Suites:") suites = suites " " $i
                }
                if (types ~ / deb( |$)/ && uris != "" && ((suites ~ /security/) == (want == "security"))) {
                    print uris; exit
                }
            }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
    fi
    [[ -n $uri ]] && echo "$uri"
}

# KVM only when it is hardware-backed: /dev/kvm opens and the CPU shows vmx or
# svm. A /dev/kvm without them (software nested virtualisation, such as the
# kvm_pvm module) emulates the guest's kernel instruction by instruction: far
# slower than TCG, and it stops on RDRAND and CMPXCHG16B ("KVM internal error.
# Suberror: 1 / emulation failure"). VM32_ACCEL=kvm or tcg overrides.
vm32_accel() {
    local want=${VM32_ACCEL:-auto}
    if [[ $want == auto ]]; then
        if [[ -r /dev/kvm && -w /dev/kvm ]] && grep -qwE 'vmx|svm' /proc/cpuinfo &&
            [[ ! -d /sys/module/kvm_pvm ]]; then
            want=kvm
        else
            want=tcg
        fi
    fi
    case $want in
        kvm) VM32_QEMU_ACCEL=(-accel kvm -cpu host) ;;
        # -smap: with SMAP, QEMU 7.2's TCG faults on the IRET that 32-bit
        # Wine executes in user mode, and the guest kernel oopses ("BUG:
        # unable to handle page fault ... supervisor read access in user
        # mode", EIP on the iret, in wineboot.exe and start.exe).
        tcg) VM32_QEMU_ACCEL=(-accel tcg -cpu max,-smap) ;;
        *) echo "VM32_ACCEL must be auto, kvm or tcg" >&2; return 2 ;;
    esac
    VM32_ACCEL_USED=$want
}

# qemu_vm32 TIMEOUT CONSOLE_LOG DRIVE_OPTS KERNEL_CMDLINE [extra qemu args...]
# Runs the guest in the foreground under timeout(1); returns qemu's status
# (124 when it ran past TIMEOUT seconds and was stopped).
qemu_vm32() {
    local limit=$1 console=$2 drive=$3 cmdline=$4
    shift 4
    vm32_accel || return
    vm32_log "qemu: accel=$VM32_ACCEL_USED mem=${VM32_MEM}M vcpu=1 limit=${limit}s console=$console"
    timeout --kill-after=15 "$limit" qemu-system-i386 \
        -nodefaults -no-user-config -machine pc "${VM32_QEMU_ACCEL[@]}" \
        -smp 1 -m "$VM32_MEM" -display none -monitor none -no-reboot \
        -serial "file:$console" -nic none \
        -device virtio-rng-pci \
        -kernel "$VM32_KERNEL" -initrd "$VM32_INITRD" \
        -append "console=ttyS0 panic=-1 no_timer_check sysrq_always_enabled nokaslr $cmdline ${VM32_APPEND:-}" \
        -drive "file=$VM32_IMG,format=raw,if=virtio,$drive" \
        ${VM32_PIDFILE:+-pidfile "$VM32_PIDFILE"} \
        "$@"
}
