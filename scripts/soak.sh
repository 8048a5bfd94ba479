#!/usr/bin/env bash
# Soak of the production log on a line: STATIONS stations x CHIPS chips on one
# PostgreSQL log, through several-unit varn-cli runs (UNITS units a run)
# against varn-unit instances, some with injected communication faults, with
# two kill -9s of a running varn-cli and a database restart. Each varn-unit
# instance is one chip: its memory is saved when it ends and its frames are
# logged. At the end, what waits in the local journal is sent on and the
# figures are printed: chips that received a program byte, records,
# interrupted records, and the serial number read back from every chip.
#
#   bash scripts/soak.sh                 # 3 stations x 100 chips, build/ binaries
#   STATIONS=2 CHIPS=20 bash scripts/soak.sh
#
# Exit status 0 when every number read back is in one chip only and every
# chip that received a program byte has its record; 1 otherwise; 2 when the
# soak could not run.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
cli=$build/bin/varn-cli
unit=$build/bin/varn-unit
stations=${STATIONS:-3}
chips=${CHIPS:-100}
units=${UNITS:-4}
RANDOM=${SEED:-7}
work=${SOAK_DIR:-$(mktemp -d /tmp/varn-soak.XXXXXX)}
# The local journal goes into the soak's folder, not the user's.
export XDG_DATA_HOME=$work/data
mkdir -p "$work/chips" "$XDG_DATA_HOME"
chmod 755 "$work"
for program in "$cli" "$unit"; do
    [ -x "$program" ] || { echo "soak: $program is missing (bash scripts/build.sh)"; exit 2; }
done
if [ $((chips % units)) -ne 0 ]; then echo "soak: CHIPS must be a multiple of UNITS"; exit 2; fi
rounds=$((chips / units))
# The rounds of the two kill -9s: early on station 1, late on station 2.
kill1=$((rounds < 3 ? rounds : 3))
kill2=$((rounds > 2 ? rounds - 2 : 1))

# --- a throwaway PostgreSQL server (as tools/pgserver does it) ---------------
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -n "$bin" ] && [ -x "$bin/initdb" ] || { echo "soak: PostgreSQL is not installed (scripts/setup.sh)"; exit 2; }
pgdir=$work/pg
mkdir -p "$pgdir"
as_pg=()
if [ "$(id -u)" = 0 ]; then chown postgres: "$pgdir"; as_pg=(runuser -u postgres --); fi
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
pgctl() {
    "${as_pg[@]}" "$bin/pg_ctl" -D "$pgdir/data" -l "$pgdir/log" -w \
        -o "-k $pgdir -c listen_addresses=127.0.0.1 -p $port" "$@" >/dev/null
}
"${as_pg[@]}" "$bin/initdb" -D "$pgdir/data" -A trust -U postgres --no-sync >/dev/null ||
    { echo "soak: initdb failed"; exit 2; }
pgctl start || { echo "soak: the database server did not start"; cat "$pgdir/log"; exit 2; }
trap 'pgctl -m fast stop' EXIT
url=postgresql://postgres@127.0.0.1:$port/postgres
echo "soak: $stations stations x $chips chips, $units units a run, log $url, folder $work"

# --- stations ---------------------------------------------------------------
head -c 8192 /dev/urandom >"$work/image.bin"
for s in $(seq 1 "$stations"); do
    mkdir -p "$work/station-$s"
    cp "$top/demo/varn.cfg" "$top/demo/varn.dev" "$top/demo/auto.cfg" "$work/station-$s/"
done
(cd "$work/station-1" && "$cli" --log "$url" --serial-first 1 --serial-length 4 \
    series create soak) || { echo "soak: the series could not be created"; exit 2; }

# One fault in about four units: a reply lost (sent again with --retries), a
# late reply, garbage before a reply, or the unit vanishing mid-run.
fault() {
    local k=$((RANDOM % 1500 + 2))
    case $((RANDOM % 12)) in
    0) echo --no-answer $k ;;
    1) echo --late $k:400 ;;
    2) echo --garbage $k:3 ;;
    *) ;;
    esac
    [ $((RANDOM % 16)) -eq 0 ] && echo --close-after $((RANDOM % 1500 + 10))
}

# Waits until a chip of the run from chip $1 is being programmed (its first
# program block came).
when_programming() {
    local i u
    for i in $(seq 1 500); do
        for u in $(seq 0 $((units - 1))); do
            grep -qs '^14 ' "$work/chips/chip-$(($1 + u)).frames" && return 0
        done
        sleep 0.02
    done
    return 1
}

# kill -9 of the running varn-cli in the middle of a chip.
kill_when_programming() {
    when_programming "$2" && sleep 0.05 && kill -9 "$1" 2>/dev/null &&
        echo "soak: kill -9 of varn-cli while programming chips $2.."
}

# A 2-second database restart while chips are being programmed.
restart_when_programming() {
    when_programming "$1" || return
    echo "soak: database restart while programming chips $1.."
    pgctl -m fast stop
    sleep 2
    pgctl start
}

