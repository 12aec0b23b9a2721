#!/usr/bin/env bash
# `make run`: the development back end and the application against it, in this terminal.
#
#   [PORT=N] [FRESH=1] run.sh BUILD_DIR [Quorvane flags...]
#
# The back end listens on 127.0.0.1, on a port the system picks (PORT=N asks for port N), and the
# application is pointed at the address the back end itself reports, so it never talks to another program
# that holds a port. When the back end cannot start, the script says why and starts nothing. FRESH=1 runs
# the application on a new, empty sandbox (a directory under $TMPDIR, named on the way) instead of its
# default one; a --home among the flags wins over both.
#
# The back end's lines (the verification codes among them) show up here marked "[back end]". The back end
# stops when the application ends, however it ends.
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: [PORT=N] [FRESH=1] $0 BUILD_DIR [Quorvane flags...]" >&2
    exit 2
fi
build=$1
shift
app=$build/app/Quorvane
devserver=$build/devserver/quorvane-devserver
readonly host=127.0.0.1 port=${PORT:-0}
readonly start_bound=10   # seconds for the back end to say where it listens

for program in "$app" "$devserver"; do
    [ -x "$program" ] || { echo "run: $program is not built" >&2; exit 2; }
done
[[ $port =~ ^[0-9]+$ ]] || { echo "run: PORT must be a port number, not \"$port\"" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-run.XXXXXX") || exit 1
server_pid=""
relay_pid=""
stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    [ -n "$relay_pid" ] && wait "$relay_pid" 2>/dev/null   # its last lines, before the prompt comes back
    rm -rf "$work"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

# The back end writes into a pipe that this script reads until the back end says where it listens.
mkfifo "$work/backend" || exit 1
"$devserver" --host "$host" --port "$port" >"$work/backend" 2>&1 &
server_pid=$!
exec 3<"$work/backend"

backend=""
early=()
ended=""
deadline=$((SECONDS + start_bound))
while [ -z "$backend" ] && ((SECONDS < deadline)); do
    line=""
    IFS= read -r -t $((deadline - SECONDS)) line <&3
    status=$?
    [ -n "$line" ] && early+=("$line")
    [[ $line =~ ^devserver\ listening\ on\ (http://[^[:space:]]+)$ ]] && backend=${BASH_REMATCH[1]}
    ((status == 1)) && ended=yes   # the end of its output: it has stopped
    ((status == 0)) || break       # ... or the time is up
done
if [ -z "$backend" ]; then
    reason="it did not say where it listens within $start_bound s"
    if [ -n "$ended" ]; then
        wait "$server_pid"
        reason="it ended with status $? and said nothing"
        if ((${#early[@]} > 0)); then
            reason=${early[-1]#devserver: }
            unset 'early[-1]'
        fi
    fi
    for line in "${early[@]}"; do echo "[back end] $line"; done
    echo "run: the back end did not start: $reason; nothing else was started" >&2
    exit 1
fi
for line in "${early[@]}"; do echo "[back end] $line"; done
sed -u 's/^/[back end] /' <&3 &
relay_pid=$!
exec 3<&-

if [ -n "${FRESH:-}" ] && [ "$FRESH" != 0 ]; then
    sandbox=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-sandbox.XXXXXX") || exit 1
    echo "run: a fresh sandbox in $sandbox (make run ARGS=\"--home $sandbox\" comes back to it)"
    set -- --home "$sandbox" "$@"
fi
echo "run: the application talks to the back end at $backend"
echo "run: type help for the device's commands, quit (or Ctrl-D) to end"
# Leak checks are for the tests; an interactive session ends however the person likes.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} "$app" --backend "$backend" "$@"
status=$?
[ "$status" -eq 0 ] || echo "run: the application ended with status $status" >&2
exit "$status"
