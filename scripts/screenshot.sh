#!/usr/bin/env bash
# Takes a screenshot of Tervalo showing live readings from the card simulator, on a virtual
# display. Usage: scripts/screenshot.sh [main|graph|history] [output.png] [seconds]
# Expects a built tree in build/ (scripts/run.sh makes one; TERVALO_BUILD_DIR names another).
# "history" opens a simulated day-long log in the history window.
set -euo pipefail
[ -n "${TERVALO_TRACE:-}" ] && set -x
cd "$(dirname "$0")/.."

what=${1:-main}
out=$(realpath -m "${2:-docs/screenshots/$what-window.png}")
seconds=${3:-6}
build=${TERVALO_BUILD_DIR:-build}
mkdir -p "$(dirname "$out")"

runtime=$(mktemp -d)
config=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$runtime" "$config"' EXIT
if [ "$what" = history ]; then
  # A furnace's day at three readings a second: six thermocouples through a firing cycle, a
  # little noise, channel 6 open for half an hour and a pause in the readings at noon.
  awk 'BEGIN {
    srand(7); pi = atan2(0, -1)
    for (n = 0; n < 259200; n++) {
      s = int(n / 3); if (s >= 43200) s += 900
      h = int(s / 3600) % 24; m = int(s / 60) % 60
      line = sprintf("2026-12-06,%02d:%02d:%02d,c,", h, m, s % 60)
      for (c = 0; c < 6; c++) {
        if (c == 5 && s > 30000 && s < 31800) { line = line "open,"; continue }
        v = 20 + 60 * c + (300 - 40 * c) * (0.5 - 0.5 * cos(2 * pi * s / 86400 - 0.3 * c)) \
            + (rand() - 0.5) * 2
        line = line sprintf(v < 99.95 ? "%4.1f," : "%4.0f,", v)
      }
      printf "%s\r\n", line
    }
  }' >"$runtime/furnace.csv"
fi
export XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$config
"$build"/tools/tervalo-sim --seed 7 </dev/null >"$runtime/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q '^READY' "$runtime/sim.log" && break; sleep 0.1; done

xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash -c '
  what=$1 out=$2 seconds=$3 build=$4 log=$5
  "$build"/app/tervalo & app=$!
  for _ in $(seq 100); do
    main=$(xdotool search --name "^Tervalo by Quillmar$" 2>/dev/null | head -n1) && [ -n "$main" ] && break
    sleep 0.1
  done
  sleep 0.5
  main=$(xdotool search --onlyvisible --name "^Tervalo by Quillmar$" | head -n1)
  xdotool windowfocus --sync "$main"
  if [ "$what" = history ]; then
    xdotool key alt+v h                     # View > History
    sleep 1
    history=$(xdotool search --onlyvisible --name "^History$" | head -n1)
    xdotool windowfocus --sync "$history" key alt+o
    sleep 1
    xdotool type --delay 20 "$log"
    xdotool key Return
    sleep 1
    xdotool mousemove --window "$history" 640 300   # the cursor line and its values
  else
    xdotool key alt+c                       # Continuous
  fi
  if [ "$what" = graph ]; then xdotool key ctrl+g; fi
  sleep "$seconds"
  if [ "$what" = graph ]; then
    target=$(xdotool search --onlyvisible --name "^Tervalo Graph$" | head -n1)
  elif [ "$what" = history ]; then
    target=$history
  else
    target=$main
  fi
  import -window "$target" "$out"
  kill $app' _ "$what" "$out" "$seconds" "$build" "$runtime/furnace.csv"
echo "$out"
