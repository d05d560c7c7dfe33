#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test: the engine tests and desktop tests on the real main window
# (offscreen) while the ThreadSanitizer build and the fuzz targets build on the
# processor time they leave, then the engine's tests under ThreadSanitizer
# beside a short run of each fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Each stage says when it ends, so a run that grows slow shows where.
stage() { echo "== $1 done at $((SECONDS / 60)) min $((SECONDS % 60)) s"; }

# The stages' logs and the fuzz targets' work stay in the build folder: on a
# busy machine something may clean /tmp under a run that takes many minutes.
logs="$root/build/test-logs"
rm -rf "$logs"
mkdir -p "$logs"

bash scripts/install-deps.sh
stage "packages"

jobs="$(nproc)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_BUILD_BENCH=ON >/dev/null
cmake --build build/asan -j "$jobs"
stage "ASan/UBSan build"

# Whatever a process below runs "idle" gets only the processor time nothing
# else wants (nice alone where the scheduler's idle class is not allowed).
idle() {
  if chrt --idle 0 true 2>/dev/null; then chrt --idle 0 nice -n 19 "$@"; else nice -n 19 "$@"; fi
}

# The tests mostly wait on simulated devices that run in real time (a whole
# run: 536 s of processor time in 642 s on two processors), so the
# ThreadSanitizer build and the fuzz targets' build go beside them on the
# time the tests leave over, where they cannot slow the devices down.
builds_log="$logs/builds.log"
(
  set -euo pipefail
  idle bash scripts/tsan.sh build
  echo "== ThreadSanitizer build done at $((SECONDS / 60)) min $((SECONDS % 60)) s"
  if [ -f fuzz/CMakeLists.txt ]; then
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKV_FUZZ=ON -DKV_BUILD_DESKTOP=OFF -DKV_BUILD_TESTS=OFF >/dev/null
    idle cmake --build build/fuzz -j "$jobs" --target fuzz_targets
  fi
) > "$builds_log" 2>&1 &
builds_pid=$!

# dbus-run-session gives the desktop tests a private session bus, so the trace
# and the log broadcast are tested over a real bus.
asan_rc=0
if command -v dbus-run-session >/dev/null; then
  (cd build/asan && bash "$root/scripts/ctest-twice.sh" dbus-run-session --) || asan_rc=$?
else
  (cd build/asan && bash "$root/scripts/ctest-twice.sh") || asan_rc=$?
fi
stage "ASan/UBSan tests"
builds_rc=0
wait "$builds_pid" || builds_rc=$?
grep "^== " "$builds_log" || true
if [ "$builds_rc" -ne 0 ]; then
  cat "$builds_log"
  echo "== failed: the ThreadSanitizer or fuzz build (its output above)"
  exit 1
fi
rm -f "$builds_log"
stage "ThreadSanitizer and fuzz builds"

# Fuzz targets need clang's libFuzzer; a short run of each here, the long runs
# are described in README. They go beside the ThreadSanitizer tests, at a
# lower priority so that the tests' devices keep their time.
fuzz_log="$logs/fuzz.log"
fuzz_pid=""
if [ -f fuzz/CMakeLists.txt ]; then
  (
    set -euo pipefail
    for f in build/fuzz/bin/*_fuzz; do
      [ -x "$f" ] || continue
      name="$(basename "$f")"
      corpus="fuzz/corpus/${name%_fuzz}"
      work="$logs/fuzz-$name"
      mkdir -p "$work"
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
if [ "$asan_rc" -ne 0 ] || [ "$tsan_rc" -ne 0 ] || [ "$fuzz_rc" -ne 0 ]; then
  echo "== failed: ASan/UBSan tests rc $asan_rc, ThreadSanitizer tests rc $tsan_rc, fuzz targets rc $fuzz_rc (the output above says which)"
  exit 1
fi
