#!/bin/bash
# Does what the benchmark's driver asks, from where this shell was started: a login session, a
# service's cgroup, or (with a second argument) a child cgroup that it makes in its own delegated
# cgroup, as a container runtime does. Each command is answered with one line.
# usage: serve.sh FIFO_PREFIX [CHILD]
#   FIFO_PREFIX.in: "burn N" starts N cl.exe burners of two threads and answers their PIDs;
#   "task N" counts to N and answers the start and end times; "stop" ends the burners.
set -u
if [ -n "${2:-}" ]; then
    # A cgroup with processes of its own can enable no controller for its children: the shell
    # moves to a leaf first.
    own=/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)
    mkdir -p "$own/$2"
    echo $$ >"$own/$2/cgroup.procs"
    echo +cpu >"$own/cgroup.subtree_control"
fi
exec {in}<>"$1.in" {out}<>"$1.out"
burners=()
while read -r -u "$in" command count; do
    case $command in
    burn)
        for ((n = 0; n < count; n++)); do
            /opt/effect/cl.exe --threads 2 &
            burners+=($!)
        done
        echo "${burners[*]}" >&"$out"
        ;;
    task)
        start=$EPOCHREALTIME
        for ((n = 0; n < count; n++)); do :; done
        echo "$start $EPOCHREALTIME $$" >&"$out"
        ;;
    stop)
        kill "${burners[@]}" 2>/dev/null
        wait
        burners=()
        echo stopped >&"$out"
        ;;
    *) echo "unknown $command" >&"$out" ;;
    esac
done
