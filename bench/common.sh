# Shell helpers the bench scripts share; source from the project's top folder.

# Starts build/bin/webdav on the device folder $1 with $2 as its home folder (made if
# missing; the daemon's standard error goes to $2/stderr), any further arguments as
# NAME=value settings of its environment. Sets webdav_pid and webdav_port; returns 1
# when the daemon did not say within 5 s that it listens.
start_webdav() {
  local device=$1 home=$2
  shift 2
  mkdir -p "$home"
  # No session bus: diagnostics go to standard error rather than to a log server.
  env HOME="$home" PAVRIX_DEVICE="$device" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
    "$@" build/bin/webdav 2>"$home/stderr" &
  webdav_pid=$!
  local _
  for _ in $(seq 1 100); do grep -q "listening on" "$home/stderr" 2>/dev/null && break; sleep 0.05; done
  webdav_port=$(grep -o 'listening on [0-9]*' "$home/stderr" | grep -o '[0-9]*$' || true)
  [ -n "$webdav_port" ] || { echo "build/bin/webdav did not start:" >&2; cat "$home/stderr" >&2; return 1; }
}
