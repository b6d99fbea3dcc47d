#!/usr/bin/env bash
# Runs a command on a private display server of its own and exits with the command's status.
#
#   tests/app/on-display.sh x11|wayland -- COMMAND...
#
# x11: Xvfb on a free display number, with a cookie of its own, a black root window (so that a
# capture of the screen trims to its windows) and no reset when its last client leaves (a reset
# refuses the connections that come meanwhile, and Qt aborts on a display it cannot open).
# wayland: Weston's headless backend in a private XDG_RUNTIME_DIR. Either way the environment
# names the platform to Qt (QT_QPA_PLATFORM) and to the wizard's display test
# (TARV_EXPECT_PLATFORM), and the other display's variable is unset, so that Qt cannot fall back
# to a display it finds lying around.
# A server that cannot start is a failure, not a skip. ON_DISPLAY_TIMEOUT (seconds, default 120)
# bounds the command; ON_DISPLAY_SCREEN (default 1280x1024x24) is Xvfb's screen.
set -euo pipefail

usage() {
    echo "usage: $0 x11|wayland -- COMMAND..." >&2
    exit 2
}
if [ $# -lt 3 ] || [ "$2" != "--" ]; then
    usage
fi
kind=$1
shift 2
case "$kind" in
    x11 | wayland) ;;
    *) usage ;;
esac

name=on-display
start_limit=10 # seconds for the server to come up
command_limit=${ON_DISPLAY_TIMEOUT:-120}

work=$(mktemp -d /tmp/tarv-display.XXXXXX)
chmod 0700 "$work"
server=
# The server runs in a session of its own. It is asked to stop first, so that Weston can stop
# its shell and keyboard clients itself; whatever is left of the session is then killed.
# shellcheck disable=SC2317 # called from the traps
stop_server() {
    [ -n "$server" ] || return 0
    kill -TERM "$server" 2> /dev/null || true
    for _ in $(seq 50); do
        kill -0 "$server" 2> /dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$server" 2> /dev/null || true
    wait "$server" 2> /dev/null || true
    server=
}
# shellcheck disable=SC2317 # called from the traps
cleanup() {
    stop_server
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail_start() {
    echo "$name: $*" >&2
    if [ -s "$work/server.log" ]; then
        echo "$name: the server said:" >&2
        tail -n 30 "$work/server.log" >&2
    fi
    exit 1
}

need() {
    command -v "$1" > /dev/null || fail_start "$1 is not installed (scripts/setup installs it)"
}

# Waits until the command after it succeeds, while the server lives, for up to start_limit.
wait_ready() {
    local deadline=$((SECONDS + start_limit))
    until "$@"; do
        kill -0 "$server" 2> /dev/null || fail_start "the $kind server exited at its start"
        [ "$SECONDS" -lt "$deadline" ] || fail_start "the $kind server was not up in ${start_limit}s"
        sleep 0.05
    done
}

# Qt keeps its runtime files here on either platform; Weston keeps its socket here too.
export XDG_RUNTIME_DIR=$work

if [ "$kind" = x11 ]; then
    need Xvfb
    need xauth
    # The server takes every cookie in its file whatever display the entry names; the client
    # looks one up by display number, which is known only once the server has picked it.
    export XAUTHORITY=$work/Xauthority
    cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
    xauth -q -f "$XAUTHORITY" add :0 MIT-MAGIC-COOKIE-1 "$cookie" 2> /dev/null
    exec 3<> "$work/display"
    setsid Xvfb -displayfd 3 -screen 0 "${ON_DISPLAY_SCREEN:-1280x1024x24}" -br -noreset \
        -nolisten tcp -auth "$XAUTHORITY" > "$work/server.log" 2>&1 &
    server=$!
    exec 3>&-
    # -displayfd writes the number once the server accepts connections.
    wait_ready grep -q '^[0-9][0-9]*$' "$work/display"
    display=:$(head -n1 "$work/display")
    xauth -q -f "$XAUTHORITY" add "$display" MIT-MAGIC-COOKIE-1 "$cookie" 2> /dev/null
    export DISPLAY=$display
    export QT_QPA_PLATFORM=xcb TARV_EXPECT_PLATFORM=xcb
    unset WAYLAND_DISPLAY
    echo "$name: Xvfb on $DISPLAY" >&2
else
    need weston
    socket=wayland-tarv
    # Pixman renders for real, so that what the clients draw reaches an output; no config file,
    # so that a user's weston.ini cannot change the run; never idle, so the output stays on.
    setsid weston --backend=headless-backend.so --use-pixman --width=1280 --height=1024 \
        --socket="$socket" --idle-time=0 --no-config > "$work/server.log" 2>&1 &
    server=$!
    wait_ready test -S "$XDG_RUNTIME_DIR/$socket"
    export WAYLAND_DISPLAY=$socket
    export QT_QPA_PLATFORM=wayland TARV_EXPECT_PLATFORM=wayland
    unset DISPLAY
    echo "$name: weston (headless) on $WAYLAND_DISPLAY" >&2
fi

status=0
timeout --kill-after=10 "$command_limit" "$@" || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "$name: the command did not end within ${command_limit}s" >&2
fi
if ! kill -0 "$server" 2> /dev/null; then
    echo "$name: the $kind server died during the command" >&2
    [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -ne 0 ] && [ -s "$work/server.log" ]; then
    echo "$name: the $kind server said:" >&2
    tail -n 30 "$work/server.log" >&2
fi
exit "$status"
