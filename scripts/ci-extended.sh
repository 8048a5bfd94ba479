#!/usr/bin/env bash
# The check too slow for .ci/run's hour on a two-core machine: clang-tidy with
# .clang-tidy over every source of a build (scripts/tidy.sh). Run it before a
# release, or on a larger machine; it builds build/ first when needed.
#   scripts/ci-extended.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
VARN_SETUP_EXTRA="clang-tidy ${VARN_SETUP_EXTRA:-}" bash "$here/scripts/setup.sh"
start=$SECONDS
bash "$here/scripts/tidy.sh" "${1:-$here/build}"
echo "clang-tidy: $((SECONDS - start)) s"
