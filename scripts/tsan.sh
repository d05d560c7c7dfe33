#!/usr/bin/env bash
# Builds the engine and its tests with ThreadSanitizer and runs them: the
# platform, focuser, camera and simulator tests are the ones that run threads.
# "build" or "test" does one half only (the test command builds first and
# tests later, beside the fuzz pass).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
what="${1:-all}"

if [ "$what" != test ]; then
  bash scripts/install-deps.sh
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_TSAN=ON \
    -DKV_BUILD_DESKTOP=OFF >/dev/null
  cmake --build build/tsan -j "$(nproc)"
fi
[ "$what" = build ] && exit 0

cd build/tsan
# Set here: the test properties carry only the first of their environment
# entries through test discovery. The suppressions cover third-party code only.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
# These tests spend most of their time waiting on simulated devices that run
# in real time (a whole run here: 72 s of processor time in 245 s on two
# processors), so twice as many run at once as there are processors.
KV_TEST_JOBS="${KV_TEST_JOBS:-$(($(nproc) * 2))}" bash "$root/scripts/ctest-twice.sh"
