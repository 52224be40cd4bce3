#!/bin/sh
# Runs the program's timing self-test with real-time priority within reach
# (granted) or with the capability and the limit taken away (refused), so
# the mode it reports can be checked against what the system allowed.
#   cli_realtime.sh granted|refused PROGRAM
# Exit 77 (skipped) where the case cannot be set up: not root.
set -eu
case="$1"
program="$2"
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root to grant or take away real-time priority"
  exit 77
fi
case "$case" in
  granted) exec "$program" --self-test --self-test-seconds 0.3 ;;
  refused)
    exec setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice \
      prlimit --rtprio=0 "$program" --self-test --self-test-seconds 0.3 ;;
  *) echo "usage: $0 granted|refused PROGRAM" >&2; exit 2 ;;
esac
