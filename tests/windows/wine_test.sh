#!/usr/bin/env bash
# Tests of the Windows executable, unchanged as built, under Wine and its service control manager.
# usage: wine_test.sh MODE ARCH EXE HELPERS_DIR RESOURCE_READER
#   imports    the exe imports system DLLs only, and is a console program of ARCH (i686, x86_64)
#   resources  its manifest asks for no elevation, its version resource says what it is, and its
#              message table has every event's text,
#              as a 64-bit reader loads them
#   by-hand    started outside the service control manager it exits with 255 and prints nothing
#   scm        a whole life under the SCM: reports, policy at 94 and at 97 percent, a counter
#              failure, stop, and the events the service reported meanwhile
#   ansi-names a life under the SCM of Japanese Windows, code page 932, where a file name's first
#              character may end in the backslash's byte
# Every Wine run uses Wine's 64-bit loader in a 64-bit prefix; it hands a 32-bit program to the
# 32-bit loader. The modes that run a 32-bit exe are skipped (77) where its lives run in the virtual
# machine instead (scripts/wine32-here).
set -u
mode=$1 arch=$2 exe=$3 helpers=$4 reader=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../checks.sh"

if [ "$mode" = imports ]; then
    dump=$("$arch-w64-mingw32-objdump" -p "$exe")
    magic=PE32
    [ "$arch" = x86_64 ] && magic=PE32+
    expect "a $magic image" "$(grep -c "Magic.*($magic)" <<<"$dump")" 1
    expect "a console program" "$(grep -c 'Subsystem.*(Windows CUI)' <<<"$dump")" 1
    # System DLLs only, and exactly the functions listed with the Windows that brought them.
    imported=$(awk -F'\t' '/^\tDLL Name:/ { split($2, name, " "); dll = toupper(name[3]); next }
        /^\t[0-9a-f]+\t/ && dll != "" { split($3, field, " "); print dll, field[2] }' <<<"$dump" |
        LC_ALL=C sort -u)
    [ -n "$imported" ] || fail "no import table read"
    expect "the imports listed in docs/imports/$arch.txt (< listed only, > imported only)" \
        "$(diff <(sed -e '/^#/d' -e 's/ *#.*//' "$here/../../docs/imports/$arch.txt") - <<<"$imported" | grep '^[<>]')" ""
    finish
fi

if [ "$arch" = i686 ] && [ "$mode" != resources ] && ! why=$("$here/../../scripts/wine32-here"); then
    echo "SKIP: $why, so the 32-bit exe's lives run in the virtual machine (Windows.vm32)"
    exit 77
fi

. "$here/wine_prefix.sh"
if [ "$mode" = ansi-names ]; then
    # Wine takes the ANSI code page from the Unix locale it starts under, services.exe's included:
    # ja_JP gives 932. The locale is made in the work folder; the machine's are left alone.
    mkdir -p "$work/locale"
    localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" >/dev/null 2>&1 ||
        { echo "SKIP: the ja_JP locale cannot be made here (localedef, package locales)"; exit 77; }
    export LOCPATH="$work/locale"
    export LC_ALL=ja_JP.UTF-8 2>/dev/null
fi
# The SCM's status records and the event log's strings, type and ID.
boot_prefix +service,+eventlog,fixme+advapi,fixme+process,+pid
mkdir -p "$drive/ostrevane" "$drive/t"
cp "$exe" "$drive/ostrevane/ostrevane.exe"
cp "$helpers"/launcher.exe "$helpers"/probe.exe "$drive/t/"
cp "$reader" "$drive/t/resource_reader.exe"