station() {
    local s=$1 r u chip first
    cd "$work/station-$s" || return
    for r in $(seq 1 "$rounds"); do
        local pids=() ports=()
        first=$(((s - 1) * chips + (r - 1) * units + 1))
        for u in $(seq 0 $((units - 1))); do
            chip=$((first + u))
            # shellcheck disable=SC2046
            "$unit" --dev varn.dev --program-delay 1 --save-memory "$work/chips/chip-$chip.bin" \
                --log "$work/chips/chip-$chip.frames" $(fault) >"$work/chips/chip-$chip.out" 2>&1 &
            pids+=($!)
        done
        for u in $(seq 0 $((units - 1))); do
            local out=$work/chips/chip-$((first + u)).out tries=0
            while ! [ -s "$out" ] && [ $tries -lt 250 ]; do sleep 0.02; tries=$((tries + 1)); done
            ports+=(--port "$(head -1 "$out")")
        done
        "$cli" -q --log "$url" --station "soak-$s" --timeout 300 --retries 2 --device "FLASH 8K" \
            --serial soak --serial-address 10 --serial-overwrite "${ports[@]}" load ../image.bin erase blank program verify \
            >"run-$r.out" 2>&1 &
        local clipid=$!
        if { [ "$s" -eq 1 ] && [ "$r" -eq "$kill1" ]; } || { [ "$s" -eq 2 ] && [ "$r" -eq "$kill2" ]; }; then
            kill_when_programming $clipid "$first"
        fi
        if [ "$s" -eq "$stations" ] && [ "$r" -eq $(((rounds + 1) / 2)) ]; then
            restart_when_programming "$first" &
        fi
        { wait $clipid; } 2>/dev/null
        echo "$r $?" >>statuses
        kill -TERM "${pids[@]}" 2>/dev/null
        wait "${pids[@]}" 2>/dev/null
    done
}

for s in $(seq 1 "$stations"); do station "$s" & done
wait
sleep 1
(cd "$work/station-1" && "$cli" --log "$url" log sync && "$cli" --log "$url" export "$work/records.csv") ||
    echo "soak: the records could not all be read back"

# --- figures ------------------------------------------------------------------
python3 - "$work" "$((stations * chips))" <<'PY'
import csv, os, sys
work, total = sys.argv[1], int(sys.argv[2])
chips = {}
for n in range(1, total + 1):
    base = os.path.join(work, "chips", "chip-%d" % n)
    try:
        frames = open(base + ".frames").read().splitlines()
    except OSError:
        frames = []
    got_byte = any(f.startswith("14 ") for f in frames)
    serial = None
    try:
        field = open(base + ".bin", "rb").read()[0x10:0x14]
        if len(field) == 4 and field != b"\xff" * 4:
            serial = int.from_bytes(field, "big")
    except OSError:
        pass
    chips[n] = (got_byte, serial)
records, every = [], []
try:
    with open(os.path.join(work, "records.csv"), newline="") as f:
        every = list(csv.DictReader(f))
        records = [r for r in every if r["serial_series"] == "soak"]
except OSError:
    pass
programmed = [n for n, (b, _) in chips.items() if b]
numbers = {}
for n, (b, serial) in chips.items():
    if serial is not None:
        numbers.setdefault(serial, []).append(n)
twice = {k: v for k, v in numbers.items() if len(v) > 1}
by_number = {}
for r in records:
    by_number.setdefault(int(r["serial_number"]), []).append(r)
lost = [n for n in programmed if chips[n][1] is not None and chips[n][1] not in by_number]
unnumbered = [n for n in programmed if chips[n][1] is None]
spent_twice = {k: v for k, v in by_number.items()
               if sum(1 for r in v if r.get("program_bytes_sent") == "1") > 1}
results = {}
for r in records:
    results[r["result"]] = results.get(r["result"], 0) + 1
print("chips:                          %d" % total)
print("chips that received a byte:     %d" % len(programmed))
print("serial numbers read back:       %d (distinct %d)" % (sum(len(v) for v in numbers.values()), len(numbers)))
print("numbers in more than one chip:  %d %s" % (len(twice), sorted(twice.items())[:10]))
print("records (series soak):          %d  %s" % (len(records), ", ".join("%s %d" % kv for kv in sorted(results.items()))))
print("records (all):                  %d" % len(every))
print("interrupted records:            %d (with a number: %d)" % (
    sum(1 for r in every if r["result"] == "interrupted"), results.get("interrupted", 0)))
print("records with program bytes:     %d" % sum(1 for r in records if r.get("program_bytes_sent") == "1"))
print("numbers with 2+ spent records:  %d" % len(spent_twice))
print("programmed chips, no record:    %d %s" % (len(lost), lost[:10]))
print("programmed chips, no number:    %d %s" % (len(unnumbered), unnumbered[:10]))
sys.exit(0 if not twice and not lost and not spent_twice else 1)
PY
