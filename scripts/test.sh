#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test: engine tests, desktop tests on the real main window (offscreen),
# and a short run of each fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Each stage says when it ends, so a run that grows slow shows where.
stage() { echo "== $1 done at $((SECONDS / 60)) min $((SECONDS % 60)) s"; }

bash scripts/install-deps.sh
stage "packages"

jobs="$(nproc)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_BUILD_BENCH=ON >/dev/null
cmake --build build/asan -j "$jobs"
stage "ASan/UBSan build"

# Fuzz targets need clang's libFuzzer; a short run here, the long runs are
# described in README.
if [ -f fuzz/CMakeLists.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKV_FUZZ=ON -DKV_BUILD_DESKTOP=OFF -DKV_BUILD_TESTS=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs" --target fuzz_targets
  for f in build/fuzz/bin/*_fuzz; do
    [ -x "$f" ] || continue
    name="$(basename "$f")"
    corpus="fuzz/corpus/${name%_fuzz}"
    work="$(mktemp -d)"
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "fuzz: $name (${KV_FUZZ_RUNS:-20000} runs)"
    "$f" -runs="${KV_FUZZ_RUNS:-20000}" -max_len=4096 "$work" 2>&1 | tail -n 2
    rm -rf "$work"
  done
  stage "fuzz targets"
fi

cd build/asan
# dbus-run-session gives the desktop tests a private session bus, so the trace
# and the log broadcast are tested over a real bus.
if command -v dbus-run-session >/dev/null; then
  bash "$root/scripts/ctest-twice.sh" dbus-run-session --
else
  bash "$root/scripts/ctest-twice.sh"
fi
stage "ASan/UBSan tests"

# The engine's threads once more under ThreadSanitizer (README, "ThreadSanitizer").
cd "$root"
bash scripts/tsan.sh
stage "ThreadSanitizer build and tests"
