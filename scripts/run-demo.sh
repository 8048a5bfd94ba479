#!/usr/bin/env bash
# Installs what is missing, builds, starts the virtual programmer unit on a
# pseudo-terminal linked as com1 in a demo working folder that holds the demo
# configuration, and starts the program there.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build"

demo="${VARN_DEMO_DIR:-$here/.demo}"
mkdir -p "$demo"
for f in varn.cfg varn.dev auto.cfg sample.hex; do
  # Keep what the program wrote there last time (settings saved at exit).
  [ -e "$demo/$f" ] || cp "$here/demo/$f" "$demo/$f"
done
# The unit's device table must match the program's.
cp "$here/demo/varn.dev" "$demo/varn.dev"

rm -f "$demo/com1"
unit_args=(--dev "$demo/varn.dev" --link "$demo/com1")
if [ "${VARN_DEMO_FAST:-}" = "" ]; then
  unit_args+=(--baud-emulation)
fi
"$here/build/bin/varn-unit" "${unit_args[@]}" > "$demo/unit.out" 2> "$demo/unit.err" &
unit=$!
trap 'kill "$unit" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [ -e "$demo/com1" ] && break
  sleep 0.1
done
if [ ! -e "$demo/com1" ]; then
  echo "The virtual programmer unit did not start:" >&2
  cat "$demo/unit.err" >&2
  exit 1
fi
echo "Virtual programmer unit on $(head -n 1 "$demo/unit.out"), linked as $demo/com1"

cd "$demo"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting the program on a virtual display (xvfb-run)."
  xvfb-run -a "$here/build/bin/varn" "$@"
else
  "$here/build/bin/varn" "$@"
fi
