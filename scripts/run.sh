#!/usr/bin/env bash
# Sets up a fresh machine, builds, and starts the daemon in the foreground.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
exec build/bin/webdav
