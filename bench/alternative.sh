#!/usr/bin/env bash
# The job as a Linux user would otherwise script it, with pgrep, renice and taskset, measured
# beside the service.
#   alternative.sh idle N   N samples of the total processor load from /proc/stat
#   alternative.sh busy     one pass: find every cl.exe process and calm it, on every thread
set -u
sample() {
    read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
    total=$((user + nice + system + idle + iowait + irq + softirq + steal))
    busy=$((total - idle - iowait))
    if [ -n "${last_total:-}" ] && [ "$total" -gt "$last_total" ]; then
        load=$(((busy - last_busy) * 100 / (total - last_total)))
    else
        load=0
    fi
    last_total=$total last_busy=$busy
}
if [ "$1" = idle ]; then
    for _ in $(seq "$2"); do sample; done
    exit 0
fi
all=$(printf '%x' "$(( (1 << $(nproc)) - 1 ))")
for pid in $(pgrep '^cl\.exe'); do
    for task in /proc/"$pid"/task/*; do
        tid=${task##*/}
        [ "$(cut -d' ' -f19 "$task/stat")" = 10 ] || renice -n 10 -p "$tid" >/dev/null
    done
    [ "$(taskset -p "$pid" | sed 's/.*: //')" = "$all" ] || taskset -a -p "$all" "$pid" >/dev/null
done
