#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs every target for the
# given number of seconds (default 60), all at the same time. The seeds in
# fuzz/corpus/<target>/ are read, never written: what a run learns goes to
# build-fuzz/corpus/<target>/, findings to build-fuzz/findings/<target>/.
# Exit status 1 when a target found something.
#   scripts/fuzz.sh [seconds-per-target] [target ...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
dir="${VARN_FUZZ_BUILD:-$here/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARN_FUZZ=ON -DVARN_BUILD_TESTS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$here"/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$f" .cpp)")
  done
fi
cmake --build "$dir" --target "${targets[@]}" -j"$(nproc)"

pids=()
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t" "$dir/findings/$t" "$dir/logs"
  # Qt's offscreen platform is never needed, but keep Qt quiet and headless.
  QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
    "$dir/bin/$t" "$dir/corpus/$t" "$here/fuzz/corpus/$t" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/findings/$t/" >"$dir/logs/$t.log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
  t="${targets[$i]}"
  if ! wait "${pids[$i]}"; then
    status=1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/logs/$t.log" | grep -o '[0-9]*$' || true)
  corpus=$(find "$dir/corpus/$t" -type f | wc -l)
  findings=$(find "$dir/findings/$t" -type f | wc -l)
  printf '%-24s %10s executions  %6s corpus files  %3s findings  %ss\n' \
    "$t" "${runs:-?}" "$corpus" "$findings" "$seconds"
  if [ "$findings" -ne 0 ]; then
    status=1
    echo "  see $dir/logs/$t.log and $dir/findings/$t/"
  fi
done
exit $status
