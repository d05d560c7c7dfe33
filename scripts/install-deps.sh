#!/usr/bin/env bash
# Installs, from Debian's packages only, whatever the build, the program and the
# tests need and the machine lacks. Safe to run again: it installs nothing when
# everything is there. Run as root (or with sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
  xvfb xauth dbus dbus-x11 fonts-dejavu-core
  espeak-ng libpulse0  # the voice clips: made at build time, played through the sound server
  poppler-utils  # pdftotext: the test reads the user guide PDF back
  dpkg-dev  # dpkg-shlibdeps: the package's dependencies (scripts/package.sh)
  libindi-dev indi-bin libcfitsio-dev  # INDI cameras and focusers; indiserver and its simulators for the tests
  libcpp-httplib-dev nlohmann-json3-dev  # the Alpaca server's HTTP and JSON
  locales  # localedef: the tests make a decimal-comma locale
  libsep-dev  # the star-finder bench's comparison (the benches build with the tests)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Another package manager (an automatic upgrade, a software centre) may hold
# the package locks for minutes; apt would give up at once. The locks are
# fcntl locks, listed in /proc/locks by the locked file's inode.
lock_wait_s=600
lock_held() {
  local f ino
  for f in /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock; do
    ino="$(stat -c %i "$f" 2>/dev/null)" || continue
    grep -q ":$ino " /proc/locks && return 0
  done
  return 1
}
wait_for_locks() {
  lock_held || return 0
  echo "Another package manager holds the package lock; waiting for it to finish (at most $((lock_wait_s / 60)) min)..."
  local deadline=$((SECONDS + lock_wait_s))
  while lock_held; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "The package lock is still held after $((lock_wait_s / 60)) min; run this again once the other package manager has finished." >&2
      exit 1
    fi
    sleep 2
  done
  echo "The package lock is free again."
}
# apt's own wait covers a lock taken between the check and apt's start.
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$lock_wait_s" "$@"; }

echo "Installing: ${missing[*]}"
wait_for_locks
apt_get update -qq
wait_for_locks
apt_get install -y -qq --no-install-recommends "${missing[@]}"
