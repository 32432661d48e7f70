#!/usr/bin/env bash
# The client as a screen reader meets it, in a real X session with a session bus and the
# accessibility bus (AT-SPI), read with tests/e2e/a11y_probe.py:
#   tree      the accessible trees of the log-on window, the main window, a message box and the
#             password window: every focusable control named, the roles right, the focus where
#             the user types; Tab walks the windows in reading order; Esc closes the box and
#             the password window.
#   announce  a message while another program's window is active reaches the accessibility bus
#             as a notification carrying the line the message area shows, and the other program
#             keeps the focus.
#
# Usage: a11y_x11.sh tree|announce WISPLINE WISPLINE_SERVER [VERSION]
# Exit codes: 0 passed, 1 failed, 77 skipped (a tool missing, or no accessibility bus).
set -u

readonly SKIP=77 PORT=30609
mode=${1:?usage: a11y_x11.sh tree|announce WISPLINE WISPLINE_SERVER [VERSION]}
client_exe=${2:?usage: a11y_x11.sh tree|announce WISPLINE WISPLINE_SERVER [VERSION]}
server_exe=${3:?usage: a11y_x11.sh tree|announce WISPLINE WISPLINE_SERVER [VERSION]}
version=${4:-1.1.1}
probe="$(cd "$(dirname "$0")" && pwd)/a11y_probe.py"

skip() {
    echo "SKIPPED: $*"
    exit "$SKIP"
}
for tool in Xvfb openbox xdotool xmessage dbus-daemon timeout; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (bash scripts/deps.sh installs it)"
done
# Debian's Python, where python3-pyatspi installs (a python3 of its own may come first in PATH).
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3) || skip "python3 is not installed"
"$python" -c 'import pyatspi' 2>/dev/null ||
    skip "the AT-SPI client is not installed (python3-pyatspi; bash scripts/deps.sh installs it)"

# The client always connects to port 30609: a private network namespace keeps it ours.
if [ -z "${WISPLINE_A11Y_NETNS:-}" ] && command -v unshare >/dev/null &&
    command -v ip >/dev/null && unshare -rn ip link set lo up 2>/dev/null; then
    export WISPLINE_A11Y_NETNS=1
    exec unshare -rn bash "$0" "$@"
fi
[ "${WISPLINE_A11Y_NETNS:-}" = 1 ] && { ip link set lo up || exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/wispline-a11y.XXXXXX") || exit 1
chmod 700 "$work"
x_pid="" wm_pid="" bus_pid="" server_pid="" peer_pid="" client_pid="" other_pid=""
listen_pid="" peer_fd=""

# shellcheck source=x11_helpers.sh
source "$(dirname "$0")/x11_helpers.sh"
cleanup() {
    [ -n "$peer_fd" ] && exec {peer_fd}>&-
    stop "$listen_pid"
    stop "$client_pid"
    stop "$other_pid"
    stop "$peer_pid"
    stop "$server_pid"
    stop "$wm_pid"
    # The accessibility bus and its registry were started for this bus and end with it.
    stop "$bus_pid"
    stop "$x_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "FAILED: $*"
    local f
    for f in client.log server.err events.txt; do
        [ -s "$work/$f" ] && { echo "--- $f (last lines)"; tail -n 20 "$work/$f"; }
    done
    exit 1
}

# ---- an X server, a session bus and a window manager of their own ----
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
unset WAYLAND_DISPLAY SESSION_MANAGER QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS NO_AT_BRIDGE
unset QT_LINUX_ACCESSIBILITY_ALWAYS_ON QT_ACCESSIBILITY
mkdir -m 700 "$HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
x_pid=$!
x_ready() { [ -s "$work/display" ] || ! alive "$x_pid"; }
wait_until 60 x_ready
[ -s "$work/display" ] || skip "Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY
dbus-daemon --session --fork --nopidfile --print-address=3 --print-pid=4 \
    3>"$work/bus.address" 4>"$work/bus.pid" || skip "no session bus"
bus_pid=$(head -n 1 "$work/bus.pid")
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus.address")
export DBUS_SESSION_BUS_ADDRESS
openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
wm_ready() { xdotool get_desktop >/dev/null 2>&1 || ! alive "$wm_pid"; }
wait_until 120 wm_ready
xdotool get_desktop >/dev/null 2>&1 || fail "openbox did not start"

# Accessibility on, as a screen reader switches it on; the registry starts with the bus.
"$python" "$probe" enable >"$work/enable.log" 2>&1
case $? in
0) ;;
"$SKIP") skip "the accessibility bus does not start: $(tail -n 2 "$work/enable.log")" ;;
*) fail "cannot switch accessibility on: $(tail -n 2 "$work/enable.log")" ;;
esac
"$python" "$probe" listen >"$work/events.txt" 2>&1 &
listen_pid=$!
listening() { grep -q '^READY' "$work/events.txt" || ! alive "$listen_pid"; }
wait_until 60 listening
grep -q '^READY' "$work/events.txt" || fail "the event listener did not start"
# Events from here on: the lines after a mark.
mark() { wc -l <"$work/events.txt"; }
events_since() { tail -n +$(($1 + 1)) "$work/events.txt"; }
event_since() { events_since "$1" | grep -q -F -e "$2"; }

