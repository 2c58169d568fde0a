#!/bin/bash
# The guest's side of the effect benchmark, started at boot by effect.service: installs the package
# with apt, places cl.exe burners and a foreground task where build machines put them, and says
# what it finds on the second serial port, one line each; then powers the machine off.
#   ostrevane.effect=bench on the kernel's command line: every placement, timed;
#   ostrevane.effect=test: the CI agent's placement alone, its facts checked, nothing timed.
set -u
mode=$(sed -n 's/.*ostrevane\.effect=\([a-z]*\).*/\1/p' /proc/cmdline)
trap 'systemctl poweroff --no-block' EXIT
say() { echo "$*"; }
ok() { # ok WHAT ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then say "ok - $1"; else say "FAIL - $1: '$2', expected '$3'"; fi
}
state=$(timeout 60 systemctl is-system-running --wait)
. /etc/os-release
say "release $PRETTY_NAME"
say "kernel $(uname -r)"
say "systemd $(systemctl --version | head -n 1)"
say "hierarchy $(stat -f -c %T /sys/fs/cgroup)"
say "state $state"
if [ "$state" != running ]; then
    # What kept the boot from finishing, for whoever reads the results.
    systemctl --failed --no-legend --plain | sed 's/^/failed /'
    journalctl -b -p warning -o short-monotonic --no-pager | tail -n 40 | sed 's/^/journal /'
fi
say "processors $(nproc)"

apt-get install -y -q /opt/effect/ostrevane.deb >/run/apt.log 2>&1
installed=$?
ok "apt installs the package" "$installed" 0
[ "$installed" -eq 0 ] || tail -n 20 /run/apt.log | sed 's/^/failed apt: /' 
ok "the service is active once apt returns" "$(systemctl is-active ostrevane)" active
useradd -m builder
useradd -m agent
# Not a sticky folder that anyone may write: there, fs.protected_fifos keeps root from opening
# another user's FIFO.
mkdir -p -m 0755 /run/effect

# A place is a serve.sh answering on /run/effect/NAME.{in,out}.
open_place() { # open_place NAME OWNER: makes its FIFOs
    rm -f "/run/effect/$1.in" "/run/effect/$1.out"
    mkfifo -m 0600 "/run/effect/$1.in" "/run/effect/$1.out"
    chown "$2" "/run/effect/$1.in" "/run/effect/$1.out"
}
login_session() { # login_session NAME: a login of builder through PAM, as su -l makes one
    open_place "$1" builder
    setsid su -l builder -c "exec /opt/effect/serve.sh /run/effect/$1" </dev/null >/dev/null 2>&1 &
}
ask() { # ask NAME COMMAND [N]: the place's answer
    local in out answer
    exec {in}<>"/run/effect/$1.in" {out}<>"/run/effect/$1.out"
    echo "${*:2}" >&"$in"
    read -r -t 600 -u "$out" answer
    exec {in}>&- {out}>&-
    echo "$answer"
}
cat >/etc/systemd/system/agent.service <<'UNIT'
[Unit]
Description=A CI agent's stand-in, whose jobs run its compilers
[Service]
User=agent
ExecStart=/opt/effect/serve.sh /run/effect/agent
UNIT
cat >/etc/systemd/system/container.service <<'UNIT'
[Unit]
Description=A container's stand-in: a delegated cgroup whose payload runs in a child cgroup
[Service]
Delegate=yes
ExecStart=/opt/effect/serve.sh /run/effect/container payload
UNIT
systemctl daemon-reload
open_place agent agent
open_place container root
# The container starts with its placement: a delegated unit turns the CPU controller on for its
# siblings, the agent among them.
systemctl start agent
login_session one
login_session two
sleep 2
say "sessions $(loginctl list-sessions --no-legend | awk '{print $1 ":" $3 ":" $4}' | paste -sd' ')"

