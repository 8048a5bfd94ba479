#!/usr/bin/env bash
# Installs what is missing, builds (optimised, into build/) and runs the
# benchmark program, which prints one table: the time the host adds to each
# exchange with the programmer unit (against bare clients on the same
# pseudo-terminal, with and without 57,600-baud emulation), the host's CPU
# while it waits, and the buffer window and Intel HEX file times.
# Extra arguments go to varn-bench (--repeat N, --baud-repeat N,
# --editor-repeat N, --no-baud). Takes about two minutes.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${VARN_BENCH_BUILD:-$here/build}"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$dir" >/dev/null
echo "Machine: $(nproc) processors, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
QT_QPA_PLATFORM=offscreen "$dir/bin/varn-bench" "$@"
