#!/usr/bin/env bash
# Runs a Windows test program under Wine in the prefix given first (made on first use).
# With --com, socat joins two pseudo-terminals and the prefix maps them as COM5, the port under
# test, and COM6, the device end the test plays. Never COM1: a new prefix maps it to the host's
# first serial port.
set -euo pipefail

com=0
if [ "${1:-}" = --com ]; then
  com=1
  shift
fi
prefix=$1
shift

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
# Two tests starting at once must not both build the prefix.
exec 9>"$prefix.lock"
flock -w 600 9
if [ ! -e "$prefix/system.reg" ]; then
  timeout 300 wineboot -i >/dev/null 2>&1
  timeout 60 wineserver -w
fi

socat_pid=""
pty_dir=""
cleanup() {
  # The wineserver first: it holds the pseudo-terminals open.
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
  fi
  rm -f "$prefix/dosdevices/com5" "$prefix/dosdevices/com6"
  if [ -n "$pty_dir" ]; then rm -rf "$pty_dir"; fi
}
trap cleanup EXIT

if [ "$com" = 1 ]; then
  pty_dir=$(mktemp -d)
  socat "pty,raw,echo=0,link=$pty_dir/port" "pty,raw,echo=0,link=$pty_dir/device" &
  socat_pid=$!
  for _ in $(seq 100); do
    [ -e "$pty_dir/port" ] && [ -e "$pty_dir/device" ] && break
    sleep 0.1
  done
  if [ ! -e "$pty_dir/port" ] || [ ! -e "$pty_dir/device" ]; then
    echo "socat did not make its pseudo-terminals" >&2
    exit 1
  fi
  ln -sfn "$pty_dir/port" "$prefix/dosdevices/com5"
  ln -sfn "$pty_dir/device" "$prefix/dosdevices/com6"
fi

rc=0
timeout 240 wine "$@" || rc=$?
exit "$rc"
