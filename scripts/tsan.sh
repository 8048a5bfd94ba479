#!/usr/bin/env bash
# Builds varn-cli, varn-unit, the command-line tests and the session tests
# with ThreadSanitizer into build-tsan/ and runs the tests of several units at
# once and the session tests: varn-cli then drives every unit from a thread of
# its own (a unit group's session hosts), a session runs on a worker thread,
# and any data race ends the test with status 66, which fails the run.
#   scripts/tsan.sh [tst_cli test function ...]   (default: severalUnits, repeat,
#                                                  and every tests/session/tst_*)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${VARN_TSAN_BUILD:-$here/build-tsan}"
functions=("$@")
session=()
if [ ${#functions[@]} -eq 0 ]; then
  functions=(severalUnits repeat)
  for f in "$here"/tests/session/tst_*.cpp; do
    [ -e "$f" ] && session+=("$(basename "$f" .cpp)")
  done
fi
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_TSAN=ON >/dev/null
cmake --build "$dir" --target varn-cli varn-unit tst_cli "${session[@]}" -j2
# QProcess forks from worker threads to run hooks and then execs at once;
# the sanitizer's refusal of a fork in a threaded process does not apply.
# Qt comes from Debian's packages, not built with the sanitizer, which cannot
# see Qt's own synchronisation and so reports the memcmp and free calls Qt
# makes on its own shared tables as races. Seen here: a unit's thread reads
# Qt's metatype registry while starting a hook's QProcess; the registry is
# freed at exit, after that thread was joined, and the free still read as a
# race. Calls made from Qt are therefore not checked; every access of our own
# code still is (a lock dropped from a session host's mailbox is caught, and
# so is a unit's result read while the unit still runs).
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 die_after_fork=0 ignore_noninstrumented_modules=1 second_deadlock_stack=1 suppressions=$here/scripts/tsan.supp"
export QT_QPA_PLATFORM=offscreen
"$dir/bin/tst_cli" "${functions[@]}"
for t in "${session[@]}"; do
  "$dir/bin/$t"
done
