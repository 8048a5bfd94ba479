#!/usr/bin/env bash
# Every tracked C++ source and header formatted as .clang-format says:
# clang-format lists each difference and the script fails on the first file
# that has one. Fix with: clang-format -i FILE
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
