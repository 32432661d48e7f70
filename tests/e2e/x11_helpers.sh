# Helpers shared by the X11 tests; sourced.

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
