#!/usr/bin/env bash
# Source-based coverage of the product sources (src/) under the `coverage` preset.
#
# Configures, builds and runs every test, merges the raw profiles, then prints
#   1. the summary per directory (src/console, src/console/posix, src/drill, total),
#   2. the branches in src/console/ that no test ever took one way or the other,
# and writes a per-line HTML report to build/coverage/report/index.html.
#
# Usage: tools/coverage.sh        (from any directory; exits non-zero on any failure)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

build=build/coverage
profiles="$build/profiles"   # where the test preset's LLVM_PROFILE_FILE points
merged="$build/coverage.profdata"
report="$build/report"

rm -rf "$profiles" "$merged" "$report"
cmake --preset coverage
cmake --build --preset coverage
ctest --preset coverage

shopt -s nullglob
raw=("$profiles"/*.profraw)
if ((${#raw[@]} == 0)); then
    echo "coverage.sh: no profiles were written to $profiles" >&2
    exit 1
fi
llvm-profdata-14 merge -sparse -o "$merged" "${raw[@]}"

# The objects: the program and the key probe (run by the end-to-end tests) and the unit tests.
# An inline function that only one of them uses gets an empty record in the other,
# which llvm-cov announces as "N functions have mismatched data" and then ignores in
# favour of the real one; that notice is dropped here, every other message is kept.
cov() {
    { llvm-cov-14 "$1" -use-color=false -instr-profile="$merged" "$build/basedrill" \
        -object "$build/tests/unit_tests" -object "$build/tests/keyprobe" "${@:2}" 2>&1 1>&3 |
        sed '/functions have mismatched data/d' >&2; } 3>&1
}

# One summary per directory (its own files only, not its subdirectories), then all of src/.
summary() {  # $1 = label, rest = source files
    local label="$1"; shift
    cov report -show-branch-summary "$@" | awk -v label="$label" '/^TOTAL/ {
        printf "%-18s regions %7s  functions %7s  lines %7s  branches %7s\n",
               label, $4, $7, $10, $13 }'
}
echo
echo "== Coverage summary =="
summary src/console       src/console/*.cpp src/console/*.h
summary src/console/posix src/console/posix/*.cpp src/console/posix/*.h
summary src/drill         src/drill/*.cpp src/drill/*.h
summary total             src/
echo
echo "== Per file =="
cov report -show-branch-summary src/

cov show -format=html -output-dir="$report" -show-branches=count \
    -show-line-counts-or-regions src/

# `show` prints each source line as "  NN|  count|text" and under a line with a
# condition one "  |  Branch (LINE:COL): [True: N, False: M]" per instantiation
# (those of each instantiation's own view, "  |  |  Branch", are skipped).
# A side is uncovered when no instantiation took it.
echo
echo "== Uncovered branches in src/console/ =="
cov show -show-branches=count src/console/ | awk -v root="$root/" '
    /^\/.*:$/ { file = substr($0, 1, length($0) - 1); sub(root, "", file); next }
    match($0, /^ *[0-9]+\|/) {
        line = substr($0, 1, RLENGTH - 1) + 0
        text = $0; sub(/^ *[0-9]+\|[^|]*\|[ \t]*/, "", text); src[line] = text; next
    }
    /^  \|  Branch \([0-9]+:[0-9]+\)/ {
        match($0, /\([0-9]+:[0-9]+\)/); pos = substr($0, RSTART + 1, RLENGTH - 2)
        key = file ":" pos
        if (!(key in code)) { order[++n] = key; split(pos, lc, ":"); code[key] = src[lc[1] + 0] }
        if ($0 !~ /True: 0,/)   taken_true[key] = 1
        if ($0 !~ /False: 0\]/) taken_false[key] = 1
    }
    END {
        for (i = 1; i <= n; i++) {
            key = order[i]
            if (!(key in taken_true) && !(key in taken_false)) missing = "never reached"
            else if (!(key in taken_true))                    missing = "never true"
            else if (!(key in taken_false))                   missing = "never false"
            else continue
            printf "%s  %-13s  %s\n", key, missing, code[key]
        }
    }' | sort -t: -k1,1 -k2,2n -k3,3n
