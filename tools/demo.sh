#!/usr/bin/env bash
# The end-to-end demonstration behind `./zyk demo`: one messenger file-transfer session
# through zykproxy's SOCKS5 port with the plug-in and a clamd of the demo's own (the built-in clamav
# scanner where clamd cannot run), and what the receiver got.
#
#   tools/demo.sh BUILD_DIR      (BUILD_DIR holds zykproxy, oftpeer and libzykim.so)
#
# Exit 0 when every file came out as expected: the clean ones intact, the test virus
# blanked with the scanner's finding; 1 otherwise.
set -euo pipefail

bin=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
for tool in zykproxy oftpeer libzykim.so; do
  [ -e "$bin/$tool" ] || { echo "demo: $bin/$tool is missing (./zyk build native)" >&2; exit 1; }
done

say() { printf 'demo: %s\n' "$*"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zyk-demo.XXXXXX")
sender_pid="" script_pid="" clamd_pid=""
cleanup() {
  local pid
  # zykproxy runs inside `script` (which gives it a terminal); it wrote its own pid.
  for pid in "$(cat "$work/proxy.pid" 2>/dev/null || true)" "$script_pid" "$sender_pid" "$clamd_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done
  for pid in "$script_pid" "$sender_pid" "$clamd_pid"; do
    [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $3 seconds for a line "listening HOST:PORT" in file $1 from process $2;
# prints the port.
port_from() {
  local file=$1 pid=$2 tries=$(( $3 * 10 )) port
  while [ "$tries" -gt 0 ]; do
    port=$(sed -n 's/^listening .*:\([0-9][0-9]*\)\r\{0,1\}$/\1/p' "$file" 2>/dev/null | head -n 1)
    [ -n "$port" ] && { echo "$port"; return 0; }
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
    tries=$(( tries - 1 ))
  done
  return 1
}

# --- the files the sending client offers ----------------------------------------------
mkdir -p "$work/send" "$work/received" "$work/held"
printf 'Lunch on Friday? The usual place, 12:30.\n' > "$work/send/note.txt"
head -c $(( 12 * 1024 * 1024 )) /dev/urandom > "$work/send/holiday.zip"
# The standard anti-virus test file, put together here so no copy of it lies in the tree.
printf '%s%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$' 'EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' \
  > "$work/send/eicar.com"
files=(note.txt holiday.zip eicar.com)
expected=(intact intact blanked)

# --- the scanner: a clamd of the demo's own --------------------------------------------
# Its configuration, socket and signatures (the shipped test signature) lie in the
# demo's folder; it needs no network and leaves the system's clamd alone.
scanner_args=(--scanner clamav)
scanner_text="the clamav scanner inside zykproxy"
clamd=$(command -v clamd || { [ -x /usr/sbin/clamd ] && echo /usr/sbin/clamd; } || true)
if [ -n "$clamd" ] && [ -d "$bin/zykproxy-signatures" ]; then
  mkdir -p "$work/clamd/db"
  cp "$bin"/zykproxy-signatures/* "$work/clamd/db/"
  printf '%s\n' "LocalSocket $work/clamd/clamd.sock" "DatabaseDirectory $work/clamd/db" \
    "TemporaryDirectory $work/clamd" "Foreground yes" "LogFile $work/clamd/clamd.log" \
    > "$work/clamd/clamd.conf"
  "$clamd" -c "$work/clamd/clamd.conf" > "$work/clamd/out" 2>&1 &
  clamd_pid=$!
  for _ in $(seq 300); do
    [ -S "$work/clamd/clamd.sock" ] && break
    kill -0 "$clamd_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -S "$work/clamd/clamd.sock" ]; then
    scanner_args=(--scanner clamd --clamd-socket "$work/clamd/clamd.sock")
    scanner_text="clamd, a clamd of the demo's own ($clamd)"
  else
    say "clamd did not start ($(tail -n 1 "$work/clamd/out" 2>/dev/null)); using the clamav scanner"
    kill "$clamd_pid" 2>/dev/null || true
    clamd_pid=""
  fi
else
  say "no clamd here (Debian package clamav-daemon); using the clamav scanner"
fi

# --- sender (listens, as real clients do), proxy in front of it, receiver ---------------
(cd "$work/send" && exec "$bin/oftpeer" send --listen 127.0.0.1:0 --timeout 120 "${files[@]}") \
  > "$work/send.out" 2> "$work/send.err" &
sender_pid=$!
sender_port=$(port_from "$work/send.out" "$sender_pid" 10) || {
  cat "$work/send.err" >&2; say "the sending client did not start"; exit 1; }

# zykproxy draws its progress bar only on a terminal: `script` gives it one and keeps
# what it wrote in proxy.log. Its held files go to a folder of the demo's own.
live=/dev/null
[ -t 1 ] && live=/dev/stdout
# zykproxy is the receiving messenger's SOCKS5 proxy, as a messenger's proxy setting
# makes it: the receiver asks it for the sender's address, as a peer transfer does.
TMPDIR="$work/held" script -q -e -f -c "echo \$\$ > '$work/proxy.pid'; exec '$bin/zykproxy' \
  --listen 127.0.0.1:0 --socks5 ${scanner_args[*]} --once \
  > '$work/proxy.out'" "$work/proxy.log" < /dev/null > "$live" &
script_pid=$!
proxy_port=$(port_from "$work/proxy.out" "$script_pid" 300) || {
  tr -d '\r' < "$work/proxy.log" >&2; say "zykproxy did not start"; exit 1; }
say "oftpeer sends ${files[*]} from 127.0.0.1:$sender_port; the receiver connects to it" \
    "through zykproxy's SOCKS5 port 127.0.0.1:$proxy_port"
say "scanner: $scanner_text"

recv_rc=0
"$bin/oftpeer" recv --connect "127.0.0.1:$sender_port" --socks5 "127.0.0.1:$proxy_port" \
  --out "$work/received" --timeout 120 > "$work/recv.out" 2> "$work/recv.err" || recv_rc=$?
wait "$sender_pid" || true
sender_pid=""
# With --once, zykproxy ends after its one connection.
for _ in $(seq 100); do kill -0 "$script_pid" 2>/dev/null || break; sleep 0.1; done
wait "$script_pid" 2>/dev/null || true
script_pid=""

# The log as lines, without the terminal's line ends and the bar's redraws.
log=$(tr '\r' '\n' < "$work/proxy.log" | grep '^zykproxy: ' || true)
[ "$live" = /dev/null ] && printf '%s\n' "$log"
bar=$(grep -o 'conn [0-9]* receiving \[[#.]*\] *[0-9]*% [0-9]*/[0-9]* KiB' "$work/proxy.log" | tail -n 1 || true)
[ -n "$bar" ] && say "zykproxy's progress bar at the end of the large file: $bar"

# --- what the receiving client got -------------------------------------------------------
failures=0
say "what the receiving client got:"
for i in "${!files[@]}"; do
  name=${files[$i]}
  sent_sha=$(sha256sum "$work/send/$name" | cut -d' ' -f1)
  size=$(stat -c %s "$work/send/$name")
  line=$(grep -F "received $name " "$work/recv.out" || true)
  got_sha=$(sed -n 's/.* sha256=\([0-9a-f]*\) .*/\1/p' <<<"$line")
  got_size=$(sed -n 's/.* size=\([0-9]*\) .*/\1/p' <<<"$line")
  check=$(sed -n "s/^zykproxy: conn [0-9]* \(([^)]*) \)\{0,1\}check [0-9]* \"$name\" [0-9]* bytes: \(.*\), \(passed\|blocked\), [0-9]* ms$/\2/p" <<<"$log")
  if [ -z "$line" ]; then outcome=missing
  elif [ "$got_sha" = "$sent_sha" ]; then outcome=intact
  elif [ "$got_size" = "$size" ] && grep -q ' zeros=yes ' <<<"$line"; then outcome=blanked
  else outcome=changed
  fi
  case $outcome in
    intact) detail="SHA-256 equal to what was sent" ;;
    blanked) detail="$size zero bytes in place of the file" ;;
    *) detail="not what was expected" ;;
  esac
  verdict=ok
  if [ "$outcome" != "${expected[$i]}" ]; then verdict=UNEXPECTED
  elif [ "$outcome" = blanked ] && ! grep -q '^INFECTED (.*)' <<<"$check"; then verdict=UNEXPECTED
  fi
  [ "$verdict" = ok ] || failures=$(( failures + 1 ))
  printf '  %-12s %9s bytes  %-8s %-40s scanner: %s%s\n' "$name" "$size" "$outcome" "($detail)" \
    "${check:-no check logged}" "$([ "$verdict" = ok ] || echo "  <- $verdict")"
done

if [ -n "$(ls -A "$work/held")" ]; then
  say "held files were left behind: $(ls -A "$work/held")"
  failures=$(( failures + 1 ))
fi
if [ "$recv_rc" -ne 0 ]; then
  say "the receiving client failed: $(cat "$work/recv.err")"
  failures=$(( failures + 1 ))
fi
if [ "$failures" -ne 0 ]; then
  say "$failures outcome(s) not as expected"
  exit 1
fi
say "every file came out as expected (scanner: $scanner_text); no held file left behind"
