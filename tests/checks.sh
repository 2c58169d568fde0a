# Checks for the tests written in shell, sourced by them: each prints "ok: WHAT" or
# "FAIL: WHAT ...", which CTest looks for, and finish ends the test with its verdict.
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
expect() { # expect DESCRIPTION ACTUAL WANTED
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$2', wanted '$3'"; fi
}
finish() { [ "$failures" -eq 0 ] && echo "all checks passed" && exit 0; echo "$failures failed"; exit 1; }