# ---- the server, and BOB, a Level 2 user on a raw connection ----
"$server_exe" --address 127.0.0.1 --port "$PORT" --db "$work/server.db" --demo \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
server_ready() { grep -q "listening on" "$work/server.out" 2>/dev/null || ! alive "$server_pid"; }
wait_until 60 server_ready
grep -q "listening on 127.0.0.1:$PORT" "$work/server.out" ||
    skip "no server on 127.0.0.1:$PORT: $(tail -n 2 "$work/server.err")"
exec {peer_fd}<>"/dev/tcp/127.0.0.1/$PORT" || fail "cannot connect to the server"
: >"$work/bob.in"
cat <&"$peer_fd" >>"$work/bob.in" &
peer_pid=$!
printf '%s' "LIU~BOB~bob2~$version~00-00-00-00-00-00" >&"$peer_fd"
bob_got() { grep -q -e "$1" "$work/bob.in"; }
wait_until 60 bob_got 'LIU~BOB~2~ExitEnd`' || fail "BOB was not logged on"

# ---- the client ----
mkdir -p "$work/program" "$XDG_CONFIG_HOME/AkWispline"
cp "$client_exe" "$work/program/wispline"
printf '[AkSettings]\nAkWLUser=ALICE\nAkWLMode=LAN\n' >"$XDG_CONFIG_HOME/AkWispline/AkWispline.ini"
QT_QPA_PLATFORM=xcb "$work/program/wispline" >"$work/client.log" 2>&1 &
client_pid=$!
wait_until 60 has_window "VESK Chat Login" || fail "no log-on window"
timeout 20 xdotool windowactivate --sync "$(window_named "VESK Chat Login")" ||
    fail "cannot activate the log-on window"

tree() {
    echo "=== $1"
    "$python" "$probe" tree "$@" || fail "the tree of \"$1\" is not as a screen reader needs it"
}

# Tab, once round and one more, follows `cycle` (names joined by ">"), as the screen reader
# announces the focus moving.
tab_walk() {
    local cycle=$1 before order step steps
    steps=$(($(tr -cd '>' <<<"$cycle" | wc -c) + 1))
    before=$(mark)
    focus_moves() { events_since "$before" | grep -c "state-changed:focused 1 Wispline"; }
    for ((step = 1; step <= steps; step++)); do
        xdotool key Tab
        moved() { [ "$(focus_moves)" -ge "$step" ]; }
        wait_until 30 moved || fail "Tab $step did not move the focus"
    done
    order=$(events_since "$before" | grep "state-changed:focused 1 Wispline" | sed 's/.* | //' |
        paste -sd '>' -)
    echo "Tab: $order"
    [[ "$cycle$cycle" == *"$order>"* ]] || fail "Tab does not follow the reading order: $order"
}

