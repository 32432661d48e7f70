#!/usr/bin/env bash
# Smoke test of the wispline executable in a real X session: log on by typing into the log-on
# window (started as nohup starts it, then sent a hang-up), come back by itself after the server
# resets its clients and is away for 3 s (Internet mode: the notice stays open meanwhile and is
# answered last), send a message to all Level 2 users, close through the Exit menu and find the
# disconnection line in the day's message log next to the program.
#
# The client always connects to port 30609, so the server must listen there. When the system
# allows it the whole test runs in a private network namespace with a loopback of its own, so a
# server already running on this machine does not matter; otherwise it uses the host's loopback
# and is skipped when the port is taken (WISPLINE_SMOKE_NETNS=0 asks for the host's network).
#
# Usage: smoke_x11.sh WISPLINE WISPLINE_SERVER [VERSION]
# Exit codes: 0 passed, 1 failed, 77 skipped.
set -u

readonly SKIP=77
readonly PORT=30609
client_exe=${1:?usage: smoke_x11.sh WISPLINE WISPLINE_SERVER [VERSION]}
server_exe=${2:?usage: smoke_x11.sh WISPLINE WISPLINE_SERVER [VERSION]}
version=${3:-1.1.1}

skip() {
    echo "SKIPPED: $*"
    exit "$SKIP"
}

for tool in Xvfb openbox xdotool timeout; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (bash scripts/deps.sh installs it)"
done
[ -x "$client_exe" ] || { echo "FAILED: no client at $client_exe"; exit 1; }
[ -x "$server_exe" ] || { echo "FAILED: no server at $server_exe"; exit 1; }

if [ -z "${WISPLINE_SMOKE_NETNS:-}" ] && command -v unshare >/dev/null &&
    command -v ip >/dev/null && unshare -rn ip link set lo up 2>/dev/null; then
    export WISPLINE_SMOKE_NETNS=1
    exec unshare -rn bash "$0" "$@"
fi
if [ "${WISPLINE_SMOKE_NETNS:-}" = 1 ]; then
    ip link set lo up || { echo "FAILED: no loopback in the network namespace"; exit 1; }
    echo "running in a private network namespace"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/wispline-smoke.XXXXXX") || exit 1
chmod 700 "$work"
x_pid="" wm_pid="" server_pid="" peer_pid="" client_pid="" peer_fd=""

# shellcheck source=x11_helpers.sh
source "$(dirname "$0")/x11_helpers.sh"

