#!/bin/sh
# Runs a command and checks both its exit status and its output, which CTest's
# PASS_REGULAR_EXPRESSION alone cannot: it ignores the status.
#   cli_expect.sh STATUS PATTERN -- COMMAND [ARG...]
# PATTERN is a grep -E expression matched against stdout and stderr together.
set -u
if [ "$#" -lt 4 ] || [ "$3" != "--" ]; then
  echo "usage: cli_expect.sh STATUS PATTERN -- COMMAND [ARG...]" >&2
  exit 2
fi
expected="$1"
pattern="$2"
shift 3
output=$("$@" 2>&1)
status=$?
failed=0
if [ "$status" -ne "$expected" ]; then
  echo "cli_expect: exit status $status, expected $expected" >&2
  failed=1
fi
if ! printf '%s\n' "$output" | grep -Eq -- "$pattern"; then
  echo "cli_expect: output does not match: $pattern" >&2
  failed=1
fi
if [ "$failed" -ne 0 ]; then
  echo "cli_expect: command: $*" >&2
  echo "cli_expect: output was:" >&2
  printf '%s\n' "$output" >&2
  exit 1
fi
printf '%s\n' "$output"