if [ "$mode" = resources ]; then
    manifest=$(win 'C:\t\resource_reader.exe' manifest 'C:\ostrevane\ostrevane.exe')
    expect "one execution level" "$(grep -c '<requestedExecutionLevel' <<<"$manifest")" 1
    expect "as invoker, without UI access" \
        "$(grep -c "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>" <<<"$manifest")" 1
    wanted=x86
    [ "$arch" = x86_64 ] && wanted=amd64
    expect "the image's own architecture" \
        "$(grep -c "processorArchitecture=\"$wanted\"" <<<"$manifest")" 1
    # Each event ID's message is its line, as Event Viewer formats it; a failed collection's
    # event has two lines.
    for id in 1 100 101 102 300 302 400 401; do
        expect "message of event $id" \
            "$(win 'C:\t\resource_reader.exe' message 'C:\ostrevane\ostrevane.exe' $id "line $id")" \
            "line $id"
    done
    # What the exe says it is, as AppLocker, WDAC and inventory read it: the project's version.
    version=$(sed -n 's/^project(Ostrevane VERSION \([0-9.]*\) .*/\1/p' "$here/../../CMakeLists.txt")
    expect "the version resource" \
        "$(win 'C:\t\resource_reader.exe' version 'C:\ostrevane\ostrevane.exe' | paste -sd'|')" \
        "FILEVERSION=$version.0|PRODUCTVERSION=$version.0|CompanyName=Ostrevane|FileDescription=Ostrevane compiler scheduling service|FileVersion=$version.0|InternalName=ostrevane|LegalCopyright=Copyright 2026 The Ostrevane developers. All rights reserved.|OriginalFilename=ostrevane.exe|ProductName=Ostrevane|ProductVersion=$version.0|LANGUAGE=1033"
    expect "event 2 tells to install the 64-bit exe" \
        "$(win 'C:\t\resource_reader.exe' message 'C:\ostrevane\ostrevane.exe' 2 | grep -c 'Install the 64-bit ostrevane.exe')" 1
    # A failed change names its process and the error, and says it is reported once.
    for id in 200 201 202; do
        expect "message of event $id" \
            "$(win 'C:\t\resource_reader.exe' message 'C:\ostrevane\ostrevane.exe' $id "line $id" 4242 cl.exe 5 'Access is denied.' | paste -sd'|')" \
            "line $id||Process: cl.exe (PID 4242)|Error 5: Access is denied.||This failure is reported once for this process. The service tries the change again on every busy pass, but does not report it again while the process runs."
    done
    expect "message of event 301" \
        "$(win 'C:\t\resource_reader.exe' message 'C:\ostrevane\ostrevane.exe' 301 first second | paste -sd'|')" \
        "first|second"
    finish
fi

if [ "$mode" = by-hand ]; then
    "$WINELOADER" 'C:\ostrevane\ostrevane.exe' >"$work/out" 2>"$work/err" </dev/null
    expect "exit status started by hand" "$?" 255
    expect "bytes written to stdout and stderr" "$(cat "$work/out" "$work/err" | wc -c)" 0
    finish
fi

# Every life under the SCM has the test-only pdh.dll serve the counter from counter.txt.
cp "$helpers/pdh.dll" "$drive/ostrevane/pdh.dll"
# Reaches services that services.exe starts, unlike WINEDLLOVERRIDES in this shell.
win reg add 'HKCU\Software\Wine\AppDefaults\ostrevane.exe\DllOverrides' /v pdh /d native,builtin /f >/dev/null

# ソ is 0x83 0x5C in code page 932, its second byte a backslash's: cut by byte, ソcl.exe's path
# would end in cl.exe. Named by character, it is left alone, and the cl.exe beside it calmed.
if [ "$mode" = ansi-names ]; then
    expect "the ANSI code page" "$(win 'C:\t\probe.exe' acp)" 932
    echo 97 >"$drive/ostrevane/counter.txt"
    mkdir -p "$drive/t/a" "$drive/t/b"
    cp "$helpers/standin.exe" "$drive/t/a/ソcl.exe"
    cp "$helpers/standin.exe" "$drive/t/b/cl.exe"
    declare -A pid
    for image in 'a\ソcl.exe' 'b\cl.exe'; do
        pid[$image]=$(win 'C:\t\launcher.exe' 0x1 "C:\\t\\$image")
        [ -n "${pid[$image]}" ] || fail "could not start $image"
    done
    probe() { win 'C:\t\probe.exe' "${pid[$1]}"; }
    system=$(probe 'b\cl.exe' | sed -n 's/.*system=//p')
    win sc create Ostrevane binpath= 'C:\ostrevane\ostrevane.exe' >/dev/null || fail "sc create"
    win sc start Ostrevane >/dev/null || fail "sc start"
    changed="priority=0x4000 process=$system system=$system"
    for _ in $(seq 40); do [ "$(probe 'b\cl.exe')" = "$changed" ] && break; sleep 0.5; done
    sleep 6 # one more whole pass
    expect "cl.exe at 97 percent" "$(probe 'b\cl.exe')" "$changed"
    expect "ソcl.exe at 97 percent" "$(probe 'a\ソcl.exe')" "priority=0x20 process=0x1 system=$system"
    stop_service 40 || fail "sc stop"
    finish
