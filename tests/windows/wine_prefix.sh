# A throwaway 64-bit Wine prefix for one test, sourced by it: made in a work folder of its own,
# booted, and with its server and the folder gone when the test exits. Wine's 64-bit loader is
# called by name: /usr/bin/wine picks the 32-bit one once wine32 is installed; the 64-bit one
# hands a 32-bit program to the 32-bit loader itself.
#   boot_prefix [WINEDEBUG]   the debug channels that the services the prefix starts inherit;
#                             their output goes to $work/trace.log
work=$(mktemp -d) || exit 1
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
# Wine makes its server's socket folder under TMPDIR, and menus and links to the user's folders
# under HOME: inside the work folder, they go with it, and the user's own stay as they were.
export TMPDIR="$work/tmp" HOME="$work/home"
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
fresh_folders() {
    rm -rf "$WINEPREFIX" "$TMPDIR" "$HOME"
    mkdir -p "$WINEPREFIX" "$TMPDIR" "$HOME"
}
fresh_folders
drive="$WINEPREFIX/drive_c"
cleanup() {
    "$WINESERVER" -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# A new prefix is made first and its server waited for; then wineserver (and with it
# services.exe) is kept between commands, and the prefix booted again with the trace that the
# services it starts inherit. Output goes to files: services.exe keeps whatever it is given.
# A boot that fails is tried once more in a new prefix: Wine's start was seen to fail once in a CI
# run, and not in dozens of runs here. What Wine said is shown either way. Without a prefix every
# later check would fail for the same reason, so a second failure ends the test at once.
boot_prefix() {
    local attempt
    for attempt in 1 2; do
        make_prefix "${1:--all}" && return 0
        if [ "$attempt" = 1 ]; then
            echo "note: $why; the prefix is made again. What Wine wrote:"
        else
            fail "$why"
            echo "what Wine wrote:"
        fi
        tail -n 40 "$work/init.out" "$work/trace.log" 2>/dev/null | sed 's/^/  | /'
        "$WINESERVER" -k 2>/dev/null
        fresh_folders
    done
    finish
}
make_prefix() { # make_prefix WINEDEBUG: sets why when it fails
    local status
    "$WINELOADER" wineboot -i >"$work/init.out" 2>&1 </dev/null
    status=$?
    "$WINESERVER" -w
    [ "$status" -eq 0 ] || { why="the prefix was not made: wineboot -i exited with $status"; return 1; }
    "$WINESERVER" -p || { why="the prefix's server did not start"; return 1; }
    WINEDEBUG=$1 "$WINELOADER" wineboot >"$work/boot.out" 2>"$work/trace.log" </dev/null
    status=$?
    [ "$status" -eq 0 ] || { why="the prefix did not boot: wineboot exited with $status"; return 1; }
}
# Runs a Windows program with no input, its output without carriage returns, and returns the
# program's exit status, not that of the filter.
win() { "$WINELOADER" "$@" </dev/null 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The state of the service Ostrevane, as sc tells it (1 stopped, 4 running); empty for none.
state() { win sc query Ostrevane | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'; }
# Stops the service and waits, half a second at a time, up to TRIES times for it to be stopped;
# returns sc stop's status.
stop_service() { # stop_service TRIES
    local status
    win sc stop Ostrevane >/dev/null
    status=$?
    for _ in $(seq "$1"); do [ "$(state)" = 1 ] && break; sleep 0.5; done
    return "$status"
}
