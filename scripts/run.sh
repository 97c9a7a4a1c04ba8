#!/usr/bin/env bash
# Installs what is missing, builds Tervalo, starts the card simulator and starts Tervalo on it.
# The simulator announces itself as port 1, so the program reads it without any set-up.
# Without a display the program runs on a virtual one and a screenshot is saved instead.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The program and the simulator only: no tests, no benchmarks.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTERVALO_BUILD_TESTS=OFF \
  -DTERVALO_BUILD_BENCH=OFF
cmake --build build

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running Tervalo on a virtual display with the card simulator,"
  echo "in continuous acquisition for a few seconds."
  shot=$(scripts/screenshot.sh main build/tervalo-screenshot.png 6)
  echo "Screenshot of what you would see: $shot"
  exit 0
fi

build/tools/tervalo-sim </dev/null >build/simulator.log 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q '^READY' build/simulator.log && break; sleep 0.1; done
echo "Card simulator: $(grep -m1 '^READY' build/simulator.log | cut -d' ' -f2-)"
build/app/tervalo
