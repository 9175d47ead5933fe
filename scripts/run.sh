#!/usr/bin/env bash
# Sets up a fresh machine, builds, makes a sample emulated device and serves it.
#   DEVICE=/path/to/device scripts/run.sh   serves a device folder of your own
#                                           (a folder holding fs/, see README)
#   PAVRIX_STANDARD_DAV=0 scripts/run.sh    the daemon's own answers instead of the
#                                           standard WebDAV ones the Linux desktop's
#                                           clients need (the default here)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh webdav pavrix-logserver

device="${DEVICE:-$PWD/sample-device}"
if [ -z "${DEVICE:-}" ]; then
  bash scripts/make-sample-device.sh "$device"
  echo "Sample device in: $device"
fi
portfile="$HOME/Library/Caches/Pavrix_webdavtmp.plist"
rm -f "$portfile"

PAVRIX_DEVICE="$device" PAVRIX_STANDARD_DAV="${PAVRIX_STANDARD_DAV:-1}" build/bin/webdav &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' INT TERM EXIT

port=""
for _ in $(seq 1 100); do
  port=$(grep -A1 '<key>WebdavPort</key>' "$portfile" 2>/dev/null | grep -o '[0-9]\+' | tail -n1 || true)
  [ -n "$port" ] && break
  sleep 0.1
done
echo "Serving the device at http://127.0.0.1:${port:-?}/Device/  (Ctrl-C stops)"
wait "$pid"