fi

# A whole life under the SCM on a German Windows, where only the English add finds the counter by
# its English path.
echo 94 >"$drive/ostrevane/counter.txt"
echo de >"$drive/ostrevane/language.txt"

# Stand-ins at normal priority on the first processor only; CL.EXE needs a folder of its own,
# since Wine's file system ignores case. The 32-bit exe, under WOW64 here, also meets a 64-bit
# compiler, as Visual Studio's default one is on 64-bit Windows.
mkdir -p "$drive/t/a" "$drive/t/b" "$drive/t/c"
for name in cl.exe cl.exe.old xcl.exe; do cp "$helpers/standin.exe" "$drive/t/a/$name"; done
cp "$helpers/standin.exe" "$drive/t/b/CL.EXE"
compilers=('a\cl.exe' 'a\cl.exe.old')
if [ "$arch" = i686 ]; then
    cp "$helpers/standin64.exe" "$drive/t/c/cl.exe"
    compilers+=('c\cl.exe')
fi
declare -A pid
for image in "${compilers[@]}" 'a\xcl.exe' 'b\CL.EXE'; do
    pid[$image]=$(win 'C:\t\launcher.exe' 0x1 "C:\\t\\$image")
    [ -n "${pid[$image]}" ] || fail "could not start $image"
done
probe() { win 'C:\t\probe.exe' "${pid[$1]}"; }
system=$(probe 'a\cl.exe' | sed -n 's/.*system=//p')
narrow="priority=0x20 process=0x1 system=$system"
for image in "${!pid[@]}"; do expect "$image starts normal and narrow" "$(probe "$image")" "$narrow"; done

win sc create Ostrevane binpath= 'C:\ostrevane\ostrevane.exe' >/dev/null || fail "sc create"
win sc start Ostrevane >/dev/null || fail "sc start"
expect "state after sc start" "$(state)" 4

# Two whole passes at 94 percent change nothing.
sleep 12
for image in "${!pid[@]}"; do expect "$image unchanged at 94 percent" "$(probe "$image")" "$narrow"; done

echo 97 >"$drive/ostrevane/counter.txt"
changed="priority=0x4000 process=$system system=$system"
calmed() { for image in "${compilers[@]}"; do [ "$(probe "$image")" = "$changed" ] || return 1; done; }
for _ in $(seq 40); do calmed && break; sleep 0.5; done
for image in "${compilers[@]}"; do expect "$image at 97 percent" "$(probe "$image")" "$changed"; done
expect "CL.EXE at 97 percent" "$(probe 'b\CL.EXE')" "$narrow"
expect "xcl.exe at 97 percent" "$(probe 'a\xcl.exe')" "$narrow"

# A failing counter: the sampler's error lines, as one error event.
echo 0x800007D5 >"$drive/ostrevane/counter.txt"
for _ in $(seq 30); do grep -q 'err:eventlog:.*"PDH_NO_DATA"' "$work/trace.log" && break; sleep 0.5; done

stop_service 40 || fail "sc stop"
query=$(win sc query Ostrevane)
expect "state after sc stop" "$(state)" 1
expect "WIN32_EXIT_CODE" "$(sed -n 's/^ *WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p' <<<"$query")" 0
expect "SERVICE_EXIT_CODE" "$(sed -n 's/^ *SERVICE_EXIT_CODE *: *\([0-9]*\).*/\1/p' <<<"$query")" 0

# The records as the SCM received them: "type state controls exit specific check-point hint",
# from the service's own process, told apart by the registration of its handler.
self=$(sed -n 's/^\([0-9a-f]*\):[0-9a-f]*:trace:service:RegisterServiceCtrlHandlerExW L"Ostrevane".*/\1/p' "$work/trace.log" | head -n 1)
[ -n "$self" ] || fail "the service's handler registration is not in the trace"
records=$(sed -n "s/^$self:\([0-9a-f]*\):trace:service:SetServiceStatus [0-9A-Fa-f]* /\1 /p" "$work/trace.log")
expect "the records, in order" "$(cut -d' ' -f2- <<<"$records" | paste -sd'|')" \
    "0x10 0x2 0 0 0 0x1 0x3e8|0x10 0x4 0x1 0 0 0 0|0x10 0x3 0x1 0 0 0x2 0|0x10 0x3 0x1 0 0 0x3 0|0x10 0x1 0x1 0 0 0 0"
