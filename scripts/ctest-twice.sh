#!/usr/bin/env bash
# Runs ctest in the current build folder, on every processor (KV_TEST_JOBS
# tests at once where set), behind an optional command (dbus-run-session --,
# say).
#
# The simulated observatory runs in real time beside the other job's test, so
# a stall of the machine (a burst of the other test, the disk) can fail a
# timing of it now and then. A test that fails gets one more run; the first
# run's output stays in the log and those runs are named at the end, so an
# intermittent failure is seen, not hidden. A test that fails twice fails.
set -uo pipefail
# In the build folder, not /tmp, which something may clean during a long run.
log="$PWD/ctest-twice.log"
"$@" ctest --output-on-failure -j "${KV_TEST_JOBS:-$(nproc)}" --repeat until-pass:2 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
failed="$(grep -E '\*\*\*[A-Z]' "$log" | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' | sort -u | tr '\n' ' ')"
[ -n "$failed" ] && echo "== a run failed: $failed"
rm -f "$log"
exit "$rc"
