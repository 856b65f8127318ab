#!/usr/bin/env bash
# run.sh: build the fuzz targets (if needed) and run each for a bounded time.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60; 0 only replays the seed corpus); TARGETs default to all
# four. Each target starts from a scratch copy of fuzz/corpus/<target>, so a run never
# litters the repository, with its dictionary, a maximum input length suited to it, a
# 10-second timeout per input (a hang is a finding) and a 2 GB memory limit. Crash, timeout
# and leak inputs land in fuzz/out/<target>/ (ignored by git), the log in
# fuzz/out/<target>.log. The script exits non-zero when any target found something.
#
# Environment: FUZZ_BUILD (build directory, default build-fuzz), FUZZ_OUT (default
# fuzz/out), FUZZ_FLAGS (extra libFuzzer flags), FUZZ_KEEP_CORPUS (a directory: the grown
# corpora are copied there), FUZZ_JOBS (build parallelism, default 2).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${FUZZ_BUILD:-$root/build-fuzz}"
out="${FUZZ_OUT:-$here/out}"
all_targets=(regcompile_fuzz regsearch_fuzz differential_fuzz filter_fuzz)

seconds="${1:-60}"
if [ $# -gt 0 ]; then shift; fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [SECONDS] [TARGET...]   targets: ${all_targets[*]}" >&2
    exit 2
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

# max_len_for gives the largest input a target is fed. The compiler needs room for programs
# near the size limit (a set can emit 255 bytes from 6); the reference matcher recurses on
# the stack, so its lines are short; the filter wants several lines and arguments.
max_len_for() {
    case "$1" in
    regcompile_fuzz) echo 4096 ;;
    regsearch_fuzz) echo 4096 ;;
    differential_fuzz) echo 1024 ;;
    filter_fuzz) echo 8192 ;;
    *) echo "unknown target: $1 (targets: ${all_targets[*]})" >&2; exit 2 ;;
    esac
}
for target in "${targets[@]}"; do max_len_for "$target" >/dev/null; done

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz/run.sh: clang++ not found (install clang and libclang-rt-dev)" >&2
    exit 2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$here" -B "$build" >/dev/null
fi
cmake --build "$build" -j "${FUZZ_JOBS:-2}" --target "${targets[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failed=()
for target in "${targets[@]}"; do
    mkdir -p "$out/$target" "$scratch/$target"
    cp -R "$here/corpus/$target/." "$scratch/$target/"
    log="$out/$target.log"
    limit=(-max_total_time="$seconds")
    [ "$seconds" -gt 0 ] || limit=(-runs=0)
    echo "=== $target: ${seconds}s from $(ls "$here/corpus/$target" | wc -l) seeds (log: $log)"
    status=0
    # shellcheck disable=SC2086  # FUZZ_FLAGS is a list of flags
    "$build/$target" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len_for "$target")" \
        -dict="$here/dict/$target.dict" -artifact_prefix="$out/$target/" -print_final_stats=1 \
        ${FUZZ_FLAGS:-} "$scratch/$target" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        echo "!!! $target failed (status $status); the end of its log:"
        tail -n 60 "$log"
        ls -l "$out/$target/" || true
    else
        grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::number_of_executed_units|^Done' "$log" || tail -n 5 "$log"
    fi
    if [ -n "${FUZZ_KEEP_CORPUS:-}" ]; then
        mkdir -p "$FUZZ_KEEP_CORPUS/$target"
        cp -R "$scratch/$target/." "$FUZZ_KEEP_CORPUS/$target/"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz/run.sh: findings in: ${failed[*]} (inputs under $out)" >&2
    exit 1
fi
echo "fuzz/run.sh: no findings in ${targets[*]}"
