#!/bin/sh
# Validates the desktop entry and the AppStream metainfo. Exit 77 (skipped) when the validators
# are not installed.
# Usage: validate.sh DESKTOP-FILE METAINFO-FILE
set -u
command -v desktop-file-validate >/dev/null && command -v appstreamcli >/dev/null || {
    echo "desktop-file-validate or appstreamcli missing: skipped"
    exit 77
}
status=0
desktop-file-validate "$1" || status=1
appstreamcli validate --no-net --explain "$2" || status=1
exit $status
