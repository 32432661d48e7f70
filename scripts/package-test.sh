#!/usr/bin/env bash
# Builds the two Debian packages, installs them on this machine, checks the installed programs,
# the desktop files and the service unit, then removes and purges them and checks that nothing
# of them is left. Needs root (or sudo); refuses to run when either package is already installed.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build build --target wispline wispline-server
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)

packages=(wispline wispline-server)
for p in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv not-installed; then
        echo "package-test: $p is installed on this machine; remove it first (dpkg -P $p)." >&2
        exit 1
    fi
done

rm -f build/wispline_*.deb build/wispline-server_*.deb
(cd build && cpack -G DEB >/dev/null)
client=$(ls build/wispline_"$version"_*.deb)
server=$(ls build/wispline-server_"$version"_*.deb)

fail() {
    echo "package-test: $*" >&2
    exit 1
}
cleanup() { $sudo dpkg -P "${packages[@]}" >/dev/null 2>&1 || true; }
trap cleanup EXIT

dpkg-deb -f "$client" Depends | grep -q libqt6widgets6 || fail "client lacks its Qt dependencies"
dpkg-deb -f "$server" Depends | grep -q libqt6sql6-sqlite || fail "server lacks the SQLite driver"
dpkg-deb -f "$server" Depends | grep -q libqt6network6 || fail "server lacks its Qt dependencies"
dpkg-deb -f "$server" Depends | grep -q libldap || fail "server lacks the LDAP client library"

$sudo dpkg -i "$client" "$server"
installed_files=$(dpkg -L "${packages[@]}" | while read -r f; do [ -d "$f" ] || echo "$f"; done)

# The version and the usage print without a display.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/wispline --version)
[ "$out" = "wispline $version" ] || fail "wispline --version printed '$out'"
/usr/bin/wispline-server --help >/dev/null || fail "wispline-server --help failed"
desktop-file-validate /usr/share/applications/org.wispline.Wispline.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.wispline.Wispline.metainfo.xml >/dev/null
[ -f /usr/share/icons/hicolor/48x48/apps/wispline.png ] || fail "no 48x48 icon"
getent passwd wispline-server >/dev/null || fail "no wispline-server user"
[ "$(stat -c %U:%a /var/lib/wispline-server)" = wispline-server:700 ] ||
    fail "state folder not the service user's alone"
# The service's user can open its database: the SQLite driver is there, the folder writable.
$sudo runuser -u wispline-server -- /usr/bin/wispline-server \
    --db /var/lib/wispline-server/wispline-server.db --list-users >/dev/null ||
    fail "the service user cannot use its database"
[ "$(stat -c %a /var/lib/wispline-server/wispline-server.db)" = 600 ] ||
    fail "the database file is readable by others"
# Both programs are built hardened: position-independent, relocations read-only and bound at
# start, stack protector; the client calls fortified functions (the server has none to call).
for program in /usr/bin/wispline /usr/bin/wispline-server; do
    headers=$(readelf -hldW --dyn-syms "$program") # whole, as grep -q would cut the pipe
    grep -q 'Type: *DYN' <<<"$headers" || fail "$program is not position-independent"
    grep -q GNU_RELRO <<<"$headers" || fail "$program has no RELRO segment"
    grep -Eq 'FLAGS.*NOW' <<<"$headers" || fail "$program binds lazily"
    grep -q __stack_chk_fail <<<"$headers" || fail "$program lacks a stack protector"
done
readelf --dyn-syms -W /usr/bin/wispline | grep -c '_chk@' >/dev/null || fail "the client is not fortified"
# Serves as the service's user, and stops cleanly on SIGTERM as systemd stops it.
log=$(mktemp)
$sudo setpriv --reuid=wispline-server --regid=wispline-server --init-groups \
    /usr/bin/wispline-server --port 0 --db /var/lib/wispline-server/wispline-server.db \
    --admin 127.0.0.1:0 >"$log" 2>&1 &
server_pid=$!
for _ in $(seq 300); do
    grep -q '^listening on' "$log" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q '^listening on' "$log" || fail "the server did not start as its user: $(cat "$log")"
# Ready once it listens: the admin listener answers as a balancer's health check asks.
admin_port=$(sed -n 's/^admin on 127\.0\.0\.1://p' "$log")
exec 3<>"/dev/tcp/127.0.0.1/$admin_port"
printf 'GET /readyz HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' >&3
read -r status <&3
exec 3<&-
[[ "$status" == "HTTP/1.1 200"* ]] || fail "/readyz answered '$status' after the start"
$sudo kill -TERM "$server_pid"
wait "$server_pid" || fail "the server did not stop cleanly on SIGTERM: $(cat "$log")"
rm -f "$log"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/wispline-server.service ||
        fail "the unit does not verify"
    # The sandbox: exposure 2.0 or lower on systemd's own scale (--offline from systemd 252).
    exposure=$(systemd-analyze security --offline=yes /usr/lib/systemd/system/wispline-server.service |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
        fail "the unit's exposure is '${exposure}', above 2.0"
fi

$sudo dpkg -r "${packages[@]}"
for f in $installed_files; do
    [ ! -e "$f" ] || fail "$f left after removal"
done
$sudo dpkg -P "${packages[@]}"
[ ! -e /var/lib/wispline-server ] || fail "/var/lib/wispline-server left after purge"
left=$(find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled \
    /var/lib/systemd/deb-systemd-helper-masked -name '*wispline*' 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
for p in "${packages[@]}"; do
    dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv not-installed &&
        fail "$p still known to dpkg"
done
trap - EXIT
echo "package-test: $(basename "$client") and $(basename "$server") install, work and uninstall cleanly."
