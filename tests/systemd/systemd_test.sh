#!/usr/bin/env bash
# The Debian package under a real systemd, booted as PID 1 in a container (systemd-nspawn, run as
# root): installed, run on cl.exe burners, stopped, killed, failing by itself, removed and purged.
# usage: [OSTREVANE_DEBIAN_RELEASE=CODENAME] systemd_test.sh SOURCE_DIR BURNER
#   builds the package (scripts/build-deb) and the container's system (scripts/make-rootfs, into
#   $OSTREVANE_ROOTFS, or SOURCE_DIR/build/rootfs for this machine's release and
#   SOURCE_DIR/build/rootfs-CODENAME for another) where they are not built yet. The container runs
#   this machine's Debian release unless OSTREVANE_DEBIAN_RELEASE names another (trixie, say).
set -u
source_dir=$1 burner=$2
release=${OSTREVANE_DEBIAN_RELEASE:-}
rootfs=${OSTREVANE_ROOTFS:-$source_dir/build/rootfs${release:+-$release}}
. "$(dirname "$0")/../checks.sh"

deb=$("$source_dir/scripts/build-deb") || { fail "the package was not built"; finish; }
"$source_dir/scripts/make-rootfs" --reuse ${release:+--release "$release"} "$rootfs" ||
    { fail "the container's system was not made"; finish; }
# The program that the package's unit starts is one the package itself installs.
program=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards '*/systemd/system/ostrevane.service' |
    sed -n 's|^ExecStart=.* \(/[^ ]*\)$|\1|p')
expect "the unit starts a program of the package" \
    "$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -c -F -x ".$program")" 1

name=ostrevane-test-$$
work=$(mktemp -d) || exit 1
share=$work/share
mkdir -p "$share"
cp "$deb" "$share/ostrevane.deb"
for image in cl.exe cl.exe.old CL.EXE xcl.exe filler; do cp "$burner" "$share/$image"; done

# nspawn and the container run in cgroups of their own, removed afterwards: otherwise nspawn leaves
# its payload/ and supervisor/ at the top of the host's hierarchies.
cgroups=()
for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
    [ -d "$hierarchy" ] || continue
    mkdir "$hierarchy/$name" && echo $$ >"$hierarchy/$name/cgroup.procs" && cgroups+=("$hierarchy")
