#!/usr/bin/env bash
# Runs one command inside a small qemu VM whose stock Debian kernel provides real SocketCAN
# (vcan), so that CAN code can be checked against the kernel even though this host has no
# AF_CAN. The VM sees the host's root file system over 9p and runs the command in a chroot of
# it, in the caller's current directory, with the caller's relevant environment.
#
# Usage: run-in-vm.sh [--iface NAME]... [--timeout SECONDS] [--env NAME]...
#                     [--host-tmp | --guest-tmp] -- COMMAND [ARGS...]
#
# Exit status: COMMAND's own, or 124 when the guard time-out fired, or 125 when the VM could
# not be prepared, booted or set up.
set -euo pipefail

readonly PROG=run-in-vm
readonly CACHE_DIR="${WENLO_VM_CACHE:-/var/cache/wenlo-vm}"
readonly VM_MEMORY="${WENLO_VM_MEMORY:-1024}"
readonly VM_CPUS="${WENLO_VM_CPUS:-2}"
# The modules the guest needs; their dependencies are resolved from the modules themselves.
readonly ROOT_MODULES=(virtio_pci virtio_console 9pnet_virtio 9p can-raw vcan)

die() {
    echo "$PROG: error: $*" >&2
    exit 125
}
note() {
    if [[ "${WENLO_VM_VERBOSE:-0}" == 1 ]]; then echo "$PROG: $*" >&2; fi
}

usage() {
    cat <<'EOF'
usage: run-in-vm.sh [--iface NAME]... [--timeout SECONDS] [--env NAME]...
                    [--host-tmp | --guest-tmp] -- COMMAND [ARGS...]

Boots a qemu VM with a stock Debian kernel, creates each --iface as an up vcan interface
(default: can0), and runs COMMAND in a chroot of the host's root file system, in the current
directory. Passes PATH, HOME, USER, LOGNAME, LANG, LC_*, TZ, WENLO_* and GTEST_* (plus each
--env NAME) into the VM; never LD_PRELOAD.

  --iface NAME      create a vcan interface NAME (repeatable; default can0)
  --timeout SECONDS kill the VM and fail after this long (default 600)
  --env NAME        also pass environment variable NAME (repeatable)
  --host-tmp        keep the host's /tmp and /run visible in the VM
  --guest-tmp       mount fresh tmpfs on /tmp and /run in the VM
                    (default: guest tmpfs unless the current directory or an argument
                    lies under /tmp or /run)

Environment: WENLO_VM_CACHE (default /var/cache/wenlo-vm), WENLO_VM_VERBOSE=1,
WENLO_VM_MEMORY (MiB, default 1024), WENLO_VM_CPUS (default 2).
Exit status: COMMAND's, 124 on time-out, 125 when the VM itself failed.
EOF
}

