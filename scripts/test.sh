#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test: the engine's tests under ThreadSanitizer beside a short run of
# each fuzz target, then engine tests and desktop tests on the real main window
# (offscreen).
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

# The ThreadSanitizer build next, so that its tests can run beside the fuzz pass.
bash scripts/tsan.sh build
stage "ThreadSanitizer build"

# Fuzz targets need clang's libFuzzer; a short run here, the long runs are
# described in README. The ThreadSanitizer tests mostly wait on simulated
# devices, so the fuzz build and runs go beside them, at a lower priority so
# that the tests' devices keep their time.
fuzz_log="$(mktemp)"
fuzz_pid=""
if [ -f fuzz/CMakeLists.txt ]; then
  (
    set -euo pipefail
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKV_FUZZ=ON -DKV_BUILD_DESKTOP=OFF -DKV_BUILD_TESTS=OFF >/dev/null
    nice cmake --build build/fuzz -j "$jobs" --target fuzz_targets
    for f in build/fuzz/bin/*_fuzz; do
      [ -x "$f" ] || continue
      name="$(basename "$f")"
      corpus="fuzz/corpus/${name%_fuzz}"
      work="$(mktemp -d)"
      [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
      echo "fuzz: $name (${KV_FUZZ_RUNS:-20000} runs)"
      nice "$f" -runs="${KV_FUZZ_RUNS:-20000}" -max_len=4096 "$work" > "$work.log" 2>&1 || { cat "$work.log"; exit 1; }
      tail -n 2 "$work.log"
      rm -rf "$work" "$work.log"
    done
  ) > "$fuzz_log" 2>&1 &
  fuzz_pid=$!
fi

# The engine's threads once more under ThreadSanitizer (README, "ThreadSanitizer").
tsan_rc=0
bash scripts/tsan.sh test || tsan_rc=$?
stage "ThreadSanitizer tests"
fuzz_rc=0
if [ -n "$fuzz_pid" ]; then
  wait "$fuzz_pid" || fuzz_rc=$?
  cat "$fuzz_log"
  stage "fuzz targets"
fi
rm -f "$fuzz_log"
if [ "$tsan_rc" -ne 0 ] || [ "$fuzz_rc" -ne 0 ]; then
  echo "== failed: ThreadSanitizer tests rc $tsan_rc, fuzz targets rc $fuzz_rc (the output above says which)"
  exit 1
fi

# Last, on a machine with nothing else running: the desktop tests time the
# simulated observatory in real time.
cd build/asan
# dbus-run-session gives the desktop tests a private session bus, so the trace
# and the log broadcast are tested over a real bus.
if command -v dbus-run-session >/dev/null; then
  bash "$root/scripts/ctest-twice.sh" dbus-run-session --
else
  bash "$root/scripts/ctest-twice.sh"
fi
stage "ASan/UBSan tests"
