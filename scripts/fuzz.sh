#!/usr/bin/env bash
# Builds every fuzz target of fuzz/ into build-fuzz/ (clang with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for SECONDS
# (default 20) over a copy of its seed corpus fuzz/corpus/<target>/, so that the
# inputs a run finds never grow the repository. Fails on any crash, leak,
# sanitizer report or broken property; the input that caused it is kept in
# build-fuzz/findings/<target>/ and the run's log beside it.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
bash scripts/setup.sh

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DPAVRIX_FUZZ=ON >/dev/null
targets=()
for source in fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
  findings="$PWD/build-fuzz/findings/$target"
  rm -rf "$findings"
  mkdir -p "$findings" "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  if build-fuzz/bin/"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$findings/" "$work/$target" >"$findings/log" 2>&1; then
    echo "$target: $(grep -E '^#[0-9]+' "$findings/log" | tail -n 1)"
  else
    echo "$target: FAILED, see $findings/"
    grep -E 'ERROR|SUMMARY|property broken|runtime error' "$findings/log" | head -n 5 || true
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
