# A throwaway 64-bit Wine prefix for one test, sourced by it: made in a work folder of its own,
# booted, and with its server and the folder gone when the test exits. Wine's 64-bit loader is
# called by name: /usr/bin/wine picks the 32-bit one once wine32 is installed; the 64-bit one
# hands a 32-bit program to the 32-bit loader itself.
#   boot_prefix [WINEDEBUG]   the debug channels that the services the prefix starts inherit;
#                             their output goes to $work/trace.log
work=$(mktemp -d) || exit 1
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
# Wine makes its server's socket folder under TMPDIR: inside the work folder, it goes with it.
export TMPDIR="$work/tmp"
mkdir -p "$WINEPREFIX" "$TMPDIR"
drive="$WINEPREFIX/drive_c"
cleanup() {
    "$WINESERVER" -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# A new prefix is made first and its server waited for; then wineserver (and with it
# services.exe) is kept between commands, and the prefix booted again with the trace that the
# services it starts inherit. Output goes to files: services.exe keeps whatever it is given.
boot_prefix() {
    "$WINELOADER" wineboot -i >"$work/init.out" 2>&1 </dev/null && "$WINESERVER" -w ||
        fail "the prefix was not made"
    "$WINESERVER" -p
    WINEDEBUG=${1:--all} "$WINELOADER" wineboot >"$work/boot.out" 2>"$work/trace.log" </dev/null ||
        fail "the prefix did not boot"
}
# Runs a Windows program with no input, its output without carriage returns, and returns the
# program's exit status, not that of the filter.
win() { "$WINELOADER" "$@" </dev/null 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The state of the service Ostrevane, as sc tells it (1 stopped, 4 running); empty for none.
state() { win sc query Ostrevane | sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'; }