# ---------------------------------------------------------------------------------------------
# Arguments
ifaces=()
extra_env=()
timeout_s=600
tmp_mode=auto
while (($#)); do
    case "$1" in
    --iface)
        (($# >= 2)) || die "--iface needs a name"
        [[ "$2" =~ ^[A-Za-z0-9_.-]{1,15}$ ]] || die "invalid interface name '$2'"
        ifaces+=("$2")
        shift 2
        ;;
    --timeout)
        (($# >= 2)) || die "--timeout needs a number of seconds"
        [[ "$2" =~ ^[1-9][0-9]*$ ]] || die "invalid --timeout '$2' (whole seconds > 0)"
        timeout_s="$2"
        shift 2
        ;;
    --env)
        (($# >= 2)) || die "--env needs a variable name"
        [[ "$2" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || die "invalid variable name '$2'"
        extra_env+=("$2")
        shift 2
        ;;
    --host-tmp) tmp_mode=host; shift ;;
    --guest-tmp) tmp_mode=guest; shift ;;
    -h | --help) usage; exit 0 ;;
    --) shift; break ;;
    *) usage >&2; die "unexpected argument '$1' (put the command after --)" ;;
    esac
done
(($#)) || { usage >&2; die "no command given"; }
((${#ifaces[@]})) || ifaces=(can0)

# ---------------------------------------------------------------------------------------------
# Host tools

apt_updated=0
apt_update_once() {
    if ((apt_updated == 0)); then
        note "apt-get update"
        apt-get update -qq >&2 || die "apt-get update failed"
        apt_updated=1
    fi
}

busybox_is_static() {
    local out
    [[ -x /bin/busybox ]] || return 1
    out="$(LC_ALL=C ldd /bin/busybox 2>&1 || true)"
    [[ "$out" == *"not a dynamic executable"* ]]
}

ensure_host_tools() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
    busybox_is_static || missing+=(busybox-static)
    command -v flock >/dev/null || missing+=(util-linux)
    command -v timeout >/dev/null || missing+=(coreutils)
    ((${#missing[@]})) || return 0
    [[ $EUID -eq 0 ]] || die "missing ${missing[*]}; install them (apt-get install ${missing[*]})"
    echo "$PROG: installing ${missing[*]}" >&2
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >&2 || die "apt-get install ${missing[*]} failed"
    busybox_is_static || die "/bin/busybox is not the static build (busybox-static)"
}

# ---------------------------------------------------------------------------------------------
# Kernel, modules and initramfs, prepared once into the cache

# The guest's /init. Its hash names the initramfs, so a change here rebuilds it.
read -r -d '' GUEST_INIT <<'EOF' || true
#!/bin/sh
# PID 1 of the VM: load the modules, mount the host root, set up CAN, run the command.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
verbose=0
grep -qw 'wenlo.verbose=1' /proc/cmdline && verbose=1
say() { [ "$verbose" = 1 ] && echo "vm-init: $*"; return 0; }
fail() {
    echo "vm-init: error: $*"
    [ -d /ctl/. ] && echo "$*" >/ctl/setup-error
    sync
    poweroff -f
}
mount_9p() { # tag, mount point, extra options
    i=0
    while ! mount -t 9p -o "trans=virtio,version=9p2000.L,msize=524288$3" "$1" "$2" 2>/dev/null; do
        i=$((i + 1))
        [ $i -ge 50 ] && fail "cannot mount 9p share '$1' on $2"
        sleep 0.1
    done
}

for m in $(cat /lib/modules/load-order); do
    say "insmod $m"
    insmod "/lib/modules/$m.ko" || fail "insmod $m failed"
done

# The command's output has its own channel (hvc0, streamed to the caller's stdout); the
# kernel's console and these messages go to a log that the host shows only on failure.
i=0
while [ ! -c /dev/hvc0 ]; do
    i=$((i + 1))
    [ $i -ge 50 ] && fail "no virtio console /dev/hvc0"
    sleep 0.1
done
# Output reaches the host unchanged: no CR added before each LF.
exec 3<>/dev/hvc0
stty raw -echo -onlcr <&3 || echo "vm-init: warning: cannot set up /dev/hvc0"

mkdir -p /ctl /newroot
mount_9p wenloctl /ctl ""
. /ctl/options
mount_9p hostroot /newroot ",cache=$root_cache"

# Everything below is mounted on the guest side, over directories of the 9p share, so the
# host's own /proc, /sys, /dev and /dev/pts stay untouched. Directories are created only in
# guest file systems (devtmpfs, tmpfs), never through the share.
R=/newroot
for d in proc sys dev; do [ -d "$R/$d" ] || fail "host root has no /$d"; done
mount -t proc proc "$R/proc" || fail "mount proc"
mount -t sysfs sysfs "$R/sys" || fail "mount sysfs"
mount -t devtmpfs devtmpfs "$R/dev" || fail "mount devtmpfs"
mkdir -p "$R/dev/pts" "$R/dev/shm" "$R/dev/.wenlo-vm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$R/dev/pts" \
    || fail "mount devpts"
rm -f "$R/dev/ptmx" && ln -s pts/ptmx "$R/dev/ptmx"
mount -t tmpfs -o mode=1777 tmpfs "$R/dev/shm"
[ -d "$R/sys/fs/cgroup" ] && mount -t cgroup2 cgroup2 "$R/sys/fs/cgroup" 2>/dev/null
if [ "$guest_tmp" = 1 ]; then
    [ -d "$R/tmp" ] && mount -t tmpfs -o mode=1777 tmpfs "$R/tmp"
    if [ -d "$R/run" ]; then
        mount -t tmpfs -o mode=755 tmpfs "$R/run"
        mkdir -p -m 1777 "$R/run/lock"
        mkdir -p "$R/run/shm"
    fi
fi
mount --bind /ctl "$R/dev/.wenlo-vm" || fail "bind control folder"

ip link set lo up
for ifc in $(cat /ctl/ifaces); do
    say "vcan $ifc"
    ip link add dev "$ifc" type vcan || fail "cannot create vcan interface $ifc"
    ip link set up dev "$ifc" || fail "cannot set $ifc up"
done

say "running the command"
env -i "$(command -v chroot)" "$R" /bin/bash /dev/.wenlo-vm/run.sh </dev/null >&3 2>&3
echo "$?" >/ctl/rc
sync
# Let the console drain before the power goes.
exec 3>&-
sleep 0.1
poweroff -f
EOF

# Prints "NAME FILE" for the .ko of module NAME (dashes and underscores are interchangeable).
module_file() {
    local dir="$1" name="$2" alt
    alt="${name//-/_}"
    find "$dir" \( -name "$name.ko" -o -name "$alt.ko" -o -name "${name//_/-}.ko" \) \
        -print -quit
}

# Appends NAME and, first, its dependencies to load_order (a global array).
resolve_module() {
    local dir="$1" name="$2" file deps dep m
    for m in "${load_order[@]}"; do [[ "$m" == "$name" ]] && return 0; done
    file="$(module_file "$dir" "$name")"
    [[ -n "$file" ]] || die "kernel package has no module '$name' (compressed modules are not supported)"
    deps="$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | head -n1)"
    for dep in ${deps//,/ }; do resolve_module "$dir" "$dep"; done
    load_order+=("$name")
}

# Downloads the current generic Debian kernel and unpacks kernel and modules into the cache.
# Prints the kernel's release name.
fetch_kernel() {
    local pkg work deb modroot kver kdir m file
    if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then apt_update_once; fi
    pkg="$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9].*-amd64$/ { print $2; exit }')"
    if [[ -z "$pkg" ]]; then
        apt_update_once
        pkg="$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9].*-amd64$/ { print $2; exit }')"
    fi
    [[ -n "$pkg" ]] || die "cannot find the kernel package that linux-image-amd64 depends on"
    echo "$PROG: fetching $pkg into $CACHE_DIR (once)" >&2

    work="$(mktemp -d "$CACHE_DIR/.fetch.XXXXXX")"
    # shellcheck disable=SC2064 # expand now: the variable is local
    trap "rm -rf '$work'; trap - RETURN" RETURN
    chmod 755 "$work"
    if ! (cd "$work" && apt-get download -qq "$pkg" >&2 2>/dev/null); then
        apt_update_once
        (cd "$work" && apt-get download -qq "$pkg" >&2) || die "apt-get download $pkg failed"
    fi
    deb="$(find "$work" -maxdepth 1 -name '*.deb' -print -quit)"
    [[ -n "$deb" ]] || die "apt-get download $pkg left no .deb"
    dpkg -x "$deb" "$work/x" || die "dpkg -x $deb failed"
    modroot="$(find "$work/x/lib/modules" -mindepth 1 -maxdepth 1 -type d -print -quit)"
    [[ -n "$modroot" ]] || die "$pkg has no lib/modules"
    kver="$(basename "$modroot")"
    [[ -f "$work/x/boot/vmlinuz-$kver" ]] || die "$pkg has no boot/vmlinuz-$kver"

    load_order=()
    for m in "${ROOT_MODULES[@]}"; do resolve_module "$modroot" "$m"; done

    kdir="$CACHE_DIR/kernel-$kver"
    rm -rf "$kdir.new"
    mkdir -p "$kdir.new/modules"
    cp "$work/x/boot/vmlinuz-$kver" "$kdir.new/vmlinuz"
    for m in "${load_order[@]}"; do
        file="$(module_file "$modroot" "$m")"
        cp "$file" "$kdir.new/modules/$m.ko"
    done
    printf '%s\n' "${load_order[@]}" >"$kdir.new/modules/load-order"
    echo "$pkg" >"$kdir.new/package"
    echo "${ROOT_MODULES[*]}" >"$kdir.new/root-modules"
    rm -rf "$kdir"
    mv "$kdir.new" "$kdir"
    echo "$kver" >"$CACHE_DIR/current.new" && mv "$CACHE_DIR/current.new" "$CACHE_DIR/current"
    echo "$kver"
}

# Builds the initramfs (busybox, the modules, /init) for kernel directory $1 unless cached.
build_initramfs() {
    local kdir="$1" out="$2" stage app
    [[ -s "$out" ]] && return 0
    note "building $out"
    stage="$(mktemp -d "$CACHE_DIR/.initramfs.XXXXXX")"
    # shellcheck disable=SC2064
    trap "rm -rf '$stage'; trap - RETURN" RETURN
    mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,lib/modules}
    cp /bin/busybox "$stage/bin/busybox"
    while read -r app; do
        [[ "$app" == bin/busybox || -e "$stage/$app" ]] && continue
        ln -s /bin/busybox "$stage/$app"
    done < <(/bin/busybox --list-full)
    cp "$kdir"/modules/* "$stage/lib/modules/"
    printf '%s\n' "$GUEST_INIT" >"$stage/init"
    chmod 755 "$stage/init"
    (cd "$stage" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out.new" ||
        die "cannot build the initramfs"
    mv "$out.new" "$out"
}

prepare_cache() {
    local kver=""
    mkdir -p "$CACHE_DIR" || die "cannot create the cache folder $CACHE_DIR"
    exec 9>"$CACHE_DIR/.lock"
    flock 9 || die "cannot lock $CACHE_DIR/.lock"
    [[ -f "$CACHE_DIR/current" ]] && kver="$(<"$CACHE_DIR/current")"
    # A changed module list needs a fresh unpack: only the needed modules are kept.
    if [[ -z "$kver" || ! -s "$CACHE_DIR/kernel-$kver/vmlinuz" ||
        "$(cat "$CACHE_DIR/kernel-$kver/root-modules" 2>/dev/null)" != "${ROOT_MODULES[*]}" ]]; then
        kver="$(fetch_kernel)"
    fi
    KERNEL="$CACHE_DIR/kernel-$kver/vmlinuz"
    local hash
    hash="$( (printf '%s' "$GUEST_INIT"; cat "$CACHE_DIR/kernel-$kver/modules/load-order") |
        sha256sum | cut -c1-16)"
    INITRD="$CACHE_DIR/kernel-$kver/initramfs-$hash.cpio.gz"
    build_initramfs "$CACHE_DIR/kernel-$kver" "$INITRD"
    exec 9>&-
}

# ---------------------------------------------------------------------------------------------
# The command's side of the VM: a script the guest runs in the chroot

# Whether COMMAND refers to the host's /tmp or /run, so hiding them would break it.
needs_host_tmp() {
    local p
    for p in "$PWD" "$@"; do
        case "$p" in /tmp | /tmp/* | /run | /run/*) return 0 ;; esac
    done
    return 1
}

write_control() {
    local ctl="$1" name
    shift
    {
        echo "# written by $PROG: the command's environment, folder and argv"
        local names=(PATH HOME USER LOGNAME LANG TZ "${extra_env[@]}")
        while read -r name; do names+=("$name"); done < <(compgen -e | grep -E '^(WENLO_|GTEST_|LC_)' || true)
        for name in "${names[@]}"; do
            [[ "$name" == LD_PRELOAD ]] && continue
            [[ -v "$name" ]] && printf 'export %s=%q\n' "$name" "${!name}"
        done
        echo "unset LD_PRELOAD"
        printf 'cd -- %q || { echo "%s: cannot enter %q in the VM" >&2; exit 125; }\n' \
            "$PWD" "$PROG" "$PWD"
        printf 'exec'
        printf ' %q' "$@"
        printf '\n'
    } >"$ctl/run.sh"
    printf '%s\n' "${ifaces[@]}" >"$ctl/ifaces"
    local guest_tmp=1
    case "$tmp_mode" in
    host) guest_tmp=0 ;;
    auto) if needs_host_tmp "$@"; then guest_tmp=0; fi ;;
    esac
    local root_cache="${WENLO_VM_9P_CACHE:-loose}"
    [[ "$root_cache" =~ ^(none|loose|mmap|fscache)$ ]] || die "invalid WENLO_VM_9P_CACHE '$root_cache'"
    printf 'guest_tmp=%s\nroot_cache=%s\n' "$guest_tmp" "$root_cache" >"$ctl/options"
}

# ---------------------------------------------------------------------------------------------
# Boot

ensure_host_tools
prepare_cache

ctl="$(mktemp -d "${TMPDIR:-/tmp}/wenlo-vm.XXXXXX")"
qemu_pid=""
cleanup() {
    if [[ -n "$qemu_pid" ]] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill -TERM "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$ctl"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
write_control "$ctl" "$@"

append="console=ttyS0 panic=-1 rdinit=/init"
if [[ "${WENLO_VM_VERBOSE:-0}" == 1 ]]; then
    append+=" loglevel=7 wenlo.verbose=1"
else
    append+=" quiet loglevel=3"
fi

qemu=(qemu-system-x86_64 -accel tcg -cpu max -m "$VM_MEMORY" -smp "$VM_CPUS"
    -nodefaults -no-user-config -display none -vga none -monitor none -no-reboot -nic none
    -serial "file:$ctl/console.log"
    -device virtio-serial-pci,id=vser -chardev stdio,id=out,signal=off
    -device virtconsole,chardev=out,bus=vser.0
    -kernel "$KERNEL" -initrd "$INITRD" -append "$append"
    -virtfs "local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap"
    -virtfs "local,path=$ctl,mount_tag=wenloctl,security_model=passthrough")
note "${qemu[*]}"

# timeout runs qemu in its own process group; the traps above stop it on ^C or TERM.
timeout -k 10 "$timeout_s" "${qemu[@]}" </dev/null &
qemu_pid=$!
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=""

if ((qemu_rc == 124)); then
    echo "$PROG: error: time-out: the VM ran longer than ${timeout_s}s and was stopped" >&2
    exit 124
fi
show_console_log() {
    if [[ -s "$ctl/console.log" ]]; then
        echo "$PROG: the VM's console said:" >&2
        tail -n 40 "$ctl/console.log" | sed 's/^/    /' >&2
    fi
}
if [[ "${WENLO_VM_VERBOSE:-0}" == 1 ]]; then show_console_log; fi
if [[ -f "$ctl/setup-error" ]]; then
    [[ "${WENLO_VM_VERBOSE:-0}" == 1 ]] || show_console_log
    die "the VM could not be set up: $(<"$ctl/setup-error")"
fi
if [[ ! -f "$ctl/rc" ]]; then
    [[ "${WENLO_VM_VERBOSE:-0}" == 1 ]] || show_console_log
    die "the VM stopped without reporting the command's exit status (qemu exit status $qemu_rc)"
fi
rc="$(<"$ctl/rc")"
[[ "$rc" =~ ^[0-9]+$ ]] || die "the VM reported an unreadable exit status '$rc'"
exit "$rc"
