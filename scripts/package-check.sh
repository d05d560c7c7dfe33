#!/usr/bin/env bash
# Installs the Debian package on a clean Debian 12 and checks it there: a fresh
# minimal bookworm chroot made with debootstrap, the .deb installed with apt
# from Debian's own archive (so a dependency the package forgets shows up as a
# program that does not start), then as a plain user and as root: --version,
# a headless start on the simulated observatory (program folder, catalogue,
# camera plug-in, settings in ~/.config/kessivane), the unattended tour (its
# lines from scripts/tour-expected.txt, which CTest checks the build's tour
# against as well), the INDI driver and its list, the Alpaca server, the
# scripting commands over a private session bus, the desktop entry, the
# copyright notice and the manual pages; finally
# apt-get remove must leave nothing in /usr/lib/kessivane.
#
#   bash scripts/package-check.sh [path/to/kessivane_*.deb]
#
# Without a .deb it builds one with scripts/package.sh. Run as root. The chroot
# goes to KV_CHROOT (default: a new folder under /var/tmp), which must not hold
# a system already; it is deleted at the end unless KV_KEEP_CHROOT=1. The mirror
# is KV_MIRROR (default http://deb.debian.org/debian). Takes several minutes
# and downloads about 150 MB, so CI does not run it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

mirror="${KV_MIRROR:-http://deb.debian.org/debian}"
chroot_dir="${KV_CHROOT:-}"
keep="${KV_KEEP_CHROOT:-0}"
failures=0

say() { printf '== %s\n' "$*"; }
fail() { printf 'FAILED: %s\n' "$*" >&2; failures=$((failures + 1)); }
die() { printf 'package-check: %s\n' "$*" >&2; exit 1; }
now() { date +%s; }

[ "$(id -u)" -eq 0 ] || die "run as root (debootstrap and chroot need it)"

deb="${1:-}"
if [ -z "$deb" ]; then
  t0=$(now)
  deb="$(bash "$root/scripts/package.sh" | tail -n 1)"
  say "package built in $(($(now) - t0)) s: $deb"
fi
[ -f "$deb" ] || die "no package at $deb"
deb="$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
version="$(dpkg-deb -f "$deb" Version)"

if ! command -v debootstrap >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

if [ -z "$chroot_dir" ]; then
  chroot_dir="$(mktemp -d /var/tmp/kessivane-check.XXXXXX)"
elif [ -e "$chroot_dir/usr/bin/apt-get" ]; then
  die "$chroot_dir already holds a system; give an empty or new folder"
fi
mkdir -p "$chroot_dir"
chmod 0755 "$chroot_dir"  # it becomes /, which mktemp made private
chroot_dir="$(cd "$chroot_dir" && pwd)"

# Only what this script mounted is unmounted, innermost first; the chroot is
# removed only once nothing is mounted below it.
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  if [ "$keep" != 1 ] && ! grep -q " $chroot_dir/" /proc/mounts; then
    rm -rf --one-file-system "$chroot_dir"
  elif [ "$keep" = 1 ]; then
    echo "chroot kept in $chroot_dir"
  fi
}
trap cleanup EXIT

