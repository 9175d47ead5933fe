#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test.
#   scripts/test.sh --sanitize   builds into build-sanitize/ with AddressSanitizer and
#                                UndefinedBehaviorSanitizer (no recovery) and runs every
#                                test there, the daemon and the server programs included;
#                                any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

if [ "${1:-}" != "--sanitize" ]; then
  bash scripts/build.sh
  cd build
  ctest --output-on-failure -j"$(nproc)" --timeout 600
  exit 0
fi

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAVRIX_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$(nproc)"

# Every instrumented process writes its report to a file of its own here, so that a
# report from a child the tests start (the daemon, a server) is not lost in output
# a test throws away.
reports="$PWD/build-sanitize/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

status=0
(cd build-sanitize && ctest --output-on-failure -j"$(nproc)" --timeout 900) || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  for report in "$reports"/*; do
    echo "== $report"
    cat "$report"
  done
  echo "Sanitizer reports above." >&2
  status=1
fi
exit "$status"
