#!/usr/bin/env bash
# Measures the daemon against nginx (dav-ext), lighttpd (mod_webdav), apache2
# (mod_dav_fs) and rclone, all serving one folder on loopback (ours as an emulated
# device's fs/ with no added latency), then a desktop browser's opening of a large
# folder on a device behind a slow link, and a 64 MiB GET and PUT over a link of
# 2 ms a call and 2 MB/s. Prints the tables and writes them with the
# ratio chart to bench/results/compare.md and compare.svg, beside the raw figures
# (*.tsv: every repetition, memory in KiB, first answer bytes, the browser's steps;
# compare.dat: ratios).
#   bench/compare.sh     (installs the peers, builds the daemon; about four minutes)
#   REPS=5 bench/compare.sh   (medians of 5 repetitions rather than 3)
# Every server runs in the foreground on a port picked here and is stopped by pid.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bash bench/install-peers.sh
bash scripts/setup.sh
bash scripts/build.sh webdav >/dev/null
py=/usr/bin/python3   # Debian's, as installed with the peers

# The servers' folder is kept in memory (/dev/shm) where there is one. On a disk, the
# time a server takes to make a file depends on what all of them removed nearby in
# the last minutes (ext4 without a journal steps over recently freed inodes), and
# W6 measured that history more than the server: the same server's W6 varied
# fivefold between runs. BENCH_DIR names another place.
base=${BENCH_DIR:-/dev/shm}
{ [ -d "$base" ] && [ -w "$base" ]; } || base=/tmp
work=$(mktemp -d "$base/webdav-compare.XXXXXX")
chmod 755 "$work"   # apache2 serves as www-data when started by root
declare -A pid
cleanup() {
  local p
  for p in "${pid[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
results=bench/results
mkdir -p "$results"
rm -f "$results"/*.tsv

echo "laying out the folder..." >&2
$py bench/davbench.py layout "$work"
data=$work/device/fs

free_port() {
  $py -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
apache_user=""
[ "$(id -u)" -ne 0 ] || apache_user="User www-data
Group www-data"
# config NAME: bench/peers/NAME.conf with its fields filled in; prints the copy's path.
config() {
  sed -e "s|@PORT@|$port|g" -e "s|@DATA@|$data|g" -e "s|@TMP@|$work/$1|g" \
      -e "s|@USER@|${apache_user//$'\n'/\\n}|" "bench/peers/$1.conf" > "$work/$1/$1.conf"
  echo "$work/$1/$1.conf"
}
# The servers run on one processor and the client on another. Left to the scheduler,
# a server that happened to share the client's processor answered a small request in
# about half the time of one that did not, and where each landed changed between
# repetitions and runs. This shell takes the servers' processor, so every server
# started below inherits it; the client is started on the other. With a single
# processor nothing is pinned.
read -r client_cpu server_cpu _ <<< "$($py -c 'import os; print(*sorted(os.sched_getaffinity(0)))')"
client=()
if [ -n "$server_cpu" ]; then
  taskset -p -c "$server_cpu" $$ >/dev/null
  client=(taskset -c "$client_cpu")
fi
servers=()
# start NAME COMMAND...: runs a peer that listens on $port and waits (5 s at most)
# until it answers.
start() {
  local name=$1 _
  shift
  "$@" >"$work/$name/out" 2>&1 &
  pid[$name]=$!
  servers+=("$name=$port")
  for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0; sleep 0.1; done
  echo "$name did not start:" >&2
  cat "$work/$name/out" >&2
  exit 1
}
for name in nginx lighttpd apache2 rclone ours; do
  # The folder each server writes into; open to all for apache2 when it drops root.
  mkdir -p "$data/put-$name" && chmod 777 "$data/put-$name"
done
for name in nginx lighttpd apache2 rclone; do
  mkdir -p "$work/$name"
  chmod 777 "$work/$name"   # apache2's lock database, written after it drops root
  port=$(free_port)
  case $name in
    nginx) start nginx nginx -p "$work/nginx" -c "$(config nginx)" -e "$work/nginx/error.log" ;;
    lighttpd) start lighttpd lighttpd -D -f "$(config lighttpd)" ;;
    apache2) start apache2 apache2 -X -f "$(config apache2)" ;;
    rclone) start rclone rclone serve webdav --config "$work/rclone/rclone.conf" \
              --addr "127.0.0.1:$port" "$data" ;;
  esac
done
start_webdav "$work/device" "$work/home"
pid[ours]=$webdav_pid
servers+=("ours=$webdav_port/Device")
status() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }   # KiB
echo -e "ours\tidle-start\t$(status "$webdav_pid" VmRSS)" > "$results/mem.tsv"

echo "measuring ${servers[*]}..." >&2
"${client[@]}" $py bench/davbench.py measure --data "$data" --out "$results/times.tsv" --reps "${REPS:-3}" "${servers[@]}"
echo "timing first answer bytes..." >&2
"${client[@]}" $py bench/davbench.py firstbyte --out "$results/firstbyte.tsv" "${servers[@]}"
last_request=$SECONDS
for name in "${!pid[@]}"; do echo -e "$name\tpeak\t$(status "${pid[$name]}" VmHWM)"; done >> "$results/mem.tsv"
for name in nginx lighttpd apache2 rclone; do
  kill "${pid[$name]}"
  wait "${pid[$name]}" 2>/dev/null || true
  unset "pid[$name]"
done

echo "opening a 1,000-file folder on a slow device, three times..." >&2
for run in 1 2 3; do
  trace=$work/trace-$run
  : > "$trace"
  start_webdav "$work/slow" "$work/home-slow-$run" PAVRIX_DEVICE_TRACE="$trace"
  pid[slow]=$webdav_pid
  "${client[@]}" $py bench/davbench.py browse "$webdav_port" /Device "$trace" | sed "s/^/$run\t/" >> "$results/browse.tsv"
  kill "$webdav_pid"
  wait "$webdav_pid" 2>/dev/null || true
  unset "pid[slow]"
done

echo "a 64 MiB GET and PUT over a slow link..." >&2
trace=$work/trace-link
: > "$trace"
start_webdav "$work/link" "$work/home-link" PAVRIX_DEVICE_TRACE="$trace"
pid[link]=$webdav_pid
"${client[@]}" $py bench/davbench.py link "$webdav_port" /Device "$trace" "$webdav_pid" | sed "s/^/1\t/" > "$results/link.tsv"
kill "$webdav_pid"
wait "$webdav_pid" 2>/dev/null || true
unset "pid[link]"

# A cached file serves for a few seconds: after 40 s without requests the daemon should be back
# to what it held at start.
idle_wait=$((40 - (SECONDS - last_request)))
[ "$idle_wait" -le 0 ] || sleep "$idle_wait"
echo -e "ours\tidle-40s\t$(status "${pid[ours]}" VmRSS)" >> "$results/mem.tsv"

$py bench/davreport.py --times "$results/times.tsv" --mem "$results/mem.tsv" --firstbyte "$results/firstbyte.tsv" \
  --browse "$results/browse.tsv" \
  --link "$results/link.tsv" \
  --md "$results/compare.md" --chart "$results/compare.dat"
gnuplot -e "data='$results/compare.dat'; out='$results/compare.svg'" bench/chart.gp
cat "$results/compare.md"
echo "(also in $results/compare.md; the chart is $results/compare.svg)"
