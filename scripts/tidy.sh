#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy (the README's naming rule for
# data members and a small set of bug-finding checks) over every source of
# the build in $1 (default build/; configured when it has no compile
# commands). Any finding fails the run. Installs clang-tidy when missing.
#   scripts/tidy.sh [build-dir] [file-regex ...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
VARN_SETUP_EXTRA="clang-tidy ${VARN_SETUP_EXTRA:-}" bash "$here/scripts/setup.sh"
dir="${1:-$here/build}"
shift || true
if [ ! -f "$dir/compile_commands.json" ]; then
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Sources include generated files (moc output, varn_version.h): those exist
# once the tree is built (in CI it already is).
cmake --build "$dir" -j"$(nproc)" >/dev/null
folders='core|link|files|editor|functions|production|jobs|session|serve|widgets|ui|tools|tests'
# clang 14 cannot compile a lambda that captures a structured binding (C++20,
# which gcc builds); the files that do are left out until they stop.
skip='tests/ui/tst_mdimain\.cpp'
files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(git -C "$here" ls-files '*.cpp' | grep -E "^($folders)/" |
    grep -Ev "^($skip)$" | sed "s|^|^$here/|; s|$|\$|")
fi
run-clang-tidy -quiet -p "$dir" -j "$(nproc)" \
  -header-filter="^$here/($folders)/" "${files[@]}"