# Windows runs the handler on the thread inside the dispatcher; Wine on a control thread of its
# dispatcher's own. Either way it is the thread that received the stop control.
dispatcher=$(sed -n "s/^$self:\([0-9a-f]*\):trace:service:service_handle_control L\"Ostrevane\" control 1 .*/\1/p" "$work/trace.log" | head -n 1)
threads=$(cut -d' ' -f1 <<<"$records" | paste -sd' ')
read -r first second third fourth fifth <<<"$threads"
expect "the stop-pending reports come from the thread given the stop" "$third $fourth" "$dispatcher $dispatcher"
expect "the others from the service thread" "$first $second $fifth" "$first $first $first"
[ "$first" != "$dispatcher" ] || fail "the service ran on the dispatcher thread"

# The events the service's own process reported, as "type id text". Wine writes the type and ID
# of each ReportEventA call in a fixme of advapi, then each string on the eventlog channel.
events=$(awk -v self="$self:" 'index($0, self) != 1 { next }
    /:fixme:advapi:ReportEventA \(/ { split($0, field, ","); type = field[2]; id = field[4]; next }
    /:eventlog:ReportEventW L"/ { text = $0; sub(/^[^"]*L"/, "", text); sub(/"$/, "", text)
                                   print type, id, text }' "$work/trace.log" |
    sed 's/^\(0x[0-9a-f]* 0x[0-9a-f]*\) [0-9T:-]* - /\1 /')
info=0x0004 error=0x0001
expect "the banner, first" "$(head -n 1 <<<"$events")" \
    "$info 0x00000001 keeping cl.exe processes scheduled accross all CPU cores and running with below normal priority"
for key in "${compilers[@]}"; do
    image=${key#*\\} id=${pid[$key]}
    expect "$key's priority event" \
        "$(grep -c "^$info 0x00000064 set priority class of '$image' (PID $id) to below normal$" <<<"$events")" 1
    expect "$key's affinity event" \
        "$(grep -c "^$info 0x00000065 set affinity mask of '$image' (PID $id) to 0x[0-9a-f]\{4,\}$" <<<"$events")" 1
done
expect "the failed collection, as error events" "$(grep "^$error " <<<"$events" | LC_ALL=C sort -u | paste -sd'|')" \
    "$error 0x0000012d PDH_NO_DATA|$error 0x0000012d PhdCollectQueryData() ***Error: 0x800007D5"
# Each compiler lowered is opted out of execution-speed throttling in the same step, once. Wine does
# not know the class and refuses it, saying so in a fixme of its ntdll that names the class (0x4d,
# the power throttling state) and the size (12: three ULONGs); the service logs nothing of it.
expect "priority change, throttling opt-out, affinity change, for each compiler" \
    "$(awk -v self="$self:" 'index($0, self) != 1 { next }
        /:fixme:advapi:ReportEventA \([^,]*,[^,]*,[^,]*,0x00000064,/ { printf "P" }
        /:fixme:advapi:ReportEventA \([^,]*,[^,]*,[^,]*,0x00000065,/ { printf "A" }
        /:fixme:process:NtSetInformationProcess / { printf /,0x0000004d,[^,]*,0x0000000c\)/ ? "T" : "?" }' \
        "$work/trace.log")" "$(printf 'PTA%.0s' "${compilers[@]}")"
# The 32-bit exe runs under WOW64 in a 64-bit prefix, and says so in a warning without strings
# where its processor group natively has more than the 32 processors WOW64 shows it.
warnings=0
[ "$arch" = i686 ] && [ "$(win 'C:\t\probe.exe' processors | tr -d '\r')" -gt 32 ] && warnings=1
expect "WOW64 warnings" \
    "$(grep -c "^$self:[0-9a-f]*:fixme:advapi:ReportEventA ([^,]*,0x0002,0x0000,0x00000002," "$work/trace.log")" \
    "$warnings"
expect "no other event" "$(grep -c -v -E "^$error 0x0000012d |^$info 0x00000001 keeping |^$info 0x0000006[45] set (priority class|affinity mask) of 'cl\.exe(\.old)?' " <<<"$events")" 0
finish
