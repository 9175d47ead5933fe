#!/usr/bin/env bash
# Sets up a fresh machine, builds, makes a sample emulated device and serves it.
#   DEVICE=/path/to/device scripts/run.sh   serves a device folder of your own
#                                           (a folder holding fs/, see README)
#   PAVRIX_STANDARD_DAV=0 scripts/run.sh    the daemon's own answers instead of the
#                                           standard WebDAV ones the Linux desktop's
#                                           clients need (the default here)
#   scripts/run.sh --link [SIMULATOR OPTIONS] the device reached over the device link:
#                                           a simulated handheld (pavrix-devicesim)
#                                           on loopback serves the device folder,
#                                           e.g. --flow legacy, --os 5.0, --latency-us
set -euo pipefail
cd "$(dirname "$0")/.."
link=""
if [ "${1:-}" = "--link" ]; then
  link=1
  shift
fi
bash scripts/setup.sh
bash scripts/build.sh webdav pavrix-logserver pavrix-devicesim

device="${DEVICE:-$PWD/sample-device}"
if [ -z "${DEVICE:-}" ]; then
  bash scripts/make-sample-device.sh "$device"
  echo "Sample device in: $device"
fi
portfile="$HOME/Library/Caches/Pavrix_webdavtmp.plist"
rm -f "$portfile"

simpid=""
if [ -n "$link" ]; then
  # Everything on loopback, on high ports: the handheld at 127.0.0.1 too, so the
  # wake datagram never leaves the machine.
  export PAVRIX_LINK_ADDRESS=127.0.0.1 PAVRIX_LINK_DEVICE=127.0.0.1
  export PAVRIX_LINK_PORTS=47990,47679 PAVRIX_LINK_DEVICE_PORTS=47680,47991
  build/bin/pavrix-devicesim --device "$device" --desktop-ports 47990,47679 --ports 47680,47991 "$@" &
  simpid=$!
  echo "Simulated handheld (pid $simpid) serving $device over the link"
  PAVRIX_STANDARD_DAV="${PAVRIX_STANDARD_DAV:-1}" build/bin/webdav &
else
  PAVRIX_DEVICE="$device" PAVRIX_STANDARD_DAV="${PAVRIX_STANDARD_DAV:-1}" build/bin/webdav &
fi
pid=$!
trap 'kill "$pid" $simpid 2>/dev/null || true' INT TERM EXIT

port=""
for _ in $(seq 1 100); do
  port=$(grep -A1 '<key>WebdavPort</key>' "$portfile" 2>/dev/null | grep -o '[0-9]\+' | tail -n1 || true)
  [ -n "$port" ] && break
  sleep 0.1
done
echo "Serving the device at http://127.0.0.1:${port:-?}/Device/  (Ctrl-C stops)"
wait "$pid"
