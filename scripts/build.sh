#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $1, with extra
# CMake arguments after it). VARN_WERROR=1 makes every warning an error (CI).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$here/build}"
shift || true
werror=OFF
[ -n "${VARN_WERROR:-}" ] && werror=ON
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=$werror "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
