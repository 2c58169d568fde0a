#!/usr/bin/env bash
# Prints the effect benchmark's section of docs/benchmarks.md from what the guest said.
# usage: table.sh RESULTS
set -euo pipefail
results=$1
value() { sed -n "s/^$1 //p" "$results" | head -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0) printf "%.2f×", a / b; else print a }'; }
echo "## Where compilers sit, on a whole Debian machine"
echo
echo "Made by \`bench/run effect\` on $(date -u +%Y-%m-%d): $(value release), its own kernel $(value kernel) and $(value systemd) as PID 1 on the unified cgroup hierarchy ($(value hierarchy)), with the distribution's default units and the package installed with apt, under qemu's software emulation (TCG) with $(value processors) processors and 2 GiB. $(value processors) cl.exe burners of two threads each saturate every processor; the foreground task is a single-threaded count of $(value task) in bash, about 1.5 s on the idle guest. Logins are \`su -l builder\` from a system service, each a logind session through PAM. The CI agent is a system service of its own user; the container is a unit with \`Delegate=yes\` whose payload runs in a child cgroup with the CPU controller on, a stand-in for a container runtime's layout (no Docker or Podman was run); it is started for its row and stays, so the rows after it have it beside the agent. In the last row the agent's unit keeps the \`CPUWeight=10\` of the rows before it, in \`build.slice\`, a slice of its own beside \`user.slice\` and \`system.slice\` (a drop-in with \`Slice=build.slice\`), whose weight is lowered to 10. The rows with more than one foreground task run that many counts at once, each wanting a processor. A task group is the nearest cgroup, from the task's own up, with the CPU controller (a \`cpu.weight\` file), or the root's, where the task's autogroup is the group while autogroups are on. The foreground task's time is given as a multiple of the time it ran on a processor (from \`/proc/PID/schedstat\`): what the guest's scheduler gave it, whatever the host, whose 2 processors other work shares, gave the emulated ones meanwhile; in brackets, as a multiple of its idle time in the same placement, which a busy host inflates, since both emulated processors then compete for it. Medians of 3 runs; \"with the service\" is timed once the service's journal says it lowered every burner."
echo
echo "| | placement | autogroups | compilers' cgroup | their task group | foreground's cgroup | its task group | idle | without the service | with the service |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"
cell() { # cell SECONDS MULTIPLE IDLE: "MULTIPLE× (SECONDS/IDLE×)"
    awk -v s="$1" -v m="$2" -v i="$3" 'BEGIN { if (s + 0 > 0) printf "%.2f× (%.2f×)", m, s / i; else print "not calmed" }'
}
row=0
while IFS='|' read -r _ label autogroup ccg ctg fcg ftg idle idle_m without without_m with with_m; do
    row=$((row + 1))
    [ "$autogroup" = 1 ] && autogroup=on || autogroup=off
    echo "| $row | $label | $autogroup | \`$ccg\` | $ctg | \`$fcg\` | $ftg | $(printf '%.2f s (%.2f×)' "$idle" "$idle_m") | $(cell "$without" "$without_m" "$idle") | $(cell "$with" "$with_m" "$idle") |"
done < <(grep '^row|' "$results")
echo
echo "The service's line on a CPU cgroup other than the root that it lowered a compiler in, from its journal in each row (\"none\" where it said none):"
echo
row=0
while IFS='|' read -r _ _ line; do
    row=$((row + 1))
    echo "$row. $line"
done < <(grep '^line|' "$results")
