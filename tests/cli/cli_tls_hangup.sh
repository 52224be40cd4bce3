#!/bin/sh
# SIGHUP to a program that serves Modbus/TCP Security reads its TLS files
# again and goes on; the program then ends on SIGTERM with status 0.
#   cli_tls_hangup.sh PROGRAM CERTIFICATES_SCRIPT
set -u
program=$1
certificates=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$certificates" "$work" ca ca && "$certificates" "$work" server server ca || exit 1
printf 'operator = read, stop, control\n' >"$work/roles"
"$program" --port=simulated --modbus-tls=127.0.0.1:0 --modbus-tls-certificate="$work/server.crt" \
  --modbus-tls-key="$work/server.key" --modbus-tls-ca="$work/ca.crt" --modbus-roles="$work/roles" \
  2>"$work/stderr" &
pid=$!
waitFor() {
  for _ in $(seq 100); do
    grep -q "$1" "$work/stderr" && return 0
    sleep 0.1
  done
  echo "cli_tls_hangup: no line '$1'; stderr was:" >&2
  cat "$work/stderr" >&2
  kill "$pid" 2>/dev/null
  exit 1
}
waitFor "Modbus/TCP Security server on"
kill -HUP "$pid"
waitFor "TLS files read again (asked)"
kill -0 "$pid" || { echo "cli_tls_hangup: SIGHUP ended the program" >&2; exit 1; }
kill -TERM "$pid"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || { echo "cli_tls_hangup: status $status after SIGTERM" >&2; cat "$work/stderr" >&2; exit 1; }
