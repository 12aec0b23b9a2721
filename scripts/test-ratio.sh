#!/usr/bin/env bash
# Prints the share of test code: non-blank lines of C++ in tests/ folders and testsupport/ against the
# non-blank lines of the rest of the C++ (build trees left out). With --modules, one line per module too.
# Exits non-zero when tests exceed a third of the code, so it can guard the figure.
set -euo pipefail
cd "$(dirname "$0")/.."

count() { # non-blank lines of the files named on stdin
  xargs -r cat -- | grep -cv '^[[:space:]]*$' || true
}

sources() { # every C++ source outside build trees
  find . -path ./build -prune -o -path './.git' -prune -o \( -name '*.cpp' -o -name '*.h' \) -type f -print
}

is_test='(^|/)tests/|^\./testsupport/'
tests=$(sources | grep -E "$is_test" | count)
code=$(sources | grep -Ev "$is_test" | count)

if [ "${1:-}" = "--modules" ]; then
  for module in $(sources | grep -E '/tests/' | sed -E 's#/tests/.*##' | sort -u); do
    t=$(sources | grep "^$module/tests/" | count)
    c=$(sources | grep "^$module/" | grep -v "^$module/tests/" | grep -Ev '/tests/' | count)
    awk -v m="$module" -v t="$t" -v c="$c" 'BEGIN { printf "%-28s tests %6d  code %6d  %5.1f%%\n", m, t, c, c ? 100 * t / c : 0 }'
  done
fi
awk -v t="$tests" -v c="$code" 'BEGIN {
  printf "tests %d, code %d: tests are %.1f%% of the code\n", t, c, 100 * t / c
  exit (3 * t > c) ? 1 : 0 }'
