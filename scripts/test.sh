#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite, then builds
# it again with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
# and runs it once more: a read or write outside memory, a use after free or
# undefined behaviour anywhere in a test stops that test with a report.
# VARN_SKIP_SANITIZE=1 leaves the second pass out.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build"
(cd "$here/build" && ctest --output-on-failure -j"$(nproc)")

if [ "${VARN_SKIP_SANITIZE:-}" = "" ]; then
  bash "$here/scripts/build.sh" "$here/build-asan" -DVARN_SANITIZE=ON
  # Leak reports stay off (set per test): Qt's plugins keep allocations
  # until exit on purpose.
  (cd "$here/build-asan" &&
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --output-on-failure -j"$(nproc)")
fi
