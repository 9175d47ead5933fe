#!/usr/bin/env bash
# Installs everything the project needs to build and test, from Debian's registry.
# Idempotent and quiet: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libplist-dev libsdbus-c++-dev libsystemd-dev
  dbus-daemon dbus-bin
  googletest libgtest-dev libgmock-dev
  curl cadaver rclone litmus
  libxml2-utils   # xmllint, which checks answers are well-formed XML
  gvfs-backends gvfs-daemons libglib2.0-bin davfs2   # the desktop's WebDAV clients
  systemd   # systemd-analyze, which checks the installed user units
  clang libclang-rt-dev libxml2-dev   # the fuzz targets (libFuzzer; libxml2 reads answers)
                                      # and the daemon (libxml2 reads request documents)
  kde-cli-tools kio-fuse davix lftp fuse3   # more desktop clients: KIO, kio-fuse, davix, lftp
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
