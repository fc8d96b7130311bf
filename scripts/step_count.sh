#!/usr/bin/env bash
# Instructions per worker step, counted by callgrind on the release build's
# mivo_step_count (bench/step/step_instructions.cpp). Prints
#   FIGURE step.base.idle <n> instructions
#   FIGURE step.base.moving <n> instructions
#   FIGURE step.per_bind <n> instructions   (the dearer of idle and moving)
# Usage: scripts/step_count.sh [path to mivo_step_count]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$here/build/release/mivo_step_count}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.%p" "$program" >/dev/null 2>"$out/log" || {
    cat "$out/log" >&2
    exit 1
}

# Each dump names its phase, the steps it ran and the profile's binds:
#   desc: Trigger: Client Request: base.idle 2000 19
# and holds the phase's instruction count in its summary line.
for f in "$out"/cg.*; do
    awk '/^desc: Trigger: Client Request:/ { name = $5; steps = $6; binds = $7 }
         /^summary:/ { total = $2 }
         END { if (name != "") printf "%s %d %d %.1f\n", name, steps, binds, total / steps }' "$f"
done | awk '
    { per_step[$1] = $4; binds[$1] = $3 }
    END {
        printf "FIGURE step.base.idle %.0f instructions\n", per_step["base.idle"]
        printf "FIGURE step.base.moving %.0f instructions\n", per_step["base.moving"]
        extra = binds["extra.idle"] - binds["base.idle"]
        idle = (per_step["extra.idle"] - per_step["base.idle"]) / extra
        moving = (per_step["extra.moving"] - per_step["base.moving"]) / extra
        printf "per bind: %.1f idle, %.1f moving\n", idle, moving > "/dev/stderr"
        printf "FIGURE step.per_bind %.2f instructions\n", (idle > moving ? idle : moving)
    }'
