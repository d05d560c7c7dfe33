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
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
