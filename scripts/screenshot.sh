#!/usr/bin/env bash
# Takes a screenshot of Tervalo showing live readings from the card simulator, on a virtual
# display. Usage: scripts/screenshot.sh [main|graph] [output.png] [seconds]
# Expects a built tree in build/ (scripts/run.sh makes one).
set -euo pipefail
[ -n "${TERVALO_TRACE:-}" ] && set -x
cd "$(dirname "$0")/.."

what=${1:-main}
out=$(realpath -m "${2:-docs/screenshots/$what-window.png}")
seconds=${3:-6}
mkdir -p "$(dirname "$out")"

runtime=$(mktemp -d)
config=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$runtime" "$config"' EXIT
export XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$config
build/tools/tervalo-sim --seed 7 </dev/null >"$runtime/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q '^READY' "$runtime/sim.log" && break; sleep 0.1; done

xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash -c '
  what=$1 out=$2 seconds=$3
  build/app/tervalo & app=$!
  for _ in $(seq 100); do
    main=$(xdotool search --name "^Tervalo by Quillmar$" 2>/dev/null | head -n1) && [ -n "$main" ] && break
    sleep 0.1
  done
  sleep 0.5
  main=$(xdotool search --onlyvisible --name "^Tervalo by Quillmar$" | head -n1)
  xdotool windowfocus --sync "$main"
  xdotool key alt+c                         # Continuous
  if [ "$what" = graph ]; then xdotool key ctrl+g; fi
  sleep "$seconds"
  if [ "$what" = graph ]; then
    target=$(xdotool search --onlyvisible --name "^Tervalo Graph$" | head -n1)
  else
    target=$main
  fi
  import -window "$target" "$out"
  kill $app' _ "$what" "$out" "$seconds"
echo "$out"
