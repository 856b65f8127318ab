#!/usr/bin/env bash
# scale_bench.sh: one quarnel run against the ways of spreading the same job over the cores
# with GNU parallel and xargs, on one big file and on many files; docs/scaling.md has the
# table it prints and what follows from it.
#
# Jobs: L, one literal ignoring case (`-ic -ferror`, which runs at memory speed); R, a
# regex job with -sub on the few lines it matches (`([a-z_]+)\(([a-z_]+)`); S,
# -sub on most lines (`^([^ ]*) (.*)$` rewritten as `\2 \1`). Forms on one big file: one
# run, `parallel --pipepart -a FILE --block -2 -k` (the file cut in place into two pieces
# per core) and `parallel --pipe -k --block 1M` (the file pushed through parallel). Forms
# on the same bytes as many files (cut at line ends): a loop that runs quarnel on one file
# after the other, `xargs -0 -P CORES` and `parallel -j CORES`, each file's output into a
# file of its own.
#
# Every form's output is first checked against one run's (byte for byte, file by file);
# then hyperfine times the forms of a job side by side, one run of each per round (A B A B
# ...), with standard error thrown away and, on one file, standard output through a pipe
# that hyperfine empties. The table gives each form's median and fastest-slowest wall
# seconds, its ratio to one quarnel at a time (one run on the big file, the files one
# after another), and its median CPU seconds (user + system, children included).
#
# Usage: bench/scale_bench.sh [path/to/quarnel]   (default build-release/quarnel; make
#        scale-bench builds it and the corpus, then runs this)
#   SCALE_RUNS=5       timed runs per form
#   SCALE_JOBS=L,S     run only these jobs
#   SCALE_CORPUS=file  the big file (default the 512 MiB corpus of bench/peer_bench.sh,
#                      build-release/bench-corpus/corpus-v1-512MiB.txt)
#   SCALE_FILES=64     how many files the corpus is cut into for the many-files forms
# Exit status: 0 when every form agreed with one run, 1 otherwise, 77 without hyperfine
# or GNU parallel.
set -euo pipefail
export LC_ALL=C

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
quarnel="$(realpath "${1:-$root/build-release/quarnel}")"
runs="${SCALE_RUNS:-5}"
only_jobs="${SCALE_JOBS:-}"
corpus="${SCALE_CORPUS:-$root/build-release/bench-corpus/corpus-v1-512MiB.txt}"
file_count="${SCALE_FILES:-64}"
cores=$(nproc)

fail() {
    echo "scale_bench.sh: $*" >&2
    exit 1
}
for tool in hyperfine parallel xargs split; do
    command -v "$tool" >/dev/null 2>&1 || { echo "scale_bench.sh: $tool is needed" >&2; exit 77; }
done
[[ -x $quarnel ]] || fail "no quarnel binary at $quarnel (make scale-bench builds one)"
[[ -f $corpus ]] || fail "no corpus at $corpus (make scale-bench, or make bench once, builds it)"
[[ $runs =~ ^[1-9][0-9]*$ ]] || fail "SCALE_RUNS must be a positive number, not '$runs'"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The commands find quarnel on PATH, as a user's would; GNU parallel keeps its files in a
# home of its own.
mkdir -p "$work/bin" "$work/home" "$work/files"
ln -s "$quarnel" "$work/bin/quarnel"
export PATH="$work/bin:$PATH" HOME="$work/home"
split -n "l/$file_count" -d -a 3 --additional-suffix=.log "$corpus" "$work/files/part"
files=("$work/files"/part*.log)

# Each job: its id, then the quarnel arguments as the shell would read them.
jobs=(
    "L|-ic -ferror"
    "R|'-reg([a-z_]+)\\(([a-z_]+)' '-sub\\1 \\2'"
    "S|'-reg^([^ ]*) (.*)\$' '-sub\\2 \\1'"
)

# forms ARGS: "name|command" lines, the command for bash; the many-files commands write
# FILE.out beside each file, the others write to standard output. parallel -q quotes each
# argument for the shell that runs a piece; the command of parallel -j is a shell text.
forms() {
    local q="quarnel $1"
    printf '%s\n' \
        "one run|$q < $corpus" \
        "parallel --pipepart|parallel --will-cite --pipepart -a $corpus --block -2 -k -q $q" \
        "parallel --pipe|parallel --will-cite --pipe -k --block 1M -q $q < $corpus" \
        "files: one after another|for f in $work/files/*.log; do $q < \"\$f\" > \"\$f.out\"; done" \
        "files: xargs -P $cores|printf '%s\\0' $work/files/*.log | xargs -0 -P $cores -I{} sh -c '$(sed "s/'/'\\\\''/g" <<<"$q") < \"\$1\" > \"\$1.out\"' sh {}" \
        "files: parallel -j $cores|parallel --will-cite -j $cores '$(sed "s/'/'\\\\''/g" <<<"$q") < {} > {}.out' ::: $work/files/*.log"
}

