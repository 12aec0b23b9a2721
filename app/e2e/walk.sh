#!/usr/bin/env bash
# Walks the application end to end: starts the development back end on a port the system picks (its data
# in the walk's own directory), runs the Quorvane executable against it on a fresh sandbox, feeds it the
# commands of a walk file through a pipe and checks what the screen showed after each.
#
#   walk.sh QUORVANE DEVSERVER WALKFILE
#
# A walk file has one step a line (blank lines and lines starting with "#" are skipped):
#   launch      starts the application (again) on the walk's sandbox; the earlier run gets the end of
#               its input, quits and must exit with status 0
#   > COMMAND   a device command; "{code}" in it becomes the newest verification code that the back end
#               printed since the last one used (the driver waits for it)
#   = TEXT      the output of the step's command (or of the launch, before the first command) holds TEXT
#   ! TEXT      ... does not hold TEXT
# Every wait is bounded; the first failed check ends the walk with its step, the block it looked at and
# exit status 1.
#
# A WALKFILE ending in ".md" is the README: its walk (the first block under "## A walk through the app")
# runs as it stands in one launch, each line a command that must not fail, with the code the back end
# printed in place of the word CODE.
set -uo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 QUORVANE DEVSERVER WALKFILE" >&2
    exit 2
fi
app=$1
devserver=$2
walk=$3
for file in "$app" "$devserver" "$walk"; do
    [ -e "$file" ] || { echo "walk: $file does not exist" >&2; exit 2; }
done

readonly server_start_bound=20   # seconds for the back end to say where it listens
readonly code_bound=30           # seconds for a verification code to appear
readonly run_bound=240           # seconds for one launch of the application, start to exit

app=$(realpath "$app")
devserver=$(realpath "$devserver")
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-walk.XXXXXX")
server_pid=""
app_pid=""
cleanup() {
    exec 3>&- 2>/dev/null
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "walk: $*" >&2
    exit 1
}

if [[ $walk == *.md ]]; then
    readme=$walk
    walk=$work/readme.walk
    {
        echo launch
        awk '/^## A walk through the app/ { section = 1; next }
             section && /^## / { exit }
             section && /^```/ { if (block) exit; block = 1; next }
             block' "$readme" |
            sed 's/\<CODE\>/{code}/g; s/^/> /; a ! error:'
    } >"$walk"
    grep -q '^> ' "$walk" || fail "$readme has no walk"
fi

# ---- the back end

"$devserver" --host 127.0.0.1 --port 0 --data "$work/backend" >"$work/server.log" 2>&1 &
server_pid=$!
backend=""
for ((i = 0; i < server_start_bound * 10; i++)); do
    backend=$(sed -n 's/^devserver listening on \(http:\/\/[^ ]*\)$/\1/p' "$work/server.log")
    [ -n "$backend" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$backend" ] || fail "the back end did not start: $(cat "$work/server.log")"
echo "walk: back end at $backend"

codes_used=0
# The newest code the back end printed after the ones already used.
next_code() {
    local count
    for ((i = 0; i < code_bound * 10; i++)); do
        count=$(grep -c '^SMS code for ' "$work/server.log")
        if [ "$count" -gt "$codes_used" ]; then
            codes_used=$count
            grep '^SMS code for ' "$work/server.log" | tail -n 1 | sed 's/.*: //'
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# ---- one launch at a time

launch=0
steps=()   # the current launch's commands and checks, as "kind<TAB>text"

start_app() {
    launch=$((launch + 1))
    mkfifo "$work/input.$launch"
    # From the walk's own directory, where files the walk writes (a snapshot) land.
    (cd "$work" && exec timeout "$run_bound" "$app" --home "$work/home" --backend "$backend" \
        <"$work/input.$launch" >"$work/out.$launch" 2>"$work/err.$launch") &
    app_pid=$!
    exec 3>"$work/input.$launch"
    steps=()
}

# Ends the current launch and checks its output block by block.
finish_app() {
    [ -n "$app_pid" ] || return 0
    exec 3>&-
    wait "$app_pid"
    local status=$?
    app_pid=""
    local out="$work/out.$launch"
    if [ "$status" -ne 0 ]; then
        echo "--- output of launch $launch" >&2
        cat "$out" >&2
        echo "--- console of launch $launch" >&2
        tail -n 50 "$work/err.$launch" >&2
        fail "launch $launch exited with status $status"
    fi
    mapfile -t lines <"$out"
    local position=0 block_start=0 block_end=${#lines[@]} step kind text
    # The lines from `block_start` up to the next command's echo.
    local_block() {
        local from=$1 to=${#lines[@]} j
        for ((j = from + 1; j < ${#lines[@]}; j++)); do
            if [[ ${lines[j]} == "> "* ]]; then
                to=$j
                break
            fi
        done
        block_end=$to
    }
    local_block -1
    for step in "${steps[@]}"; do
        kind=${step%%$'\t'*}
        text=${step#*$'\t'}
        case $kind in
            command)
                local found=""
                for ((j = position; j < ${#lines[@]}; j++)); do
                    if [ "${lines[j]}" == "> $text" ]; then
                        found=$j
                        break
                    fi
                done
                [ -n "$found" ] || { cat "$out" >&2; fail "launch $launch: the command \"$text\" never ran"; }
                block_start=$found
                position=$((found + 1))
                local_block "$found"
                ;;
            has | lacks)
                local block
                block=$(printf '%s\n' "${lines[@]:block_start:block_end-block_start}")
                if grep -qF -- "$text" <<<"$block"; then
                    [ "$kind" == has ] && continue
                    echo "$block" >&2
                    fail "launch $launch: the output above shows \"$text\""
                else
                    [ "$kind" == lacks ] && continue
                    echo "$block" >&2
                    fail "launch $launch: the output above does not show \"$text\""
                fi
                ;;
        esac
    done
    echo "walk: launch $launch passed (${#steps[@]} steps)"
}

line_number=0
while IFS= read -r line || [ -n "$line" ]; do
    line_number=$((line_number + 1))
    line=${line%$'\r'}
    [[ -z ${line// /} || $line == \#* ]] && continue
    case $line in
        launch)
            finish_app
            start_app
            ;;
        "> "* | "= "* | "! "*)
            [ -n "$app_pid" ] || fail "$walk:$line_number: \"$line\" comes before the first launch"
            text=${line:2}
            case ${line:0:1} in
                ">")
                    if [[ $text == *"{code}"* ]]; then
                        code=$(next_code) || fail "$walk:$line_number: the back end printed no code"
                        text=${text//\{code\}/$code}
                    fi
                    printf '%s\n' "$text" >&3 || fail "$walk:$line_number: the application stopped reading"
                    steps+=("command"$'\t'"$text")
                    ;;
                "=") steps+=("has"$'\t'"$text") ;;
                "!") steps+=("lacks"$'\t'"$text") ;;
            esac
            ;;
        *) fail "$walk:$line_number: cannot read \"$line\"" ;;
    esac
done <"$walk"
finish_app
[ "$launch" -gt 0 ] || fail "$walk has no launch"
echo "walk: $walk passed"
