#!/usr/bin/env bash
# The package on a whole Debian machine under qemu: the release's own kernel and systemd as PID 1
# on the unified cgroup hierarchy, the package installed with apt, and cl.exe burners in a system
# service that stands for a CI agent, which the service must lower (bench/effect/guest.sh checks,
# in its test mode).
# usage: debian_machine_test.sh SOURCE_DIR
#   the machine's system is $OSTREVANE_MACHINE_ROOTFS or SOURCE_DIR/build/rootfs-machine, made
#   where it is missing, as are the package and the kernel.
set -u
source_dir=$1
. "$(dirname "$0")/../checks.sh"
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
if ! "$source_dir/bench/effect/boot.sh" test "$out"; then
    fail "the machine did not boot and power off"
    # What the kernel and systemd said, for whoever reads the test's log.
    tail -n 60 "$out/console" 2>/dev/null | tr -d '\r' | sed 's/^/console: /'
fi
results=$out/results.txt
if [ -f "$results" ]; then
    grep -E '^(release|kernel|systemd|hierarchy|line|agent) ' "$results" | sed 's/^/note: /'
    grep -E '^(ok|FAIL) - ' "$results" | sed 's/^\(ok\|FAIL\) - /\1: /'
    failures=$((failures + $(grep -c '^FAIL - ' "$results")))
    grep -E '^(failed|journal) ' "$results"
fi
expect "on the unified cgroup hierarchy" "$(sed -n 's/^hierarchy //p' "$results" 2>/dev/null)" cgroup2fs
expect "the system is up, nothing failed" "$(sed -n 's/^state //p' "$results" 2>/dev/null)" running
expect "the guest checked everything" "$(grep -c -x done "$results" 2>/dev/null)" 1
finish
