#!/usr/bin/env bash
# Installs what is missing, builds Tervalo with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test; then builds the fuzz targets with clang and runs each for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test

# How long each step took, so that a slow suite shows where its time goes.
step=$(date +%s)
took() { echo "== $1: $(( $(date +%s) - step )) s"; step=$(date +%s); }
took "installing"

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTERVALO_SANITIZE=ON
cmake --build build-test
took "building with sanitizers"
(cd build-test && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j2)
took "the tests"

# The settings store once more, built for Windows and run under Wine, so its registry backend
# meets a real implementation of the registry calls (in a throwaway Wine prefix).
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  start=$(date +%s)
  cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTERVALO_SETTINGS_ONLY=ON >/dev/null
  cmake --build build-windows
  prefix=$(mktemp -d)
  WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 \
    build-windows/tests/settings/settings_store_test.exe 2>&1 | grep -v '^wine:'
  rm -rf "$prefix"
  echo "== Windows settings store under Wine: $(( $(date +%s) - start )) s"
fi
step=$(date +%s)

# The decoders of everything that comes from outside (the card's answers, the settings file)
# get a short fuzzing run on every test run; longer runs are a manual job.
if command -v clang++ >/dev/null; then
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DTERVALO_FUZZ=ON
  cmake --build build-fuzz
  for target in build-fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    args=(-max_total_time="${TERVALO_FUZZ_SECONDS:-30}" -print_final_stats=1)
    [ -f "tests/fuzz/${name#fuzz_}.dict" ] && args+=(-dict="tests/fuzz/${name#fuzz_}.dict")
    # New finds go to a scratch folder so the checked-in seeds stay small.
    work=$(mktemp -d)
    echo "== $name: ${TERVALO_FUZZ_SECONDS:-30} s"
    "$target" "${args[@]}" "$work" "tests/fuzz/corpus/${name#fuzz_}" 2>&1 | tail -n 12
    rm -rf "$work"
  done
  took "fuzzing, with its build"
fi
