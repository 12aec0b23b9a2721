#!/usr/bin/env bash
# How fast the application launches, on the real executable against the development back end.
#
#   bench/app_launch.sh BUILD_DIR        (a Release build: build/release)
#
# Starts the back end on a port the system picks, signs in once through the device on a sandbox of its own
# (the back end prints the SMS code), then launches the application five times on a fresh sandbox (its first
# screen is the first-run guide) and five times on a copy of the signed-in sandbox (its first screen is the
# main page). Each launch runs with QUORVANE_LAUNCH_TIMES=1, so that it writes the instants of its launch
# to standard error (UIMarkLaunchInstant in platform/uikit/UIApplication.h), and ends once the device has
# shown its first screen. Prints the medians:
#   first_screen_after_start_ms N    process start to the first screen, the launch image's hold taken off
#                                    (fresh launches)
#   main_page_text_after_hold_ms N   the hold's end to the main page's text on the device's screen, its load
#                                    ended (signed-in launches)
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(realpath "$1")
app=$build/app/Quorvane
devserver=$build/devserver/quorvane-devserver
for file in "$app" "$devserver"; do
    [ -x "$file" ] || { echo "app_launch: $file is not built" >&2; exit 2; }
done

readonly runs=5
readonly bound=60  # seconds for any one wait
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-launch.XXXXXX")
server_pid=""
cleanup() {
    exec 3>&- 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "app_launch: $*" >&2
    exit 1
}

# Waits until `file` has a line matching the extended regex `pattern`.
await_line() {
    local file=$1 pattern=$2
    for ((i = 0; i < bound * 20; i++)); do
        grep -Eq -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

"$devserver" --host 127.0.0.1 --port 0 --data "$work/backend" >"$work/server.log" 2>&1 &
server_pid=$!
await_line "$work/server.log" '^devserver listening on http://' || fail "the back end did not start"
backend=$(sed -n 's/^devserver listening on \(http:\/\/[^ ]*\)$/\1/p' "$work/server.log")

# ---- one sign-in, kept as the sandbox every signed-in launch starts from

mkfifo "$work/input"
"$app" --home "$work/signed-in" --backend "$backend" <"$work/input" >"$work/sign-in.out" 2>&1 &
sign_in_pid=$!
exec 3>"$work/input"
for command in "scroll 2" "tap 开始使用" "tap 请输入手机号" "type 13912345678" "tap 获取验证码"; do
    printf '%s\n' "$command" >&3
done
await_line "$work/server.log" '^SMS code for ' || fail "the back end printed no code"
code=$(grep '^SMS code for ' "$work/server.log" | tail -n 1 | sed 's/.*: //')
printf '%s\n' "tap 请输入验证码" "type $code" "tap 登录" >&3
exec 3>&-
wait "$sign_in_pid" || fail "the sign-in run failed: $(tail -n 20 "$work/sign-in.out")"
grep -q 'page "Home"' "$work/sign-in.out" || fail "the sign-in did not reach the main page"

# ---- the launches

# Runs one launch on `home` and prints its "launch-time" lines, after "start MICROSECONDS".
launch() {
    local home=$1 log=$work/launch.err
    (
        export QUORVANE_LAUNCH_TIMES=1
        start=${EPOCHREALTIME/[.,]/}
        echo "launch-time start $start" >"$log"
        exec "$app" --home "$home" --backend "$backend" </dev/null >"$work/launch.out" 2>>"$log"
    ) || fail "a launch failed: $(tail -n 20 "$log")"
    grep '^launch-time ' "$log"
}

# The instant NAME of a launch's lines, in microseconds.
instant() {
    awk -v name="$2" '$2 == name { print $3; exit }' <<<"$1"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) exit 1; print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

first_screen=()
main_page=()
for ((run = 1; run <= runs; run++)); do
    times=$(launch "$work/fresh.$run")
    start=$(instant "$times" start)
    hold=$(($(instant "$times" hold-end) - $(instant "$times" hold-start)))
    shown=$(instant "$times" first-screen)
    [ -n "$shown" ] || fail "fresh launch $run showed no screen"
    first_screen+=($(((shown - start - hold) / 1000)))

    rm -rf "$work/again"
    cp -a "$work/signed-in" "$work/again"
    times=$(launch "$work/again")
    grep -q 'page "Home"' "$work/launch.out" || fail "signed-in launch $run did not show the main page"
    loaded=$(instant "$times" page-loaded)
    [ -n "$loaded" ] || fail "signed-in launch $run reported no page load"
    main_page+=($(((loaded - $(instant "$times" hold-end)) / 1000)))
done
echo "runs: first screen ${first_screen[*]} ms; main page ${main_page[*]} ms" >&2
echo "first_screen_after_start_ms $(printf '%s\n' "${first_screen[@]}" | median)"
echo "main_page_text_after_hold_ms $(printf '%s\n' "${main_page[@]}" | median)"
