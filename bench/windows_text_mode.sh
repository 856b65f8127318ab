#!/usr/bin/env bash
# windows_text_mode.sh: what the Windows text streams cost, quarnel.exe under Wine against
# the native build.
#
# Makes about 200 MB of log-like lines twice, once with LF and once with CR LF line ends,
# and runs each build over each file (stdin from the file, stdout to /dev/null): once
# copying every line (-f: every line goes through the output translation) and once
# selecting none (-fNO-SUCH-TEXT: input only). Prints the median of five runs of the CPU
# time (user + system) and of the wall time. Wine runs inside one session (private prefix,
# persistent wineserver), as the test suite runs them.
#
# Usage: bench/windows_text_mode.sh
#   Builds build/quarnel and build-windows/quarnel.exe (make build windows) when missing.
#   SIZE_MB=200 chooses the input size in MiB; RUNS=5 the runs per figure.
# Not part of the test suite.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
size_mb="${SIZE_MB:-200}"
runs="${RUNS:-5}"
native="$root/build/quarnel"
windows="$root/build-windows/quarnel.exe"
[[ -x "$native" ]] || make -C "$root" build >/dev/null
[[ -f "$windows" ]] || make -C "$root" windows >/dev/null

work="$(mktemp -d)"
export QUARNEL_WINEPREFIX="$work/wine-prefix"
trap '"$root/cmake/wine-run.sh" --stop; rm -rf "$work"' EXIT
"$root/cmake/wine-run.sh" --start "$windows" -?

awk 'BEGIN {
    srand(20240610);
    split("INFO WARN ERROR DEBUG INFO INFO", level, " ");
    split("users orders items search login health metrics", area, " ");
    for (i = 0; i < 40000; i++) {
        printf "2024-06-%02d %02d:%02d:%02d %-5s host-%02d /api/%s/%d took %d ms", 1 + int(rand() * 28),
            int(rand() * 24), int(rand() * 60), int(rand() * 60), level[1 + int(rand() * 6)], int(rand() * 40),
            area[1 + int(rand() * 7)], int(rand() * 100000), int(rand() * 2000);
        words = int(rand() * 8);
        for (w = 0; w < words; w++) printf " %s=%d", area[1 + int(rand() * 7)], int(rand() * 1000000);
        printf "\n";
    }
}' >"$work/seed.txt"
{ while cat "$work/seed.txt"; do :; done; } 2>/dev/null | head -c $((size_mb * 1024 * 1024)) >"$work/lf.txt" || true
sed 's/$/\r/' "$work/lf.txt" >"$work/crlf.txt"

# measure prints "cpu/wall" in seconds, the medians of the runs of one command.
measure() {
    local input=$1
    shift
    local cpu=() wall=()
    for ((i = 0; i < runs; i++)); do
        /usr/bin/time -o "$work/time" -f "%U %S %e" "$@" <"$input" >/dev/null 2>/dev/null || true
        read -r user system elapsed <"$work/time"
        cpu+=("$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')")
        wall+=("$elapsed")
    done
    local median=$(((runs + 1) / 2))
    printf '%s/%s' "$(printf '%s\n' "${cpu[@]}" | sort -n | sed -n "${median}p")" \
        "$(printf '%s\n' "${wall[@]}" | sort -n | sed -n "${median}p")"
}

printf '%-10s %-6s %16s %16s\n' "options" "input" "native cpu/wall" "Windows cpu/wall"
for args in "-f" "-fNO-SUCH-TEXT"; do
    for input in lf crlf; do
        printf '%-10s %-6s %16s %16s\n' "${args:0:10}" "$input" "$(measure "$work/$input.txt" "$native" "$args")" \
            "$(measure "$work/$input.txt" "$root/cmake/wine-run.sh" "$windows" "$args")"
    done
done
