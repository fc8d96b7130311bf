#!/usr/bin/env bash
# Loads build/wdm/mivo.sys as a kernel service in Wine, a Windows kernel and
# HID class driver nobody here wrote: DriverEntry must run (its banner in
# Wine's debug output) and return the HID class driver's STATUS_SUCCESS for
# the minidriver registration, and Wine must finish the driver's start.
# Proves the image loads, relocates and resolves its imports. A fresh
# prefix in build/wine each time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
wine=/usr/lib/wine/wine64
export WINEPREFIX=$here/build/wine/prefix
log=$here/build/wine/start.log
rm -rf "$here/build/wine"
mkdir -p "$here/build/wine"

cleanup() { WINEDEBUG=-all /usr/lib/wine/wineserver -k 2>/dev/null || true; }
trap cleanup EXIT

WINEDEBUG=-all timeout 300 "$wine" wineboot -i >/dev/null 2>&1
# Let the first boot finish (its service manager holds the database meanwhile).
timeout 120 /usr/lib/wine/wineserver -w || true
cp "$here/build/wdm/mivo.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/mivo.sys"
WINEDEBUG=-all timeout 120 "$wine" sc create mivo type= kernel start= demand \
  binpath= 'C:\windows\system32\drivers\mivo.sys' >/dev/null 2>&1
# The driver runs in a device host process that the service manager starts,
# and prints where the process that started the Wine server prints: so the
# start below begins a fresh server, with the debug channels on.
timeout 120 /usr/lib/wine/wineserver -w || true
# Right after the prefix is made, the service manager may still hold its
# database (error 1055) or not know the new service yet (1060): ask again
# for a while.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  WINEDEBUG=+debugstr,+ntoskrnl timeout 120 "$wine" sc start mivo >"$log" 2>&1 || true
  grep -q -E 'failed to (open|start) service (1060|1055)' "$log" || break
  sleep 1
done

# The driver's trace lines, as Wine's DbgPrint shows them.
trace=$(sed -n 's/.*vDbgPrintExWithPrefix [0-9a-f:]*: //p' "$log")
fail() {
  echo "wine: $1 (see $log)" >&2
  printf '%s\n' "$trace" | sed 's/^/  trace: /' >&2
  exit 1
}
grep -q 'MIVO-Zarvik' <<<"$trace" || fail "DriverEntry did not run: no banner"
# "> Leave: DriverEntry: " is followed by the registration's status.
status=$(grep -A1 '> Leave: DriverEntry:' <<<"$trace" | sed -n 2p | tr -d ' \r')
[ "$status" = 0 ] || fail "DriverEntry returned '$status', not STATUS_SUCCESS (HidRegisterMinidriver)"
grep -q 'init done for L"mivo"' "$log" || fail "Wine did not finish loading the driver"
echo "wine: mivo.sys loaded, DriverEntry ran and registered with Wine's HID class driver"
