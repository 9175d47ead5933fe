#!/usr/bin/env bash
# Runs the litmus WebDAV test suites against the daemon on a sample device, in its
# own answers and in the standard ones (PAVRIX_STANDARD_DAV=1), each suite in a
# fresh collection (the device refuses to delete a folder that is not empty, so
# one suite's leftovers would stop the next from starting).
#   bench/litmus.sh    (after a build; loopback only; prints each suite's results)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

bash scripts/make-sample-device.sh "$work/device" >/dev/null

for standard in 0 1; do
  echo "== PAVRIX_STANDARD_DAV=$standard"
  rm -rf "$work/home"
  start_webdav "$work/device" "$work/home" PAVRIX_STANDARD_DAV=$standard
  pid=$webdav_pid
  port=$webdav_port

  for suite in basic copymove props locks http; do
    rm -rf "$work/device/fs/litmus"
    mkdir -p "$work/device/fs/litmus"
    (cd "$work" && TESTS=$suite timeout 600 litmus -k "http://127.0.0.1:$port/Device/litmus/" 2>&1 || true) |
      grep -E 'FAIL|WARNING|summary'
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
done
