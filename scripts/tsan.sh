#!/usr/bin/env bash
# Builds varn-cli, varn-unit and the command-line tests with ThreadSanitizer
# into build-tsan/ and runs the tests of several units at once: varn-cli then
# drives every unit from a thread of its own, and any data race between the
# units' links and engines ends it with status 66, which fails the test.
#   scripts/tsan.sh [test function ...]   (default: severalUnits)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${VARN_TSAN_BUILD:-$here/build-tsan}"
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_TSAN=ON >/dev/null
cmake --build "$dir" --target varn-cli varn-unit tst_cli -j2
functions=("$@")
[ ${#functions[@]} -eq 0 ] && functions=(severalUnits)
TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
  QT_QPA_PLATFORM=offscreen "$dir/bin/tst_cli" "${functions[@]}"
