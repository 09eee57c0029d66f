#!/usr/bin/env bash
# Builds the fuzz targets with the fuzz preset and runs each for a bounded time.
#
#   fuzz/run.sh                       every target, 20 s each
#   FUZZ_SECONDS=300 fuzz/run.sh      longer
#   fuzz/run.sh fuzz_key_decoder      only the targets named
#
# Each target starts from a copy of its seed corpus in build/fuzz/run/<target>/ (the corpus in
# the repository is never written), and whatever breaks goes to build/fuzz/run/<target>/
# artifacts/. Exits non-zero when the build fails or any target finds a crash, a leak, a
# timeout, an exhausted memory limit or a broken rule.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
seconds="${FUZZ_SECONDS:-20}"
# Each run of one input must end quickly; memory stays bounded for the process and per malloc.
timeout_s="${FUZZ_TIMEOUT:-10}"
rss_mb="${FUZZ_RSS_MB:-2048}"
malloc_mb="${FUZZ_MALLOC_MB:-256}"

all_targets=(fuzz_number_reader fuzz_line_reader fuzz_key_decoder)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

# Longest input per target: the readers need lines past 512 bytes and reads past 4096; the
# key decoder needs sequences past its 256-byte buffer.
max_len() {
    case "$1" in
        fuzz_key_decoder) echo 1024 ;;
        *) echo 6000 ;;
    esac
}

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
for target in "${targets[@]}"; do
    binary="$root/build/fuzz/fuzz/$target"
    seeds="$here/corpus/$target"
    work="$root/build/fuzz/run/$target"
    if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
        echo "run.sh: no target or no seed corpus for '$target'" >&2
        status=1
        continue
    fi
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$seeds"/* "$work/corpus/"

    echo "== $target: ${seconds} s" >&2
    rc=0
    "$binary" \
        -max_total_time="$seconds" \
        -timeout="$timeout_s" \
        -rss_limit_mb="$rss_mb" \
        -malloc_limit_mb="$malloc_mb" \
        -max_len="$(max_len "$target")" \
        -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" \
        "$work/corpus" 2>"$work/log" || rc=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$work/log" >&2 || true
    found="$(find "$work/artifacts" -type f | head -n 20)"
    if [ "$rc" -ne 0 ] || [ -n "$found" ]; then
        echo "== $target FAILED (exit $rc); log: $work/log" >&2
        grep -E 'rule broken|ERROR: |SUMMARY: |runtime error' "$work/log" | head -n 10 >&2 || true
        [ -z "$found" ] || echo "$found" >&2
        status=1
    else
        echo "== $target passed" >&2
    fi
done
exit "$status"
