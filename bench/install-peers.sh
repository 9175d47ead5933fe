#!/usr/bin/env bash
# Installs the servers and tools that bench/compare.sh measures the daemon against,
# from Debian's registry. Kept apart from scripts/setup.sh: nothing here is needed to
# build or test the daemon. Idempotent and quiet: packages already present are left
# alone, and the package lists are refreshed only when something is missing.
set -euo pipefail

packages=(
  nginx-light libnginx-mod-http-dav-ext   # nginx with PROPFIND
  lighttpd lighttpd-mod-webdav
  apache2                                 # mod_dav and mod_dav_fs ship with it
  rclone wrk curl python3                 # python3: the client driver
  gnuplot-nox                             # draws the ratio chart as SVG
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# compare.sh runs each server in the foreground with a configuration of its own, on a
# port it picks; a system service a package may start is neither used nor stopped.
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