in_chroot() { chroot "$chroot_dir" "$@"; }
apt_in_chroot() { in_chroot env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

t0=$(now)
log="$(mktemp)"
debootstrap --variant=minbase bookworm "$chroot_dir" "$mirror" >"$log" 2>&1 ||
  { tail -n 20 "$log" >&2; rm -f "$log"; die "debootstrap failed"; }
rm -f "$log"
say "debootstrap: $(($(now) - t0)) s"

security="${mirror%/debian}/debian-security"
cat >"$chroot_dir/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
# Packages' services are not started inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$chroot_dir/usr/sbin/policy-rc.d"
chmod +x "$chroot_dir/usr/sbin/policy-rc.d"
mount -t proc proc "$chroot_dir/proc" && mounted+=("$chroot_dir/proc")
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$chroot_dir/dev/pts" && mounted+=("$chroot_dir/dev/pts")

# Nothing but Debian's archive is known inside, so a dependency the package
# names wrongly fails right here.
t0=$(now)
apt_in_chroot update -qq
cp "$deb" "$chroot_dir/tmp/"
apt_in_chroot install -y -q "/tmp/$(basename "$deb")" >"$chroot_dir/tmp/install.log" 2>&1 ||
  { tail -n 30 "$chroot_dir/tmp/install.log" >&2; die "apt-get install of the package failed"; }
say "install with dependencies: $(($(now) - t0)) s ($(grep -m1 'newly installed' "$chroot_dir/tmp/install.log"))"
# shellcheck disable=SC2016  # dpkg-query expands it
say "installed size: $(in_chroot dpkg-query -W -f='${Installed-Size}' kessivane) KiB"

# The documents Debian expects: the copyright notice, and a manual page for
# every command the package puts on the path, compressed, naming its command
# and read without warnings.
say "documents"
[ -s "$chroot_dir/usr/share/doc/kessivane/copyright" ] || fail "no /usr/share/doc/kessivane/copyright"
for cmd in "$chroot_dir"/usr/bin/kessivane* "$chroot_dir"/usr/bin/indi_kessivane_focuser; do
  name="$(basename "$cmd")"
  page="$chroot_dir/usr/share/man/man1/$name.1.gz"
  if ! gzip -t "$page" 2>/dev/null; then
    fail "no compressed manual page for $name (/usr/share/man/man1/$name.1.gz)"
    continue
  fi
  zcat "$page" | grep -A1 '^\.SH NAME' | grep -q "^$name \\\\- " || fail "the manual page of $name does not name it"
  if command -v groff >/dev/null; then
    warnings="$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)"
    [ -z "$warnings" ] || fail "the manual page of $name: $warnings"
  fi
done
# The guide's indiserver line needs the INDI server, which apt then brings.
dpkg-deb -f "$deb" Recommends | grep -qw indi-bin || fail "the package does not recommend indi-bin"

# Every program and plug-in must find its libraries: a plug-in with a missing
# library would just drop out of the camera list.
libs="$(in_chroot sh -c 'ldd /usr/lib/kessivane/kessivane* /usr/lib/kessivane/*.so' 2>&1 || true)"
if grep -q 'not found' <<<"$libs"; then
  fail "unresolved libraries: $(grep 'not found' <<<"$libs" | sort -u | tr -s ' \t\n' ' ')"
fi
# The check tools come after the package, so they cannot hide a missing dependency.
apt_in_chroot install -y -qq desktop-file-utils >/dev/null 2>&1 || fail "desktop-file-utils did not install"

# The checks one account runs; $1 names it in the messages.
cat >"$chroot_dir/tmp/kv-checks.sh" <<'EOF'
#!/bin/sh
who="$1"
status=0
bad() { echo "FAILED ($who): $*" >&2; status=1; }
export QT_QPA_PLATFORM=offscreen
cd /tmp
echo "-- as $who (HOME $HOME)"

[ "$(command -v kessivane)" = /usr/bin/kessivane ] || bad "kessivane is not /usr/bin/kessivane"
v="$(kessivane --version)" || bad "--version failed"
echo "kessivane --version: $v"
[ "$v" = "Kessivane $KV_VERSION" ] || bad "--version printed '$v', not 'Kessivane $KV_VERSION'"

# First start: the factory settings go to ~/.config/kessivane; the tour then
# takes frames through the simulated camera plug-in and focuses.
rm -rf "$HOME/.config/kessivane"
timeout 180 kessivane --simulate --tour "/tmp/kv-$who" >"/tmp/kv-$who.tour" 2>&1 || bad "the tour failed"
grep -qF "A factory default INI is being installed" "/tmp/kv-$who.tour" || bad "no factory settings on the first start"
[ -f "$HOME/.config/kessivane/Kessivane.ini" ] || bad "no settings written to ~/.config/kessivane"
# The lines CTest also checks the build's tour for (scripts/tour-expected.txt).
grep -v '^#' /tmp/tour-expected.txt | while IFS= read -r pattern; do
  grep -E "$pattern" "/tmp/kv-$who.tour" || { echo "FAILED ($who): no tour line matches: $pattern" >&2; exit 1; }
done || bad "the tour did not end both auto focuses as expected"

# The focuser for other astronomy programs: the device-server driver where the
# server and its clients look for it, and the Alpaca server.
[ "$(command -v indi_kessivane_focuser)" = /usr/bin/indi_kessivane_focuser ] || bad "indi_kessivane_focuser is not on the path"
grep -q '<driver name="Kessivane Focuser">indi_kessivane_focuser</driver>' /usr/share/indi/indi_kessivane.xml ||
  bad "the driver list /usr/share/indi/indi_kessivane.xml does not name the driver"
kessivane-alpaca --version | grep -q "^kessivane-alpaca $KV_VERSION" || bad "kessivane-alpaca --version failed"

# The trace (which wants the settings file there already) names the program
# folder, the catalogue, the settings folder and the camera plug-in it loaded.
timeout 60 kessivane /D --simulate --screenshot "/tmp/kv-$who.png" >"/tmp/kv-$who.trace" 2>&1 || bad "headless start failed"
for line in "INI Path: $HOME/.config/kessivane/" "/usr/lib/kessivane/Focusers.ini follows:" \
  "Scanning for Camera Plug-ins" "Camera is properly initialized" "Screenshot of the main window saved"; do
  grep -qF "$line" "/tmp/kv-$who.trace" || bad "the start did not show '$line'"
done
if grep -iE "could not load|can't link|not specified or found" "/tmp/kv-$who.trace"; then
  bad "the start reported a camera plug-in problem"
fi
echo "headless start, plug-in lines:"
grep -E "Plug-in|plug-in|Camera is|indi_camera" "/tmp/kv-$who.trace" | sed 's/^/   /'

kessivanectl --help 2>&1 | grep -q "^usage: kessivanectl" || bad "kessivanectl --help failed"
# Scripting a running program over a private session bus.
timeout 90 dbus-run-session -- sh -c '
  kessivane --simulate >/tmp/kv-bus.log 2>&1 & k=$!
  ok=1; i=0
  until p="$(kessivanectl position 2>/dev/null)"; do
    i=$((i + 1)); [ $i -lt 30 ] || { ok=0; break; }; sleep 1
  done
  if [ $ok = 1 ]; then
    # The hub counts the steps the motor runs on after a move.
    q="$(kessivanectl move-by 25)" && [ "$q" -ge $((p + 20)) ] && [ "$q" -le $((p + 30)) ] || ok=0
    h="$(kessivane-hub position)" && [ "$h" -eq "$q" ] || ok=0
    echo "kessivanectl: position $p, after move-by 25: $q; kessivane-hub position: $h"
  fi
  kill $k; wait $k
  [ $ok = 1 ]' || bad "kessivanectl or kessivane-hub did not drive the running program"
exit $status
EOF
chmod +x "$chroot_dir/tmp/kv-checks.sh"
cp "$root/scripts/tour-expected.txt" "$chroot_dir/tmp/tour-expected.txt"
listing_before="$(ls -A "$chroot_dir/usr/lib/kessivane")"

in_chroot useradd -m -s /bin/sh kvcheck
say "checks as a plain user"
in_chroot su - kvcheck -c "KV_VERSION=$version /tmp/kv-checks.sh user" || fail "checks as a plain user"
say "checks as root"
in_chroot env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin KV_VERSION="$version" /tmp/kv-checks.sh root ||
  fail "checks as root"
[ "$(ls -A "$chroot_dir/usr/lib/kessivane")" = "$listing_before" ] || fail "running the program changed /usr/lib/kessivane"

say "desktop entry"
desktop=/usr/share/applications/kessivane.desktop
in_chroot desktop-file-validate "$desktop" || fail "desktop-file-validate"
while IFS= read -r exec; do
  in_chroot sh -c "command -v ${exec%% *}" >/dev/null || fail "Exec=$exec does not resolve"
done < <(sed -n 's/^Exec=//p' "$chroot_dir$desktop")
icon="$(sed -n 's/^Icon=//p' "$chroot_dir$desktop")"
ls "$chroot_dir"/usr/share/icons/hicolor/*/apps/"$icon".* >/dev/null 2>&1 || fail "Icon=$icon is not in the hicolor theme"

say "remove"
apt_in_chroot remove -y -q kessivane >/dev/null || fail "apt-get remove"
if [ -e "$chroot_dir/usr/lib/kessivane" ]; then
  fail "left in /usr/lib/kessivane: $(find "$chroot_dir/usr/lib/kessivane" | sed "s|^$chroot_dir||")"
fi
ls "$chroot_dir"/usr/bin/kessivane* >/dev/null 2>&1 && fail "links left in /usr/bin"

if [ "$failures" -ne 0 ]; then
  echo "package check: $failures failure(s)" >&2
  exit 1
fi
echo "package check passed: $(basename "$deb")"
