#!/bin/sh
# The shipped systemd unit passes systemd-analyze verify with no complaint about it: the
# unit as users copy it, with ExecStart pointed at the program just built.
# usage: verify_unit.sh UNIT-FILE ZYKPROXY
set -eu
unit=$1 program=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/local/lib/zykproxy/zykproxy |ExecStart=$program |" "$unit" >"$dir/zykproxy.service"
grep -q "^ExecStart=$program " "$dir/zykproxy.service" || { echo "no ExecStart of /usr/local/lib/zykproxy/zykproxy in $unit"; exit 1; }
status=0
out=$(systemd-analyze verify --man=no "$dir/zykproxy.service" 2>&1) || status=$?
# Complaints about other units of this machine are not the unit's.
complaints=$(printf '%s\n' "$out" | grep zykproxy || true)
if [ $status -ne 0 ] || [ -n "$complaints" ]; then
  printf 'systemd-analyze verify (status %s):\n%s\n' "$status" "$out"
  exit 1
fi
echo "systemd-analyze verify: $unit passes"
