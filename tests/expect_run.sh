#!/bin/sh
# Runs a program and compares its exit status, stdout and stderr with what is expected.
# usage: expect_run.sh STATUS EXPECTED_STDOUT EXPECTED_STDERR PROGRAM [ARG...]
status=$1 out=$2 err=$3
shift 3
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
"$@" >"$dir/out" 2>"$dir/err" </dev/null
got=$?
printf '%b' "$out" >"$dir/want-out"
printf '%b' "$err" >"$dir/want-err"
fail=0
[ "$got" = "$status" ] || { echo "exit status $got, expected $status"; fail=1; }
cmp -s "$dir/out" "$dir/want-out" || { echo "stdout differs:"; cat "$dir/out"; fail=1; }
cmp -s "$dir/err" "$dir/want-err" || { echo "stderr differs:"; cat "$dir/err"; fail=1; }
exit $fail
