#!/usr/bin/env bash
# Builds the engine and its tests with ThreadSanitizer and runs them: the
# platform, focuser, camera and simulator tests are the ones that run threads.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_TSAN=ON \
  -DKV_BUILD_DESKTOP=OFF >/dev/null
cmake --build build/tsan -j "$(nproc)"

cd build/tsan
# Set here: the test properties carry only the first of their environment
# entries through test discovery. The suppressions cover third-party code only.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
bash "$root/scripts/ctest-twice.sh"
