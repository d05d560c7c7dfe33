#!/usr/bin/env bash
# Builds the Debian package: a release build without sanitizers or tests in
# build/package/, packed by CPack. Prints the path of the .deb it made.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF \
  -DKV_SANITIZE=OFF -DKV_TSAN=OFF "${launcher[@]}" >/dev/null
cmake --build build/package -j "${KV_JOBS:-2}"
(cd build/package && cpack -G DEB >/dev/null)
deb="$(ls -t build/package/kessivane_*.deb | head -n 1)"
echo "$root/$deb"