cleanup() {
    [ -n "$peer_fd" ] && exec {peer_fd}>&-
    stop "$client_pid"
    stop "$peer_pid"
    stop "$server_pid"
    stop "$wm_pid"
    stop "$x_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

show_log() {
    [ -s "$1" ] || return 0
    echo "--- $(basename "$1") (last lines)"
    tail -n 30 "$1" | tr '`' '\n'
}

fail() {
    echo "FAILED: $*"
    show_log "$work/server.err"
    show_log "$work/client.log"
    show_log "$work/bob.in"
    show_log "$work/xvfb.log"
    show_log "$work/openbox.log"
    local day_log
    for day_log in "$work"/program/M*.Msg; do
        show_log "$day_log"
    done
    exit 1
}


# ---- an X server of its own, with a window manager that activates windows on request ----
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
unset WAYLAND_DISPLAY SESSION_MANAGER QT_QPA_PLATFORM
mkdir -p -m 700 "$HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
x_pid=$!
x_ready() { [ -s "$work/display" ] || ! alive "$x_pid"; }
wait_until 60 x_ready
[ -s "$work/display" ] || skip "Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY

openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
# Waits for the window manager as long as it runs: under load it can take a while to start.
wm_ready() { xdotool get_desktop >/dev/null 2>&1 || ! alive "$wm_pid"; }
wait_until 120 wm_ready
xdotool get_desktop >/dev/null 2>&1 || fail "openbox did not start: $(tail -n 3 "$work/openbox.log")"

# ---- the server, with the demo accounts ----
"$server_exe" --address 127.0.0.1 --port "$PORT" --db "$work/server.db" --demo \
    >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
server_ready() { grep -q "listening on" "$work/server.out" 2>/dev/null || ! alive "$server_pid"; }
wait_until 60 server_ready
if ! grep -q "listening on 127.0.0.1:$PORT" "$work/server.out"; then
    grep -q "cannot listen" "$work/server.err" &&
        skip "127.0.0.1:$PORT is in use (is a Wispline server running?)"
    fail "the server did not start"
fi

# ---- BOB, a Level 2 user, on a raw connection: one write per message ----
bob_got() { grep -q -e "$1" "$work/bob.in"; }
bob_logs_on() {
    [ -n "$peer_fd" ] && exec {peer_fd}>&-
    stop "$peer_pid"
    exec {peer_fd}<>"/dev/tcp/127.0.0.1/$PORT" || fail "cannot connect to the server"
    : >"$work/bob.in"
    cat <&"$peer_fd" >>"$work/bob.in" 2>/dev/null &
    peer_pid=$!
    printf '%s' "LIU~BOB~bob2~$version~00-00-00-00-00-00" >&"$peer_fd"
    wait_until 60 bob_got 'LIU~BOB~2~ExitEnd`' || fail "BOB was not logged on"
}
bob_logs_on

# ---- the client, from a folder of its own: its day's log is written next to it ----
mkdir -p "$work/program" "$XDG_CONFIG_HOME/AkWispline"
cp "$client_exe" "$work/program/wispline"
printf '[AkSettings]\nAkWLUser=ALICE\nAkWLMode=Internet\n' >"$XDG_CONFIG_HOME/AkWispline/AkWispline.ini"
start_day=$(date +%d%m%Y)
# Started as "nohup" starts it: a hang-up must not end it.
QT_QPA_PLATFORM=xcb bash -c 'trap "" HUP; exec "$0"' "$work/program/wispline" \
    >"$work/client.log" 2>&1 &
client_pid=$!

wait_until 60 has_window "VESK Chat Login" || fail "no log-on window"
login_win=$(window_named "VESK Chat Login")
timeout 20 xdotool windowactivate --sync "$login_win" || fail "cannot activate the log-on window"
# The mode (Internet) and the user come from the settings; the focus is in the password box.
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
echo "logged on: $title"
kill -HUP "$client_pid"

# ---- the server resets its clients and is away for 3 s; the client comes back by itself ----
start_server() {
    : >"$work/server.out" # emptied before it starts: the old "listening on" must not count
    "$server_exe" --address 127.0.0.1 --port "$PORT" --db "$work/server.db" --demo \
        >>"$work/server.out" 2>>"$work/server.err" &
    server_pid=$!
    wait_until 60 server_ready
    grep -q "listening on 127.0.0.1:$PORT" "$work/server.out" || fail "the server did not start"
}
kill -HUP "$server_pid" # resets every connection and ends, as for a certificate renewal
server_gone() { ! alive "$server_pid"; }
wait_until 60 server_gone || fail "the server did not end on its hang-up"
wait "$server_pid"
server_pid=""
# While away the title no longer claims the log-on, and the notice is up, waiting for nobody.
reset_title() { [ "$(xdotool getwindowname "$main_win")" = "VESK Parlonet (Ver $version)" ]; }
wait_until 60 reset_title || fail "the title still claims the log-on: $(xdotool getwindowname "$main_win")"
notice="^Wispline$"
wait_until 60 has_window "$notice" || fail "no fluctuation notice"
sleep 3 # the server is away
start_server
back_at=$(date +%s%N)
# Its attempts come at most 4 s apart this early; 20 s leaves room for a loaded machine, and a
# client that waits for the minute's tick fails.
wait_until 20 logged_on || fail "not logged on again within 20 s of the server's return"
echo "logged on again $(( ($(date +%s%N) - back_at) / 1000000 )) ms after the server came back"
alive "$client_pid" || fail "the client ended"
has_window "$notice" || fail "the notice went without being answered"
bob_logs_on
wait_until 60 bob_got 'ALICE1' || fail "BOB does not see ALICE after the restart"
# Answering the notice leaves the link that works alone.
timeout 20 xdotool windowactivate --sync "$(window_named "$notice")" || fail "cannot activate the notice"
logons=$(grep -c "ALICE: logged on" "$work/server.err")
xdotool key Return
notice_gone() { ! has_window "$notice"; }
wait_until 60 notice_gone || fail "the notice did not close"

# ---- a message to all Level 2 users, by keyboard ----
timeout 20 xdotool windowactivate --sync "$main_win" || fail "cannot activate the main window"
eval "$(xdotool getwindowgeometry --shell "$main_win")"
# A click into the message area (right half of the window); Shift+Tab leads back from there
# through the Level 3 list to the "All Level2 Users" box, which space checks; four more steps
# back, past the Level 2 and Level 1 lists and the Send button, is the compose box.
xdotool mousemove --window "$main_win" $((WIDTH * 7 / 10)) $((HEIGHT * 4 / 10)) click 1
xdotool key shift+Tab shift+Tab space shift+Tab shift+Tab shift+Tab shift+Tab
message="smoke test from alice"
xdotool type --delay 40 "$message"
xdotool key Return
wait_until 60 bob_got "SND~ALICE <- $message \[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\]~ExitEnd\`" ||
    fail "BOB did not receive the message"
alive "$client_pid" || fail "the client ended on the hang-up it was started to ignore"
[ "$(grep -c "ALICE: logged on" "$work/server.err")" = "$logons" ] ||
    fail "answering the notice made the client connect again"
echo "BOB received: $(grep -o "SND~ALICE <- [^\`]*" "$work/bob.in")"

# ---- Exit menu, and Yes to the shutdown question ----
xdotool key alt+e
wait_until 60 has_window "^VESKWispline$" || fail "no shutdown question"
question=$(window_named "^VESKWispline$")
timeout 20 xdotool windowactivate --sync "$question" || fail "cannot activate the question"
xdotool key alt+y
client_gone() { ! alive "$client_pid"; }
wait_until 60 client_gone || fail "the client did not end after Yes"
wait "$client_pid"
client_rc=$?
client_pid=""
[ "$client_rc" -eq 0 ] || fail "the client ended with exit code $client_rc"
wait_until 60 bob_got 'LGO~ALICE1~ExitEnd`' || fail "BOB was not told that ALICE left"

# ---- the day's message log next to the program ----
end_day=$(date +%d%m%Y)
log=""
for day in "$start_day" "$end_day"; do
    [ -f "$work/program/M$day.Msg" ] && log="$work/program/M$day.Msg"
done
[ -n "$log" ] || fail "no message log M$start_day.Msg in the program folder: $(ls "$work/program")"
# The last save at the confirmed close writes the whole message area and the disconnection line.
grep -a -q "Diconnected At [0-9]" "$log" ||
    fail "the message log lacks the disconnection line: the close did not save it"
grep -a -q "ALICE >> $message \[To All Level2 Users\]" "$log" ||
    fail "the message log lacks the sent message"
echo "message log $(basename "$log"): $(grep -a -o "Diconnected At [0-9:]*" "$log" | tail -n 1)"
echo "PASSED"
