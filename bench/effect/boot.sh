#!/usr/bin/env bash
# Boots a whole Debian machine under qemu (software emulation, 2 processors): the release's own
# kernel, and its systemd as PID 1 on the unified cgroup hierarchy with the distribution's default
# units. Its root is an initramfs that the kernel unpacks into memory and systemd runs from, so
# that the kernel needs no module to reach a disk. guest.sh, started at boot, installs the package
# built from this tree with apt and says what it finds; its lines land in OUT/results, the console
# in OUT/console.
# usage: boot.sh bench|test OUT
#   builds the package (scripts/build-deb) and the machine's system (scripts/make-rootfs --machine,
#   into $OSTREVANE_MACHINE_ROOTFS or build/rootfs-machine) and fetches the kernel
#   (scripts/get-kernel, into build/kernel) where they are missing. OSTREVANE_KERNEL_ARGS adds to
#   the kernel's command line (systemd.journald.forward_to_console=1 shows the journal, say).
set -euo pipefail
# The second archive's folders replace the modes of the system's own (/etc, /opt) as the kernel
# unpacks it: a caller's umask of 077 would leave /etc unreadable to every user of the guest.
umask 022
mode=$1 out=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
rootfs=${OSTREVANE_MACHINE_ROOTFS:-$source_dir/build/rootfs-machine}
kernels=$source_dir/build/kernel
mkdir -p "$out"
deb=$("$source_dir/scripts/build-deb")
burner=$(dirname "$deb")/tools/burner
"$source_dir/scripts/make-rootfs" --machine --reuse "$rootfs"
"$source_dir/scripts/get-kernel" "$kernels"

# The system's archive is made once per system; what the benchmark adds goes in a second archive,
# which the kernel unpacks over the first.
# Named for the system it was made from, so that another OSTREVANE_MACHINE_ROOTFS is not booted
# from this one's archive.
system=$source_dir/build/machine-$(printf '%s' "$rootfs" | md5sum | cut -c1-12).cpio
stage=$(mktemp -d)
qemu=
cleanup() {
    if [ -n "$qemu" ]; then
        kill "$qemu" 2>/dev/null || true
        wait "$qemu" 2>/dev/null || true
    fi
    rm -rf "$stage" "$stage.cpio" "$system.partial" "$out/initrd"
}
trap cleanup EXIT
if [ ! -f "$system" ] || [ "$rootfs" -nt "$system" ]; then
    (cd "$rootfs" && find . | cpio --quiet -o -H newc >"$system.partial")
    mv "$system.partial" "$system"
fi
mkdir -p "$stage/opt/effect" "$stage/etc/systemd/system/multi-user.target.wants"
cp "$deb" "$stage/opt/effect/ostrevane.deb"
cp "$burner" "$stage/opt/effect/cl.exe"
cp "$here/guest.sh" "$here/serve.sh" "$stage/opt/effect/"
cat >"$stage/etc/systemd/system/effect.service" <<'UNIT'
[Unit]
Description=The effect benchmark's driver
[Service]
ExecStart=/opt/effect/guest.sh
StandardOutput=file:/dev/ttyS1
StandardError=file:/dev/ttyS1
UNIT
ln -s ../effect.service "$stage/etc/systemd/system/multi-user.target.wants/effect.service"
(cd "$stage" && find . -mindepth 1 | cpio --quiet -o -H newc -R 0:0 >"$stage.cpio")
cat "$system" "$stage.cpio" >"$out/initrd"
rm -f "$stage.cpio"

# Without an /init, the kernel is told which program of the initramfs to start; the other
# arguments spare the emulated processors the calibrations that emulation makes slow.
limit=600
[ "$mode" = bench ] && limit=3000
timeout "$limit" qemu-system-x86_64 -accel tcg -smp 2 -m 2048 -display none -monitor none \
    -no-reboot -nic none -kernel "$kernels/vmlinuz" -initrd "$out/initrd" \
    -append "console=ttyS0 rdinit=/sbin/init panic=-1 quiet tsc=reliable lpj=4000000 mitigations=off no_timer_check ostrevane.effect=$mode ${OSTREVANE_KERNEL_ARGS:-}" \
    -serial "file:$out/console" -serial "file:$out/results" </dev/null &
qemu=$!
status=0
wait "$qemu" || status=$?
qemu=
rm -f "$out/initrd"
tr -d '\r' <"$out/results" >"$out/results.txt"
[ "$status" -eq 0 ] || { echo "boot.sh: qemu ended with status $status" >&2; exit 1; }
