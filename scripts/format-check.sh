#!/usr/bin/env bash
# Checks that every C++ file given is formatted as the repository's .clang-format says, with the
# clang-format of deps/debian-packages.txt. Lists the files that differ (fix them with `make format`) and
# fails; silent when all is well.
#
#   format-check.sh FILE...
set -uo pipefail
command -v clang-format >/dev/null || { echo "format-check: clang-format is not installed (make deps)" >&2; exit 2; }
# One run over all files; clang-format names each file that differs in lines "FILE:LINE:COLUMN: error: ...".
report=$(clang-format --dry-run --Werror "$@" 2>&1) && exit 0
mapfile -t differ < <(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: .*/\1/p' <<<"$report" | sort -u)
if ((${#differ[@]} == 0)); then
    echo "format-check: clang-format failed:" >&2
    echo "$report" >&2
    exit 1
fi
echo "format-check: ${#differ[@]} file(s) differ from .clang-format (make format fixes them):" >&2
printf '  %s\n' "${differ[@]}" >&2
exit 1
