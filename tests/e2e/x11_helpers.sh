# Helpers shared by the X11 tests; sourced.

# Ends one process: politely first, then for good after five seconds.
stop() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

# Polls a command until it succeeds, for at most the given number of seconds.
wait_until() {
    local seconds=$1 i
    shift
    for ((i = 0; i < seconds * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

alive() { kill -0 "$1" 2>/dev/null; }

# The first visible window whose title matches the pattern.
window_named() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }

has_window() { [ -n "$(window_named "$1")" ]; }