if [ "$mode" = tree ]; then
    # The user name is remembered: the focus is in the password box. The mode box is named by
    # its text, as combo boxes are, and labelled by its caption; its text field by its caption.
    tree "VESK Chat Login" --role dialog --focused Password \
        --expect "LAN=combo box" --expect "Mode=text" --expect "Server=text" --expect "Port=text" \
        --expect "User ID=text" --expect "Password=password text" \
        --expect "Logon=push button" --expect "Save=push button" --expect "Exit=push button"
    tab_walk "Logon>Save>Exit>LAN>Server>Port>User ID>Password>"
    xdotool key shift+Tab # back from Logon into the password box
    "$python" "$probe" tree "VESK Chat Login" --focused Password >/dev/null ||
        fail "Shift+Tab did not lead back to the password box"
fi

xdotool type --delay 40 "alice1"
xdotool key Return
title="VESK Parlonet (Ver$version)   UserName:ALICE    Level:1"
main_win=""
logged_on() {
    main_win=$(window_named "UserName:ALICE")
    [ -n "$main_win" ] && [ "$(xdotool getwindowname "$main_win")" = "$title" ]
}
wait_until 60 logged_on || fail "no main window titled \"$title\""
wait_until 60 bob_got 'USRS~ALICE1~ExitEnd`' || fail "BOB was not told about ALICE"

if [ "$mode" = announce ]; then
    xmessage -geometry +700+500 "another program" >/dev/null 2>&1 &
    other_pid=$!
    wait_until 30 has_window '^xmessage$' || fail "no window of another program"
    other_win=$(window_named '^xmessage$')
    timeout 20 xdotool windowactivate --sync "$other_win" || fail "cannot activate the other program"
    before=$(mark)
    printf '%s' "SND~BOB2~lunch at noon~ALICE1~NOONE" >&"$peer_fd"
    announced() { event_since "$before" "notification | BOB <- lunch at noon ["; }
    wait_until 30 announced || fail "the message was not announced"
    # The pop-up is up, and nothing of the client took the keyboard.
    wait_until 30 has_window '^Wispline$' || fail "no pop-up"
    [ "$(xdotool getactivewindow)" = "$other_win" ] ||
        fail "the other program lost the focus to $(xdotool getwindowname "$(xdotool getactivewindow)")"
    if events_since "$before" | grep -E "(window:activate|state-changed:focused 1) Wispline"; then
        fail "the client took the focus when the message came"
    fi
    echo "message announced while another program was active: $(events_since "$before" |
        grep -F "notification | BOB <- lunch")"
    echo "PASSED"
    exit 0
fi

# ---- the main window ----
timeout 20 xdotool windowactivate --sync "$main_win" || fail "cannot activate the main window"
tree "UserName:ALICE" --role frame \
    --expect "Level 1 Users=list" --expect "Level 2 Users=list" --expect "Level 3 Users=list" \
    --expect "All Level2 Users=check box" --expect "Message area=text" \
    --expect "Message to send=text" --expect "Send=push button"

tab_walk "Level 1 Users>Level 2 Users>All Level2 Users>Level 3 Users>Message area>Message to send>Send>"

# Opens the Masters menu and waits until it shows: keys sent before would go to the window. Alt
# is let go only then: let go at once, it now and then closed the menu as it opened.
open_masters() {
    local before
    before=$(mark)
    xdotool keydown alt key m
    menu_shown() { event_since "$before" "showing 1 Wispline | popup menu"; }
    wait_until 30 menu_shown || fail "the Masters menu did not open"
    xdotool keyup alt
}

# A message box, from the keyboard, and Esc to close it.
open_masters
before=$(mark)
xdotool key Up # round to the last item
on_count() { event_since "$before" "focused 1 Wispline | menu item | Users Count"; }
wait_until 30 on_count || fail "Up in the menu did not reach Users Count"
xdotool key Return
tree "Logged In Users Count" --role alert
xdotool key Escape
"$python" "$probe" gone "Logged In Users Count" || fail "Esc did not close the box"
main_active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$main_win" ]; }
wait_until 30 main_active || fail "the main window did not get the keyboard back from the box"

# The password window, from its menu key, and Esc to close it.
open_masters
xdotool key c
tree "Wispline(Change Password)" --role dialog --focused "Old Password" \
    --expect "Old Password=password text" --expect "New Password=password text" \
    --expect "Confirm New Password=password text" --expect "Change=push button" \
    --expect "Cancel=push button"
xdotool key Escape
"$python" "$probe" gone "Wispline(Change Password)" || fail "Esc did not close the password window"
echo "PASSED"