done
nspawn=
pid1=
cleanup() {
    if [ -n "$pid1" ]; then kill -RTMIN+4 "$pid1" 2>/dev/null; fi
    if [ -n "$nspawn" ]; then
        for _ in $(seq 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.5; done
        kill -KILL "$nspawn" 2>/dev/null
        wait "$nspawn" 2>/dev/null
    fi
    # A cgroup's last task may take the kernel a moment to let go of (EBUSY): tried for 5 s.
    for hierarchy in "${cgroups[@]}"; do
        echo $$ >"$hierarchy/cgroup.procs"
        for _ in $(seq 50); do
            find "$hierarchy/$name" -depth -type d -exec rmdir {} \; 2>/dev/null
            [ -d "$hierarchy/$name" ] || break
            sleep 0.1
        done
        [ ! -d "$hierarchy/$name" ] || echo "note: $hierarchy/$name could not be removed"
    done
    rm -rf "$work"
}
trap cleanup EXIT

systemd-nspawn --quiet --boot --register=no --keep-unit --private-network --volatile=overlay \
    --console=read-only -M "$name" -D "$rootfs" --bind-ro="$share:/mnt/test" \
    >"$work/console.log" 2>&1 </dev/null &
nspawn=$!
for _ in $(seq 100); do
    pid1=$(pgrep -P "$nspawn" -x systemd) && break
    pid1=
    sleep 0.1
done
[ -n "$pid1" ] || { fail "the container's systemd did not start"; cat "$work/console.log"; finish; }
enter=(nsenter -t "$pid1" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin)
inside() { "${enter[@]}" "$@"; }
show() { inside systemctl show -p "$2" --value "$1"; }
# systemctl answers once systemd has its bus socket, a moment after it starts.
up=
for _ in $(seq 60); do
    up=$(timeout 60 "${enter[@]}" systemctl is-system-running --wait 2>/dev/null) && break
    [ -n "$up" ] && break
    sleep 0.5
done
expect "the container's system is up" "$up" running
echo "note: $(inside sh -c '. /etc/os-release; echo "$PRETTY_NAME"'), $(inside systemctl --version | head -n 1)"

# Installing enables and starts the service. Type=notify: systemctl start (in the maintainer
# script) returns once READY=1 arrived, which the status text sent with it shows.
inside dpkg -i /mnt/test/ostrevane.deb >"$work/dpkg.log" 2>&1
expect "dpkg -i" "$?" 0
expect "active (running) when dpkg -i returns" "$(show ostrevane ActiveState)/$(show ostrevane SubState)" active/running
expect "READY=1 and its status arrived before" "$(show ostrevane StatusText)" "Ostrevane running, check-point 0"
expect "enabled" "$(inside systemctl is-enabled ostrevane)" enabled
# systemd names the unit's line for every setting it does not know or cannot parse.
expect "systemd knows every setting of the unit" \
    "$(inside journalctl -b -o cat | grep -c '/ostrevane\.service:[0-9]*:')" 0

# The journal gets each line as it is printed, through stdbuf under the unit's hardening: the
# samples arrive 5 seconds apart while the service still runs, not in a burst when it stops.
sleep 11
journal=$(inside journalctl -u ostrevane -o short-unix --output-fields=MESSAGE)
expect "still running while the journal is read" "$(show ostrevane SubState)" running
expect "the banner in the journal" \
    "$(grep -c 'ostrevane\[[0-9]*\]: keeping cl.exe processes scheduled accross all CPU cores and running with below normal priority$' <<<"$journal")" 1
samples=$(grep 'ostrevane\[[0-9]*\]: CPU usage: ' <<<"$journal" | cut -d' ' -f1)
expect "two samples or more" "$([ "$(wc -l <<<"$samples")" -ge 2 ] && echo yes)" yes
expect "samples 4 to 6 seconds apart, as printed" \
    "$(awk 'NR > 1 { gap = $1 - last; if (gap < 4 || gap > 6) bad = 1 } { last = $1 } END { print bad ? "no" : "yes" }' <<<"$samples")" yes

# A dynamic user whose only capability is CAP_SYS_NICE (bit 23).
main=$(show ostrevane MainPID)
status=$(inside cat "/proc/$main/status")
for set in CapEff CapAmb CapBnd CapPrm; do
    expect "$set" "$(sed -n "s/^$set:\t//p" <<<"$status")" 0000000000800000
done
uid=$(sed -n 's/^Uid:\t\([0-9]*\).*/\1/p' <<<"$status")
expect "a dynamic user's identifier" "$([ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] && echo yes)" yes

# Burners as units of their own: compilers and bystanders on the first processor only, as root
# and as another user, and a filler that saturates every processor.
run() { # run UNIT USER CPUS IMAGE THREADS
    inside systemd-run --quiet --unit="$1" -p User="$2" ${3:+-p CPUAffinity=$3} \
        "/mnt/test/$4" --threads "$5" >/dev/null
}
cpus=$(nproc)
run burner-cl root 0 cl.exe 2
run burner-cl-old nobody 0 cl.exe.old 2
run burner-cl-upper root 0 CL.EXE 2
run burner-xcl nobody 0 xcl.exe 2
run burner-filler nobody "" filler "$cpus"
# A compiler confined to the first processor by a cpuset, as a container's --cpuset-cpus or a unit's
# AllowedCPUs= confines one. The cpuset is made on the host, in cgroup v1's cpuset hierarchy, which
# the container sees read-only, and the compiler's processes join it by their host identifiers.
run burner-cl-confined root "" cl.exe 2
cpuset=/sys/fs/cgroup/cpuset/$name
confined=
if [ -w /sys/fs/cgroup/cpuset/cpuset.cpus ] && inside test -d /sys/fs/cgroup/cpuset && mkdir "$cpuset"; then
    procs=$(find "${cgroups[@]/%//$name}" -path '*/burner-cl-confined.service/cgroup.procs' 2>/dev/null | head -n 1)
    cgroups+=(/sys/fs/cgroup/cpuset)
    cat /sys/fs/cgroup/cpuset/cpuset.mems >"$cpuset/cpuset.mems"
    echo 0 >"$cpuset/cpuset.cpus"
    for pid in $(cat "$procs"); do echo "$pid" >"$cpuset/cgroup.procs"; done
    confined=$(date +%s.%N)
else
    echo "note: no cgroup v1 cpuset hierarchy that the host can write and the container sees:" \
        "the confined compiler is not judged"
fi
online=$(cat /sys/devices/system/cpu/online)
threads() { # threads UNIT: "nice cpus" of each of the unit's main process's threads, sorted, unique
    local pid
    pid=$(show "$1" MainPID)
    inside sh -c "for task in /proc/$pid/task/*; do
        echo \$(cut -d')' -f2 \$task/stat | cut -d' ' -f18) \$(sed -n 's/^Cpus_allowed_list:\t//p' \$task/status)
    done" | sort -u | paste -sd'|'
}
calmed="10 $online"
for _ in $(seq 40); do
    [ "$(threads burner-cl)" = "$calmed" ] && [ "$(threads burner-cl-old)" = "$calmed" ] && break
    sleep 0.5
done
expect "cl.exe (root): every thread at nice 10 on every processor" "$(threads burner-cl)" "$calmed"
expect "cl.exe.old (another user): every thread at nice 10 on every processor" \
    "$(threads burner-cl-old)" "$calmed"
expect "CL.EXE untouched" "$(threads burner-cl-upper)" "0 0"
expect "xcl.exe untouched" "$(threads burner-xcl)" "0 0"
expect "another unit's process untouched" "$(threads burner-filler)" "0 $online"
# The service, under its unit's sandbox, reads the cpuset: the confined compiler is lowered, and its
# affinity, all that its cpuset allows, is never reported as widened in two busy passes.
if [ -n "$confined" ]; then
    journal_since() { # the service's lines since the compiler joined its cpuset
        inside journalctl -u ostrevane -o short-unix --output-fields=MESSAGE |
            awk -v t="$confined" '$1 > t'
    }
    busy_passes() { journal_since | grep -c -E ' CPU usage: +(9[5-9]|1[0-9][0-9])%$'; }
    for _ in $(seq 40); do [ "$(busy_passes)" -ge 2 ] && break; sleep 0.5; done
    busy=$(busy_passes)
    widened=$(journal_since |
        grep -c "set affinity mask of 'cl.exe' (PID $(show burner-cl-confined MainPID))")
    expect "cl.exe in a cpuset: every thread at nice 10 on its one processor" "$(threads burner-cl-confined)" "10 0"
    expect "cl.exe in a cpuset: never reported as widened in two busy passes or more" \
        "$([ "$busy" -ge 2 ] && echo "$widened")" 0
fi

# Each kind of line at a priority of its own, so that a filter by priority alone keeps or drops
# them: the samples at debug, the changes at notice (prefixes that journald takes off, as
# SyslogLevelPrefix=, on by default, says), the failures at err (below).
expect "the unit keeps SyslogLevelPrefix= on" "$(show ostrevane SyslogLevelPrefix)" yes
at() { inside journalctl -u ostrevane -p "$1..$1" -o cat SYSLOG_IDENTIFIER=ostrevane; } # its own lines
expect "samples at debug, and nothing else" \
    "$(at 7 | grep -c -v '^CPU usage: ')/$(at 7 | grep -c '^CPU usage: ' | sed 's/^[1-9][0-9]*$/some/')" 0/some
expect "changes at notice, and nothing else" \
    "$(at 5 | grep -c -v -e ' - set ' -e '^task group: ')/$(at 5 | grep -c " - set priority class of 'cl.exe'" | sed 's/^[1-9][0-9]*$/some/')" 0/some
expect "the banner at info" "$(at 6)" \
    "keeping cl.exe processes scheduled accross all CPU cores and running with below normal priority"

# A stop on request is a success in systemd's records.
inside systemctl stop ostrevane
expect "stopped: result" "$(show ostrevane Result)" success
expect "stopped: exit status" "$(show ostrevane ExecMainCode)/$(show ostrevane ExecMainStatus)" 1/0

# Killed, it is restarted (Restart=always, after 5 seconds).
inside systemctl start ostrevane
restarts=$(show ostrevane NRestarts)
inside systemctl kill -s KILL ostrevane
for _ in $(seq 40); do
    [ "$(show ostrevane NRestarts)" -gt "$restarts" ] && [ "$(show ostrevane SubState)" = running ] && break
    sleep 0.5
done
expect "killed, then restarted" "$(show ostrevane NRestarts)/$(show ostrevane SubState)" "$((restarts + 1))/running"

# A monitoring that ends by itself is a failure in systemd's records, and is restarted. The
# process list is made unreadable to the service by denying it the system call that lists a
# folder; /proc/stat stays readable, so a busy pass comes and finds the list unreadable.
inside mkdir -p /run/systemd/system/ostrevane.service.d
inside sh -c 'printf "[Service]\nSystemCallFilter=~getdents getdents64\n" >/run/systemd/system/ostrevane.service.d/unreadable-proc.conf'
inside systemctl daemon-reload
inside systemctl restart ostrevane
restarts=$(show ostrevane NRestarts)
verdict=
for _ in $(seq 60); do
    if [ "$(show ostrevane SubState)" = auto-restart ]; then
        verdict="$(show ostrevane Result) $(show ostrevane ExecMainCode)/$(show ostrevane ExecMainStatus)"
        break
    fi
    sleep 0.25
done
expect "ended by itself: a failure with status 1" "$verdict" "exit-code 1/1"
for _ in $(seq 40); do
    [ "$(show ostrevane NRestarts)" -gt "$restarts" ] && break
    sleep 0.5
done
expect "ended by itself, then restarted" "$([ "$(show ostrevane NRestarts)" -gt "$restarts" ] && echo yes)" yes
# The failures, and only they, are in the journal at priority err.
errors=$(inside journalctl -u ostrevane -p err -o cat | sort | uniq -c | sed 's/^ *[0-9]* //')
expect "journalctl -p err holds the failures alone" "$errors" "error: EnumProcesses() failed"
expect "at err itself" "$(at 3 | sort -u)" "error: EnumProcesses() failed"
inside rm -r /run/systemd/system/ostrevane.service.d
inside systemctl daemon-reload

# Removal stops the service; purging leaves no trace of it.
inside dpkg -r ostrevane >>"$work/dpkg.log" 2>&1
expect "dpkg -r" "$?" 0
expect "removed: inactive" "$(inside systemctl is-active ostrevane)" inactive
expect "removed: no process left" "$(inside sh -c 'cat /proc/[0-9]*/comm' | grep -c -x ostrevane)" 0
inside dpkg -P ostrevane >>"$work/dpkg.log" 2>&1
expect "dpkg -P" "$?" 0
expect "purged: no file left" \
    "$(inside find /etc /lib /usr /var/lib -name '*ostrevane*' -not -path '/var/lib/dpkg/info/*' | paste -sd' ')" ""
expect "purged: dpkg knows it no more" "$(inside dpkg-query -W -f='${Status}' ostrevane 2>/dev/null)" ""
[ "$failures" -eq 0 ] || cat "$work/dpkg.log"
finish
