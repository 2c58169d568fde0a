#!/usr/bin/env bash
# The Linux layer on a real kernel with more than 64 processors: a virtual machine of 80, under
# qemu's software emulation, whose only program is INIT (run as /init and, copied, as /cl.exe).
# usage: many_cpus_test.sh INIT KERNEL_DIR
#   KERNEL_DIR holds a Debian kernel (scripts/get-kernel makes it where it is missing).
set -u
init=$1 kernels=$2
here=$(cd "$(dirname "$0")" && pwd)
"$here/../../scripts/get-kernel" "$kernels" || { echo "FAIL: no kernel"; exit 1; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/proc" "$work/root/sys" "$work/root/dev"
cp "$init" "$work/root/init"
cp "$init" "$work/root/cl.exe"
(cd "$work/root" && find . | cpio --quiet -o -H newc >"$work/initrd.cpio") ||
    { echo "FAIL: no initramfs"; exit 1; }
# One emulation thread is faster than one per processor on a small host; the kernel's arguments
# spare it the per-processor calibrations that emulation makes slow.
timeout 600 qemu-system-x86_64 -accel tcg,thread=single -smp 80 -m 1024 -nographic -no-reboot \
    -kernel "$kernels/vmlinuz" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 panic=-1 quiet tsc=reliable lpj=4000000 mitigations=off no_timer_check" \
    </dev/null >"$work/console" 2>&1
status=$?
tr -d '\r' <"$work/console" | grep -E '^(ok|FAIL|processors online|all checks passed|some checks failed)'
[ "$status" -eq 0 ] || echo "FAIL: qemu ended with status $status"
grep -q '^all checks passed' <(tr -d '\r' <"$work/console") || { echo "FAIL: the checks did not all pass"; exit 1; }
