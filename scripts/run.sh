#!/usr/bin/env bash
# Builds Kessivane and starts it on the simulated observatory.
# Without a display it runs under Xvfb: it takes an image of the simulated sky,
# picks a star, focuses a little, runs an auto focus by each method from the
# same start, prints the figures it saw and where each method ended, and saves
# pictures of the Exposure Control, Manual Focus and Auto Focus pages.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build build/release

program="$root/build/release/bin/kessivane"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$program" --simulate "$@"
fi

prefix="${KESSIVANE_PICTURES:-$root/kessivane}"
echo "No display found: running Kessivane under Xvfb on the simulated observatory."
xvfb-run -a -s "-screen 0 1280x1024x24" "$program" --simulate --tour "$prefix" "$@"
