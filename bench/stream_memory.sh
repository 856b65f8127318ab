#!/usr/bin/env bash
# stream_memory.sh: peak resident memory of quarnel streaming ordinary text.
#
# Feeds quarnel about 1 GB (and then 100 MB) of ordinary log-like lines through a pipe,
# with several option sets, writes its output to /dev/null and prints the peak resident
# set size that /usr/bin/time -v reports. The figure should stay far under 64 MB and not
# depend on the input size. No 1 GB file is written: a few MB of varied lines are made
# once and repeated into the pipe.
#
# Usage: bench/stream_memory.sh [path/to/quarnel]
#   Without a path it uses build/quarnel, building it first if it is missing.
#   SIZES_MB="1024 100" chooses the input sizes in MiB.
# Not part of the test suite: a 1 GB run takes a while.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
quarnel="${1:-$root/build/quarnel}"
sizes_mb="${SIZES_MB:-1024 100}"

if [[ ! -x "$quarnel" ]]; then
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build" --target quarnel -j2 >/dev/null
fi
if [[ ! -x /usr/bin/time ]]; then
    echo "stream_memory.sh: /usr/bin/time is needed (package 'time')" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The seed: 40,000 varied lines (about 4 MB) of the kind a log filter sees.
awk 'BEGIN {
    srand(20240307);
    split("INFO WARN ERROR DEBUG INFO INFO", level, " ");
    split("GET POST PUT DELETE GET GET", method, " ");
    split("users orders items search login health metrics", area, " ");
    split("alice bob carol dave erin frank grace", user, " ");
    for (i = 0; i < 40000; i++) {
        printf "2024-03-%02d %02d:%02d:%02d.%03d %-5s host-%02d %s /api/%s/%d took %d ms user=%s",
            1 + int(rand() * 28), int(rand() * 24), int(rand() * 60), int(rand() * 60), int(rand() * 1000),
            level[1 + int(rand() * 6)], int(rand() * 40), method[1 + int(rand() * 6)],
            area[1 + int(rand() * 7)], int(rand() * 100000), int(rand() * 2000), user[1 + int(rand() * 7)];
        words = int(rand() * 12);
        for (w = 0; w < words; w++) printf " %s=%d", area[1 + int(rand() * 7)], int(rand() * 1000000);
        printf "\n";
    }
}' >"$work/seed.txt"

# generate writes exactly $1 bytes of repeated seed lines to stdout.
generate() {
    local bytes=$1
    # The endless loop ends with SIGPIPE once head has what it needs.
    { while cat "$work/seed.txt"; do :; done; } 2>/dev/null | head -c "$bytes"
}

# run_set runs quarnel with the given arguments over size_mb MiB and prints one row.
run_set() {
    local name=$1 size_mb=$2
    shift 2
    local bytes=$((size_mb * 1024 * 1024))
    if ! generate "$bytes" | /usr/bin/time -v "$quarnel" "$@" >/dev/null 2>"$work/err"; then
        echo "quarnel failed for: $name" >&2
        cat "$work/err" >&2
        exit 1
    fi
    local rss_kb wall seconds rate summary
    rss_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/err")
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/err")
    seconds=$(awk -v t="$wall" 'BEGIN { n = split(t, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }')
    rate=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { if (s > 0) printf "%.0f", b / 1048576 / s; else print "-" }')
    summary=$(grep -o 'Processing [0-9]*/[0-9]* lines' "$work/err" || echo "no summary")
    printf '%-18s %6s MB %9.1f MB %10s %9s  %s\n' "$name" "$size_mb" "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')" \
        "$wall" "$rate" "$summary"
}

printf '%-18s %9s %12s %10s %9s  %s\n' "options" "input" "peak RSS" "time" "MB/s" "summary"
for size_mb in $sizes_mb; do
    run_set "copy" "$size_mb" -f
    run_set "find" "$size_mb" -fERROR
    run_set "find, ignore case" "$size_mb" -ic -ferror
    run_set "regexp" "$size_mb" "-reg(GET|POST) /api/([a-z]+)/[0-9]+ took [0-9]+ ms"
    run_set "regexp + sub" "$size_mb" "-reg(GET|POST) /api/([a-z]+)/([0-9]+)" '-sub\2 \1 #\3 (&)'
    run_set "line numbers" "$size_mb" -ln
done
