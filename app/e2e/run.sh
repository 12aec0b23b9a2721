#!/usr/bin/env bash
# `make run`: the development back end on 127.0.0.1:8080 and the application against it, in this terminal.
#
#   run.sh BUILD_DIR [Quorvane flags...]
#
# The back end's lines (the verification codes among them) show up here marked "[back end]". The back end
# stops when the application ends, however it ends.
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [Quorvane flags...]" >&2
    exit 2
fi
build=$1
shift
app=$build/app/Quorvane
devserver=$build/devserver/quorvane-devserver
readonly host=127.0.0.1 port=8080
readonly start_bound=10   # seconds for the back end to listen

for program in "$app" "$devserver"; do
    [ -x "$program" ] || { echo "run: $program is not built" >&2; exit 2; }
done

server_pid=""
stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
}
trap stop_server EXIT
trap 'exit 130' INT TERM

"$devserver" --host "$host" --port "$port" > >(sed -u 's/^/[back end] /') 2>&1 &
server_pid=$!
for ((i = 0; ; i++)); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid"
        echo "run: the back end did not start (is port $port taken?)" >&2
        exit 1
    fi
    (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null && break
    if ((i >= start_bound * 10)); then
        echo "run: the back end is not listening on $host:$port after $start_bound s" >&2
        exit 1
    fi
    sleep 0.1
done

echo "run: type help for the device's commands, quit (or Ctrl-D) to end"
# Leak checks are for the tests; an interactive session ends however the person likes.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} "$app" --backend "http://$host:$port" "$@"
status=$?
[ "$status" -eq 0 ] || echo "run: the application ended with status $status" >&2
exit "$status"
