#!/bin/bash
# Does what the benchmark's driver asks, from where this shell was started: a login session, a
# service's cgroup, or (with a second argument) a child cgroup that it makes in its own delegated
# cgroup, as a container runtime does. Each command is answered with one line.
# usage: serve.sh FIFO_PREFIX [CHILD]
#   FIFO_PREFIX.in: "burn N" starts N cl.exe burners of two threads and answers their PIDs;
#   "task N" counts to N and answers the seconds it took and the nanoseconds it ran on a processor
#   (schedstat), and its PID; "tasks N K" does it K times at once, one line for each, in one answer
#   line separated by commas; "stop" ends the burners.
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
        read -r ran _ </proc/$$/schedstat
        start=$EPOCHREALTIME
        for ((n = 0; n < count; n++)); do :; done
        end=$EPOCHREALTIME
        read -r ran_end _ </proc/$$/schedstat
        echo "$start $end $((ran_end - ran)) $$" >&"$out"
        ;;
    tasks)
        read -r count k <<<"$count"
        answers=$(mktemp -d)
        tasks=()
        for ((j = 0; j < k; j++)); do
            (
                read -r ran _ </proc/$BASHPID/schedstat
                start=$EPOCHREALTIME
                for ((n = 0; n < count; n++)); do :; done
                end=$EPOCHREALTIME
                read -r ran_end _ </proc/$BASHPID/schedstat
                echo "$start $end $((ran_end - ran)) $BASHPID" >"$answers/$j"
            ) &
            tasks+=($!)
        done
        wait "${tasks[@]}"
        cat "$answers"/* | paste -sd, >&"$out"
        rm -rf "$answers"
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
