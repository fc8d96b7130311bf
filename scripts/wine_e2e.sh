#!/usr/bin/env bash
# mivo.sys end to end in Wine: for each case a fresh prefix, the virtual USB
# bus (mivo-vbus.sys) installed on a root device with the case's trace, mivo.sys
# installed from mivo.inf on the controller the bus reports, the trace played
# while mivo-e2e.exe reads every HID collection through hid.dll, then the
# controller unplugged and the bus removed. What the application read is
# compared with mivo-sim's timeline of the same trace (scripts/e2e_compare.py).
#
# The driver sends its start-up reports before any application has the
# collections open (as on Windows, nobody reads them), so each run begins with
# the control application's "reload" at 0 ms: it rebuilds the profiles from the
# registry (the store the case imported after the install, as a user would)
# and delivers every report again. The comparison starts at that write.
#
# Usage: wine_e2e.sh [CASE...]   (base, store, commands; default all)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
out=$here/build/wine-e2e
wdm=$here/build/wdm
sim=$here/build/release/mivo-sim
profile=$here/build/release/mivo-profile
# Report times may differ this much between Wine and the simulator: Wine runs
# the driver's 10 ms worker on the host's scheduler and timers, the bus plays
# each report on its own thread, and the application stamps a report when its
# read completes.
tolerance_ms=${MIVO_E2E_TOLERANCE_MS:-40}

cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(base store commands)

export WINEDEBUG=-all
cleanup() { [ -n "${WINEPREFIX:-}" ] && "$wineserver" -k 2>/dev/null || true; }
trap cleanup EXIT

# run_case NAME TRACE [STORE.reg]
run_case() {
  local name=$1 trace=$2 store=${3:-}
  local dir=$out/$name
  rm -rf "$dir"
  mkdir -p "$dir"
  export WINEPREFIX=$dir/prefix
  cp "$wdm/mivo.sys" "$wdm/mivo.inf" "$wdm/mivo-vbus.sys" "$wdm/mivo-e2e.exe" \
     "$here/tests/wine/vbus/mivo-vbus.inf" "$dir/"
  { echo "0 write f0 02 00 00 # reload: profiles from the registry, every report again"; cat "$trace"; } >"$dir/run.trace"
  # The driver loads with the LED flag 0 (blink patterns dark) until the
  # control application asks otherwise; the simulator's default is 1.
  local sim_args=(--trace "$dir/run.trace" --format jsonl --led-flag 0)
  if [ -n "$store" ]; then
    cp "$store" "$dir/store.reg"
    sim_args+=(--registry "$dir/store.reg")
  fi
  "$sim" "${sim_args[@]}" >"$dir/sim.jsonl"

  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
  timeout 120 "$wineserver" -w || true
  local win_dir='Z:'${dir//\//\\}
  local args=("$win_dir\\mivo-vbus.inf" "$win_dir\\mivo.inf" "$win_dir\\run.trace")
  [ -z "$store" ] || args+=("$win_dir\\store.reg")
  # One process for the session: the drivers' debug output (DbgPrint) goes
  # where it prints its errors, into the log.
  local ok=1
  WINEDEBUG=+debugstr,err+plugplay timeout 300 "$wine" "$dir/mivo-e2e.exe" "${args[@]}" \
    >"$dir/wine.jsonl" 2>"$dir/driver.log" || ok=0
  tr -d '\r' <"$dir/wine.jsonl" >"$dir/wine.jsonl.tmp" && mv "$dir/wine.jsonl.tmp" "$dir/wine.jsonl"
  grep -a '^mivo-e2e:' "$dir/driver.log" | tr -d '\r' | sed "s/^mivo-e2e:/wine-e2e: $name:/"
  if [ "$ok" = 0 ]; then
    echo "wine-e2e: $name: the run in Wine failed (see $dir/driver.log)" >&2
    return 1
  fi
  # The bus's removal ends on the PnP manager's thread after the remove
  # returned: give its last lines a moment, then end the session.
  for _ in $(seq 50); do grep -q 'mivo-vbus: bus removed' "$dir/driver.log" && break; sleep 0.2; done
  "$wineserver" -k 2>/dev/null || true
  python3 "$here/scripts/e2e_compare.py" --tolerance-ms "$tolerance_ms" --driver-log "$dir/driver.log" \
    "$dir/sim.jsonl" "$dir/wine.jsonl" --name "$name"
}

mkdir -p "$out"
failed=()
for c in "${cases[@]}"; do
  case "$c" in
    base) run_case base "$here/examples/press-and-twist.trace" || failed+=(base) ;;
    store)
      "$profile" compile "$here/examples/profiles/set" -o "$out/set.reg" >/dev/null
      run_case store "$here/examples/press-and-twist.trace" "$out/set.reg" || failed+=(store)
      ;;
    commands)
      "$profile" compile "$here/examples/profiles/set" -o "$out/set.reg" >/dev/null
      run_case commands "$here/tests/wine/cases/commands.trace" "$out/set.reg" || failed+=(commands)
      ;;
    *) echo "wine-e2e: no case '$c' (base, store, commands)" >&2; exit 2 ;;
  esac
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "wine-e2e: FAILED: ${failed[*]} (logs in $out)" >&2
  exit 1
fi
echo "wine-e2e: every case read in Wine matches the simulator (${cases[*]})"