# median_of CSV...: "name median min max cpu" for every command of hyperfine's CSV exports
# (one run of each command in each): wall seconds, and the median CPU seconds (user +
# system, the command's children included).
median_of() {
    awk -F, 'FNR > 1 { print $1 "\t" $2 "\t" $5 + $6 }' "$@" > "$work/times"
    # middle COLUMN: "name median min max" of that column, per command.
    middle() {
        sort -t $'\t' -k1,1 -k"$1,$1"g "$work/times" | awk -F'\t' -v col="$1" '
            function flush() {
                if (n) printf "%s\t%s\t%s\t%s\n", name, (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2), v[1], v[n]
            }
            $1 != name { flush(); name = $1; n = 0 }
            { v[++n] = $col }
            END { flush() }'
    }
    middle 3 > "$work/cpu"
    middle 2 | awk -F'\t' 'NR == FNR { cpu[$1] = $2; next } { print $0 "\t" cpu[$1] }' "$work/cpu" -
}

status=0
echo "quarnel: $quarnel; corpus: $corpus ($(stat -c %s "$corpus") bytes, $(wc -l < "$corpus") lines; $file_count files for the file forms)"
echo "machine: $cores cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$(parallel --version | head -n 1); hyperfine: $(hyperfine --version); $runs runs per form, A B A B"
echo
printf '| %s | %s | %s | %s | %s |\n' Job Form "Wall s, median (fastest-slowest)" "Wall, ratio to one quarnel at a time" "CPU s, median"
printf '|---|---|---|---|---|\n'
for job in "${jobs[@]}"; do
    id=${job%%|*}
    args=${job#*|}
    if [[ -n $only_jobs && ",$only_jobs," != *",$id,"* ]]; then continue; fi
    names=()
    commands=()
    while IFS='|' read -r name command; do
        names+=("$name")
        commands+=("$command")
    done < <(forms "$args")

    # The check: one run is the reference, on the big file and file by file.
    bash -c "${commands[0]}" > "$work/reference" 2>/dev/null || fail "$id: one run failed"
    bash -c "${commands[3]}" 2>/dev/null || fail "$id: the runs file by file failed"
    for f in "${files[@]}"; do mv "$f.out" "$f.reference"; done
    for ((c = 1; c < ${#commands[@]}; ++c)); do
        if ((c < 3)); then
            bash -c "${commands[c]}" > "$work/out" 2>/dev/null || { echo "$id: ${names[c]} failed" >&2; status=1; }
            cmp -s "$work/reference" "$work/out" || { echo "$id: ${names[c]} differs from one run" >&2; status=1; }
        else
            bash -c "${commands[c]}" 2>/dev/null || { echo "$id: ${names[c]} failed" >&2; status=1; }
            for f in "${files[@]}"; do
                cmp -s "$f.reference" "$f.out" || { echo "$id: ${names[c]} differs on ${f##*/}" >&2; status=1; }
            done
        fi
    done
    rm -f "$work/out" "$work/reference"

    arguments=()
    for ((c = 0; c < ${#commands[@]}; ++c)); do arguments+=(--command-name "$id ${names[c]}" "${commands[c]} 2>/dev/null"); done
    for ((round = 1; round <= runs; ++round)); do
        hyperfine --runs 1 --shell=bash --output=pipe --style none --export-csv "$work/$id.$round.csv" \
            "${arguments[@]}" > /dev/null
    done
    declare -A median=() range=() cpu=()
    while IFS=$'\t' read -r name m fastest slowest cpu_median; do
        median[$name]=$m
        range[$name]=$(printf '%.2f (%.2f-%.2f)' "$m" "$fastest" "$slowest")
        cpu[$name]=$(printf '%.2f' "$cpu_median")
    done < <(median_of "$work/$id".*.csv)
    for ((c = 0; c < ${#names[@]}; ++c)); do
        name="$id ${names[c]}"
        base=$([[ $c -lt 3 ]] && echo "$id ${names[0]}" || echo "$id ${names[3]}")
        ratio=$(awk -v a="${median[$name]}" -v b="${median[$base]}" 'BEGIN { printf "%.2f", a / b }')
        printf '| %s `%s` | %s | %s | %s | %s |\n' "$id" "$args" "${names[c]}" "${range[$name]}" "$ratio" "${cpu[$name]}"
    done
    unset median range cpu
    rm -f "${files[@]/%/.out}" "${files[@]/%/.reference}"
done
exit "$status"
