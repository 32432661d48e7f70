#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages the build, the tests, the packaging and the demo need, when
# missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite
          # The storage thread writes its rows through SQLite's own interface.
          libsqlite3-dev
          libqt6sql6-psql postgresql
          # TLS: the server links OpenSSL; the tests make their certificates with the command.
          libssl-dev openssl
          # Directory sign-in: the server loads OpenLDAP's client library (built against its
          # headers); its test runs a throwaway slapd and asks it with the LDAP tools.
          libldap-dev slapd ldap-utils
          # The server tests drop a connection's packets, and balance connections by DNAT, in a
          # private network namespace.
          iptables iproute2
          # A test mounts a hosts file of its own in a private mount namespace.
          mount
          # The server's admin listener; Debian's HTTP server files need the WebSockets ones
          # without depending on them.
          qt6-httpserver-dev qt6-websockets-dev
          qt6-qpa-plugins libgl-dev libbenchmark-dev fonts-dejavu-core xvfb xauth openbox xdotool
          # The layouts' captions are measured in Times New Roman: Liberation Serif has its widths.
          fonts-liberation2
          dpkg-dev desktop-file-utils appstream adduser
          # The pop-up is checked under three window managers (tests/e2e/popup_wm.sh).
          x11-utils dbus-daemon xfwm4 kwin-x11
          # What a screen reader sees of the client is read through the accessibility bus.
          at-spi2-core python3-pyatspi)
# The sanitizer and fuzzing passes build with clang and its runtime libraries.
[ "${WISPLINE_CLANG:-0}" = 1 ] && packages+=(clang libclang-rt-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# A fresh desktop often runs its automatic upgrades first: wait for them rather than fail on the
# package manager's lock.
waited=0
while command -v pgrep >/dev/null && pgrep -x 'apt|apt-get|aptitude|dpkg|unattended-upgr' >/dev/null; do
    [ $waited -eq 0 ] && echo "Waiting for the package manager in use (automatic upgrades?) to finish..."
    [ $waited -ge 1800 ] && { echo "The package manager is still busy after 30 minutes; try again later." >&2; exit 1; }
    sleep 5
    waited=$((waited + 5))
done

echo "Installing: ${missing[*]}"
# And should one start in between, wait for its lock too.
apt=(apt-get -o DPkg::Lock::Timeout=1800)
$sudo "${apt[@]}" update -qq
DEBIAN_FRONTEND=noninteractive $sudo "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
