#!/usr/bin/env bash
# The 32-bit exe's lives under Wine where they cannot run natively here: in a virtual machine,
# under qemu's software emulation, whose kernel does. The guest runs the same Wine test script as
# a machine that runs 32-bit code would, by hand and under the SCM, and prints its lines on the
# serial console; each is passed on here. Skipped (77) where the native runs cover the exe
# (scripts/wine32-here); the guest asks the same script, and runs them natively itself.
# usage: vm32_test.sh SOURCE_DIR EXE HELPERS_DIR KERNEL_DIR ROOTFS WORK_DIR
#   KERNEL_DIR holds a Debian kernel (scripts/get-kernel) and ROOTFS the guest's Debian system
#   (scripts/make-rootfs --wine32); either is made where it is missing. The image is made in a
#   folder under WORK_DIR, removed afterwards.
set -u
source_dir=$1 exe=$2 helpers=$3 kernels=$4 rootfs=$5 work_dir=$6
. "$source_dir/tests/checks.sh"
if "$source_dir/scripts/wine32-here" >/dev/null; then
    echo "SKIP: the 32-bit exe's lives run natively here (scripts/wine32-here)"
    exit 77
fi
"$source_dir/scripts/get-kernel" "$kernels" || { fail "no kernel"; finish; }
"$source_dir/scripts/make-rootfs" --wine32 --reuse "$rootfs" || { fail "the guest's system was not made"; finish; }
mkdir -p "$work_dir"
work=$(mktemp -d -p "$work_dir") || exit 1
qemu=
cleanup() {
    [ -z "$qemu" ] || kill "$qemu" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# What the guest adds to its system: the script and its checks where the source tree has them,
# the exe and its helpers, and an init that runs both lives, saying where it is, then ends, which
# powers the machine off (panic=-1 with -no-reboot).
extra=$work/extra
mkdir -p "$extra/test/tests/windows" "$extra/test/scripts" "$extra/test/helpers"
cp "$source_dir/tests/checks.sh" "$extra/test/tests/"
cp "$source_dir/tests/windows/wine_test.sh" "$source_dir/tests/windows/wine_prefix.sh" \
    "$extra/test/tests/windows/"
cp "$source_dir/scripts/runs-32bit-code" "$source_dir/scripts/wine32-here" "$extra/test/scripts/"
cp "$exe" "$extra/test/ostrevane.exe"
cp "$helpers"/launcher.exe "$helpers"/probe.exe "$helpers"/standin.exe "$helpers"/standin64.exe \
    "$helpers"/pdh.dll "$extra/test/helpers/"
cat >"$extra/init" <<'EOF'
#!/bin/bash
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# The firmware leaves control sequences at the start of the console's first line.
echo
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
# A Wine prefix takes 1.3 GB; the initramfs's own file system has room for the system only.
mount -t tmpfs -o size=3g tmpfs /tmp
for mode in by-hand scm; do
    echo "== $mode, at $(cut -d' ' -f1 /proc/uptime) s"
    bash /test/tests/windows/wine_test.sh "$mode" i686 /test/ostrevane.exe /test/helpers /dev/null
    echo "== $mode exited with $?"
done
EOF
chmod +x "$extra/init"
# The kernel unpacks one archive after the other into its initial file system.
{
    (cd "$rootfs" && find . -print0 | cpio --null --quiet -o -H newc) &&
        (cd "$extra" && find . -print0 | cpio --null --quiet -o -H newc)
} >"$work/initrd.cpio" || { fail "no image"; finish; }

# The default processor model: with -cpu max, 32-bit code was seen to oops the guest's kernel.
bound=600
qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 6144 -nographic -no-reboot \
    -kernel "$kernels/vmlinuz" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 panic=-1 quiet rdinit=/init tsc=reliable lpj=4000000 mitigations=off no_timer_check" \
    </dev/null >"$work/console" 2>&1 &
qemu=$!
for _ in $(seq "$bound"); do kill -0 "$qemu" 2>/dev/null || break; sleep 1; done
if kill -0 "$qemu" 2>/dev/null; then
    kill "$qemu"
    last=$(tr -d '\r' <"$work/console" | grep -E '^(== |ok: |FAIL: )' | tail -n 1)
    fail "the guest was still running after $bound s, and was stopped; its last line: ${last:-none}"
fi
wait "$qemu"
qemu=
tr -d '\r' <"$work/console" | grep -E '^(== |ok: |FAIL: |note: |  \| |all checks passed|[0-9]+ failed)'
for mode in by-hand scm; do
    expect "the $mode life in the guest" \
        "$(tr -d '\r' <"$work/console" | sed -n "s/^== $mode exited with //p")" 0
done
finish
