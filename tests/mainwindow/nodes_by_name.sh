#!/usr/bin/env bash
# Runs one case of the main window's test where one name has an address per node, as a DNS
# name with a record per node has. The hosts file that says so is mounted in a mount namespace
# of this run alone; the machine's own file is never touched. Exits 77 (skipped) where no mount
# namespace can be made.
set -euo pipefail
test_binary=$1
shift
if unshare -m true 2>/dev/null; then
    private=(unshare -m)
elif unshare -rm true 2>/dev/null; then
    private=(unshare -rm)
else
    echo "no mount namespace here: skipped" >&2
    exit 77
fi
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
printf '127.0.0.2 %s\n127.0.0.3 %s\n' "$WISPLINE_TEST_NODES" "$WISPLINE_TEST_NODES" >"$files/hosts"
# Only the hosts file answers, so a resolver that asks DNS first cannot say the name is unknown.
if [ -e /etc/nsswitch.conf ]; then
    sed 's/^hosts:.*/hosts: files/' /etc/nsswitch.conf >"$files/nsswitch.conf"
else
    echo 'hosts: files' >"$files/nsswitch.conf"
fi
# shellcheck disable=SC2016 # expanded by the inner shell
"${private[@]}" bash -c '
    mount --bind "$0/hosts" /etc/hosts &&
    { [ ! -e /etc/nsswitch.conf ] || mount --bind "$0/nsswitch.conf" /etc/nsswitch.conf; } &&
    exec "$@"' "$files" "$test_binary" "$@"
