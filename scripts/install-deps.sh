#!/usr/bin/env bash
# Installs the distribution packages Tervalo needs to build, run and test, and only those that
# are missing, so a second run costs nothing. Debian 12, Ubuntu 24.04 or later: the build needs
# CMake 3.25 and Qt 6.4, more than Ubuntu 22.04 has.
set -euo pipefail

# Real package names only: dpkg-query never reports a name that is merely provided by another
# package (libqt6serialport6-dev, cups-pdf, ...) as installed, so such a name would send every
# run to apt-get update.
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev
  libgl-dev libgtest-dev
  # The history window's plot.
  libqcustomplot-dev
  # Lets a print refused by the print service be reported to the user.
  libcups2-dev
  libmosquitto-dev  # tervalo-log --mqtt
  fonts-liberation fonts-dejavu-core
)
if [ "${1:-}" = "--test" ]; then
  packages+=(clang libclang-rt-dev xvfb xauth imagemagick xdotool poppler-utils
             g++-mingw-w64-x86-64-posix wine64 cups cups-client
             systemd  # systemd-analyze rates the service units
             dbus-daemon  # a private session bus for the desktop notifications
             mosquitto mosquitto-clients openssl)  # a broker, with certificates, for mqtt_test
else
  packages+=(xvfb xauth imagemagick xdotool)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
