#!/usr/bin/env bash
# Checks `make run`'s script (run.sh) from the outside, as a person at the terminal would see it:
#   - with the asked-for port held by another program, it stops with the system's reason and starts no app;
#   - by default the back end takes a free port, and the sign-in of one run still holds in the next.
#
#   run-test.sh BUILD_DIR
#
# Everything (the app's sandbox, the back end's data) lives in a temporary XDG_DATA_HOME. Every wait is
# bounded.
set -uo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(realpath "$1")
run=$(dirname "$(realpath "$0")")/run.sh
readonly account=13800138000
readonly run_bound=240   # seconds for one run, start to exit
readonly code_bound=60   # seconds for the verification code to appear

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-run-test.XXXXXX")
export XDG_DATA_HOME=$work/data
holder_pid=""
run_pid=""
cleanup() {
    exec 3>&- 2>/dev/null
    [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null
    [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "run-test: $*" >&2
    exit 1
}

# ---- a port held by another program (a second back end, with data of its own)

"$build/devserver/quorvane-devserver" --port 0 --data "$work/holder" >"$work/holder.log" 2>&1 &
holder_pid=$!
held=""
for ((i = 0; i < 200 && ${#held} == 0; i++)); do
    held=$(sed -n 's/^devserver listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/holder.log")
    [ -n "$held" ] || sleep 0.1
done
[ -n "$held" ] || fail "the holder did not start: $(cat "$work/holder.log")"
PORT=$held timeout "$run_bound" bash "$run" "$build" </dev/null >"$work/taken.out" 2>&1
status=$?
expected="run: the back end did not start: cannot listen on 127.0.0.1:$held: Address already in use; nothing else was started"
[ "$status" -eq 1 ] || { cat "$work/taken.out" >&2; fail "a taken port ended with status $status, not 1"; }
grep -qxF "$expected" "$work/taken.out" || { cat "$work/taken.out" >&2; fail "a taken port gave no reason"; }
grep -q "^ready" "$work/taken.out" && fail "the app started although the back end did not"
echo "run-test: a taken port stops the run with its reason"

# ---- two runs: the second is still signed in

# Starts run.sh on a pipe; commands go in with `send`.
start_run() {
    rm -f "$work/input"
    mkfifo "$work/input"
    timeout "$run_bound" bash "$run" "$build" <"$work/input" >"$work/$1.out" 2>&1 &
    run_pid=$!
    exec 3>"$work/input"
}
send() { printf '%s\n' "$@" >&3 || fail "the run stopped reading"; }
finish_run() {
    exec 3>&-
    wait "$run_pid"
    local status=$?
    run_pid=""
    [ "$status" -eq 0 ] || { cat "$work/$1.out" >&2; fail "run $1 ended with status $status"; }
}

start_run first
send "scroll 2" "tap 开始使用" "tap 请输入手机号" "type $account" "tap 获取验证码" "tap 请输入验证码"
code=""
for ((i = 0; i < code_bound * 10 && ${#code} == 0; i++)); do
    code=$(sed -n "s/^\[back end\] SMS code for $account: \([0-9]*\)$/\1/p" "$work/first.out")
    [ -n "$code" ] || sleep 0.1
done
[ -n "$code" ] || { cat "$work/first.out" >&2; fail "the back end printed no code"; }
send "type $code" "tap 登录" "tap Account" "quit"
finish_run first
grep -qF "Signed in as $account" "$work/first.out" || { cat "$work/first.out" >&2; fail "the first run did not sign in"; }
grep -q "^\[back end\] devserver listening on http://127.0.0.1:[0-9]*$" "$work/first.out" ||
    fail "the back end did not say where it listens"

start_run second
send "tap Account" "quit"
finish_run second
grep -qF "Signed in as $account" "$work/second.out" || {
    cat "$work/second.out" >&2
    fail "the second run is not signed in"
}
echo "run-test: the second run is still signed in"