cgroup_of() { sed -n 's/^0:://p' "/proc/$1/cgroup"; }
# The task group that the scheduler ranks a task's nice value in: the nearest cgroup, from the
# task's own up, that has the CPU controller (cpu.weight), or else the root's, where the task's
# autogroup is the group while autogroups are on.
task_group() { # task_group PID
    local path
    path=$(cgroup_of "$1")
    while [ "$path" != / ] && [ ! -e "/sys/fs/cgroup$path/cpu.weight" ]; do
        path=$(dirname "$path")
    done
    if [ "$path" != / ]; then
        echo "$path (cpu.weight $(cat "/sys/fs/cgroup$path/cpu.weight"))"
    elif [ "$(cat /proc/sys/kernel/sched_autogroup_enabled)" = 1 ]; then
        echo "root, $(cut -d' ' -f1 "/proc/$1/autogroup" | sed 's|^/||')"
    else
        echo "root"
    fi
}
all_nice() { # all_nice NICE PID...: whether every thread of every PID has that nice value
    local pid task
    [ $# -gt 1 ] || return 1
    for pid in "${@:2}"; do
        for task in /proc/"$pid"/task/*; do
            [ "$(cut -d')' -f2 "$task/stat" | cut -d' ' -f18)" = "$1" ] || return 1
        done
    done
}
calmed() { # calmed SINCE PID...: the journal says each PID was lowered since then
    local pid
    for pid in "${@:2}"; do
        journalctl -u ostrevane -o cat --since "@$1" |
            grep -q "set priority class of 'cl.exe' (PID $pid) to below normal" || return 1
    done
}
elapsed() { awk '{ printf "%.3f", $2 - $1 }' <<<"$1"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The foreground task's time, and that time as a multiple of the time it ran on a processor: what
# the guest's scheduler gave it, whatever the host gave the emulated processors meanwhile.
timed() { # timed PLACE: "SECONDS MULTIPLE", the medians of three runs
    local answers
    answers=$(for _ in 1 2 3; do ask "$1" task "$count"; done)
    echo "$(awk '{ print $2 - $1 }' <<<"$answers" | median) $(awk '{ print ($2 - $1) * 1e9 / $3 }' <<<"$answers" | median)"
}
# The same for a foreground of K tasks at once, which wants every processor: the multiple is the
# median over the tasks and runs.
timed_wide() { # timed_wide PLACE K
    local answers
    answers=$(for _ in 1 2 3; do ask "$1" tasks "$count" "$2" | tr , '\n'; done)
    echo "$(awk '{ print $2 - $1 }' <<<"$answers" | median) $(awk '{ print ($2 - $1) * 1e9 / $3 }' <<<"$answers" | median)"
}

# The foreground task counts to a number that takes about 1.5 s on the idle guest.
probe=$(elapsed "$(ask two task 50000)")
count=$(awk -v t="$probe" 'BEGIN { printf "%d", 50000 * 1.5 / t }')
say "task $count"

# Where the service can lower the compilers in one pass: its journal tells.
calm() { # calm PID...: starts the service and waits until it lowered them
    local since
    [ $# -gt 0 ] || return 1
    since=$(date +%s)
    systemctl start ostrevane
    for _ in $(seq 120); do calmed "$since" "$@" && all_nice 10 "$@" && return 0; sleep 0.5; done
    return 1
}
# The service's line on a CPU cgroup other than the root that it lowered a compiler in.
reach_line() { # reach_line SINCE: the first such line since then, or "none"
    journalctl -u ostrevane -o cat --since "@$1" | grep -m 1 '^task group: ' || echo none
}

placement() { # placement LABEL COMPILERS FOREGROUND [WIDTH]: WIDTH tasks of the foreground at once
    local label=$1 compilers=$2 foreground=$3 width=${4:-1} idle pids without with since fg
    measure() { if [ "$width" = 1 ]; then timed "$foreground"; else timed_wide "$foreground" "$width"; fi; }
    systemctl stop ostrevane
    idle=$(measure)
    read -r -a pids <<<"$(ask "$compilers" burn "$(nproc)")"
    sleep 2
    without=$(measure)
    since=$(date +%s)
    if calm "${pids[@]}"; then
        with=$(measure)
    else
        with="not-calmed not-calmed"
    fi
    fg=$(ask "$foreground" task 1 | cut -d' ' -f4)
    say "row|$label|$(cat /proc/sys/kernel/sched_autogroup_enabled)|$(cgroup_of "${pids[0]}")|$(task_group "${pids[0]}")|$(cgroup_of "$fg")|$(task_group "$fg")|${idle// /|}|${without// /|}|${with// /|}"
    say "line|$label|$(reach_line "$since")"
    ask "$compilers" stop >/dev/null
}

if [ "$mode" = test ]; then
    since=$(date +%s)
    read -r -a pids <<<"$(ask agent burn "$(nproc)")"
    calm "${pids[@]}"
    ok "the agent's compilers are lowered, as its journal says" "$?" 0
    ok "the service is active" "$(systemctl is-active ostrevane)" active
    ok "every thread of the agent's compilers at nice 10" "$(all_nice 10 "${pids[@]}" && echo yes)" yes
    ok "the compilers in the agent's cgroup" "$(cgroup_of "${pids[0]:-none}")" /system.slice/agent.service
    # A compiler that joins the agent's cgroup later is lowered in a pass of its own, which must
    # not say it again.
    read -r -a all <<<"$(ask agent burn 1)"
    late=${all[-1]:-none}
    for _ in $(seq 60); do calmed "$since" "$late" && all_nice 10 "$late" && break; sleep 0.5; done
    ok "a compiler that joins later is lowered too" "$(all_nice 10 "$late" && echo yes)" yes
    group=$(task_group "${pids[0]:-none}" | cut -d' ' -f1)
    ok "the service says once that the compilers' task group, $group, bounds the calming" \
        "$(journalctl -u ostrevane -o cat --since "@$since" | grep -c -F "task group: compilers in cgroup $group ")" 1
    say "line $(reach_line "$since")"
    say "agent $(cgroup_of "${pids[0]:-none}"), task group $(task_group "${pids[0]:-none}")"
    ask agent stop >/dev/null
    say "done"
    exit 0
fi

placement "compilers and the foreground task in one login session" one one
placement "compilers in one login session, the foreground task in another" one two
placement "compilers in a CI agent's service, the foreground task in a login session" agent two
systemctl start container
placement "compilers in a delegated cgroup's child (a container), the foreground task in a login session" container two
# The autogroup setting, turned the other way than the kernel boots with.
booted=$(cat /proc/sys/kernel/sched_autogroup_enabled)
sysctl -q -w kernel.sched_autogroup_enabled=$((1 - booted))
placement "compilers in one login session, the foreground task in another" one two
placement "compilers in a CI agent's service, the foreground task in a login session" agent two
sysctl -q -w kernel.sched_autogroup_enabled="$booted"
systemctl set-property agent.service CPUWeight=10
placement "compilers in a CI agent's service with CPUWeight=10, the foreground task in a login session" agent two
# A foreground that wants every processor (a second build, a test run): as many tasks as processors.
wide=$(nproc)
systemctl set-property agent.service CPUWeight=100
placement "compilers in a CI agent's service, $wide foreground tasks in a login session" agent two "$wide"
placement "compilers in one login session, $wide foreground tasks in another" one two "$wide"
systemctl set-property agent.service CPUWeight=10
placement "compilers in a CI agent's service with CPUWeight=10, $wide foreground tasks in a login session" agent two "$wide"
# The agent in a slice of its own beside system.slice and user.slice, the slice's weight lowered.
mkdir -p /etc/systemd/system/agent.service.d
printf '[Service]\nSlice=build.slice\n' >/etc/systemd/system/agent.service.d/slice.conf
systemctl daemon-reload
systemctl restart agent
systemctl set-property build.slice CPUWeight=10
placement "compilers in a CI agent's service in build.slice with CPUWeight=10, $wide foreground tasks in a login session" agent two "$wide"
say "done"
