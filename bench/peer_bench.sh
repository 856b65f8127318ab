#!/usr/bin/env bash
# peer_bench.sh: quarnel side by side with grep, rg, ugrep, awk, tr, cat, perl and sed on
# hundreds of MiB of real text, as a user would run them.
#
# The corpus is text found on this machine: headers under /usr/include, documentation under
# /usr/share/doc and man pages, compressed files decompressed, files that hold a NUL byte left
# out, all in byte order of their paths and repeated from the start when they do not fill the
# size. It is built once into a cache directory and reused; the same machine gives the same
# bytes. A second corpus, "long lines", joins runs of lines of the first with a space so that
# its lines average about 4 KB.
#
# Each job runs quarnel and every installed peer that does exactly the same job. One untimed
# run of each command checks its output against quarnel's byte for byte (grep-style line
# numbers are rewritten as quarnel's first) and warms the page cache; then hyperfine times
# them side by side, one run of each command per round (A B A B ...): standard input
# redirected from the corpus (or fed by cat through a pipe), standard output through a pipe
# that hyperfine empties, standard error discarded. A peer whose output differs is reported
# and not timed. The table gives quarnel's median, its throughput, the fastest agreeing peer
# and the ratio of the two medians; below it every command's median, fastest and slowest run.
#
# Usage: bench/peer_bench.sh [path/to/quarnel]   (default build-release/quarnel, which
#        make bench builds as a Release build and then runs this on)
#   BENCH_RUNS=5         timed runs per command (medians are taken over them)
#   BENCH_WARMUP=0       extra untimed hyperfine runs per command, after the check run
#   BENCH_JOBS=W1,W3     run only these jobs (ids as in the table; default all)
#   BENCH_PEERS=rg,grep  compare only with these peers (default every installed one)
#   BENCH_EXTRA_PEERS=1  also the peers that are several times slower (awk, perl, sed, ...)
#   BENCH_CORPUS_MIB=512 corpus size in MiB
#   BENCH_CACHE=dir      where the corpora are kept (default bench-corpus beside quarnel)
#   BENCH_OUT=dir        where the table and hyperfine's logs go (default bench-results
#                        beside quarnel)
# Exit status: 0 when every output agreed, 1 when some peer's output differed or a run
# failed, 77 when hyperfine is missing.
set -euo pipefail
export LC_ALL=C
trap 'echo "peer_bench.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
quarnel="${1:-$root/build-release/quarnel}"
[[ -x $quarnel ]] || {
    echo "peer_bench.sh: no quarnel binary at $quarnel (make bench builds one)" >&2
    exit 1
}
build_dir="$(cd "$(dirname "$quarnel")" && pwd)"
runs="${BENCH_RUNS:-5}"
warmup="${BENCH_WARMUP:-0}"
only_jobs="${BENCH_JOBS:-}"
only_peers="${BENCH_PEERS:-}"
extra_peers="${BENCH_EXTRA_PEERS:-}"
corpus_mib="${BENCH_CORPUS_MIB:-512}"
cache_dir="${BENCH_CACHE:-$build_dir/bench-corpus}"
out_dir="${BENCH_OUT:-$build_dir/bench-results}"

# CORPUS_RECIPE names the way the corpus is made; change it when the recipe changes so that
# stale caches are not reused.
CORPUS_RECIPE=v1
# LONG_LINE_BYTES is the average line length the long-line corpus aims at.
LONG_LINE_BYTES=4096
# BATCH_FILES is how many source files are staged and filtered at once.
BATCH_FILES=500

fail() {
    echo "peer_bench.sh: $*" >&2
    exit 1
}

if ! command -v hyperfine >/dev/null 2>&1; then
    echo "peer_bench.sh: hyperfine is needed: apt-get install hyperfine (Debian), or cargo install hyperfine" >&2
    exit 77
fi
[[ $runs =~ ^[1-9][0-9]*$ ]] || fail "BENCH_RUNS must be a positive number, not '$runs'"
[[ $warmup =~ ^[0-9]+$ ]] || fail "BENCH_WARMUP must be a number, not '$warmup'"
[[ $corpus_mib =~ ^[1-9][0-9]*$ ]] || fail "BENCH_CORPUS_MIB must be a positive number, not '$corpus_mib'"

mkdir -p "$cache_dir" "$out_dir"
work="$(mktemp -d "$out_dir/work.XXXXXX")"
# Corpora are written under a temporary name in the cache directory and renamed when whole;
# an interrupted build leaves nothing behind.
partial="$cache_dir/.partial.$$"
trap 'rm -rf "$work" "$partial".*' EXIT

# ---------------------------------------------------------------------------------------
# The corpora

# append_text_files appends the text of the given files, in the order given, to the file $1:
# .gz files are decompressed (in a staging directory, so that each can be examined on its
# own) and files that contain a NUL byte are left out.
append_text_files() {
    local out=$1 path
    shift
    local stage="$work/stage" gz=() readable=() text=()
    rm -rf "$stage"
    mkdir -p "$stage"
    for path; do
        if [[ $path == *.gz ]]; then gz+=("$path"); fi
    done
    if ((${#gz[@]} > 0)); then
        # A file that cannot be read or does not decompress is passed over below.
        cp --parents -t "$stage" -- "${gz[@]}" 2>/dev/null || true
        gzip -dqf -- "${gz[@]/#/$stage}" 2>/dev/null || true
    fi
    for path; do
        if [[ $path == *.gz ]]; then path="$stage${path%.gz}"; fi
        if [[ -f $path ]]; then readable+=("$path"); fi
    done
    ((${#readable[@]} > 0)) || return 0
    # grep -L names, in order, the files without a NUL byte; it exits 1 when there are none.
    # The names go through a file: bash reads a pipe one byte at a time.
    grep -LaP '\x00' -- "${readable[@]}" >"$work/text-files" || true
    mapfile -t text <"$work/text-files"
    ((${#text[@]} > 0)) || return 0
    cat -- "${text[@]}" >>"$out"
}

# build_corpus writes the text corpus of $2 bytes to $1: whole lines only, so it may end a
# little short of $2.
build_corpus() {
    local target=$1 bytes=$2 part="$partial.text" roots=() sources=() root_dir size i
    : >"$part"
    for root_dir in /usr/include /usr/share/doc /usr/share/man; do
        if [[ -d $root_dir ]]; then roots+=("$root_dir"); fi
    done
    ((${#roots[@]} > 0)) || fail "none of /usr/include, /usr/share/doc, /usr/share/man exists"
    # Paths with a line feed are left out so that the lists can be read line by line.
    find "${roots[@]}" -type f ! -name $'*\n*' | sort >"$work/sources"
    mapfile -t sources <"$work/sources"
    for ((i = 0; i < ${#sources[@]}; i += BATCH_FILES)); do
        append_text_files "$part" "${sources[@]:i:BATCH_FILES}"
        if (($(stat -c %s "$part") > bytes)); then break; fi
    done
    size=$(stat -c %s "$part")
    ((size > 0)) || fail "no text found under ${roots[*]}"
    # Too little text: repeat it from the start until there is more than enough.
    while ((size <= bytes)); do
        head -c "$((bytes - size < size ? bytes - size + 1 : size))" "$part" >>"$part.more"
        cat "$part.more" >>"$part"
        rm -f "$part.more"
        size=$(stat -c %s "$part")
    done
    # Cut at the size, then drop the last, possibly partial, line.
    head -c "$bytes" "$part" | sed '$d' >"$part.cut"
    rm -f "$part"
    mv "$part.cut" "$target"
}

# build_long_corpus writes to $2 the lines of $1 joined by a space in runs long enough that
# the joined lines average about LONG_LINE_BYTES.
build_long_corpus() {
    local source=$1 target=$2 bytes lines run dashes=()
    bytes=$(stat -c %s "$source")
    lines=$(wc -l <"$source")
    run=$(((LONG_LINE_BYTES * lines + bytes / 2) / bytes))
    ((run <= lines)) || run=$lines
    ((run >= 1)) || run=1
    for ((i = 0; i < run; i++)); do dashes+=(-); done
    paste -d ' ' "${dashes[@]}" <"$source" >"$partial.long"
    mv "$partial.long" "$target"
}

corpus="$cache_dir/corpus-$CORPUS_RECIPE-${corpus_mib}MiB.txt"
long_corpus="$cache_dir/corpus-$CORPUS_RECIPE-${corpus_mib}MiB-long.txt"
if [[ ! -f $corpus ]]; then
    echo "building the corpus: $corpus (once; later runs reuse it)" >&2
    build_corpus "$corpus" "$((corpus_mib * 1024 * 1024))"
fi
if [[ ! -f $long_corpus ]]; then
    echo "building the long-line corpus: $long_corpus" >&2
    build_long_corpus "$corpus" "$long_corpus"
fi

# The generated corpora, for jobs whose text this machine does not have: each is made by
# awk from a fixed seed (Park-Miller, exact in awk's doubles), so it is the same everywhere.
#   dna     957,482 lines of 70 random A, C, G, T (about 65 MiB)
#   log     256 MiB of a service log: time stamps, levels, services, messages; "error" now
#           and then in every letter case
#   digits  the numbers 1 to 40,000,000, one a line (seq)
#   ab      32 MiB of 80-byte lines of random a and b
#   alines  2,000 lines of 5,000 a followed by "cb"
PARK_MILLER='function rnd() { x = (x * 16807) % 2147483647; return x }'
generate_corpus() {  # name, target
    case $1 in
        dna)
            awk "$PARK_MILLER"' BEGIN { x = 1; split("A C G T", b, " ");
                for (i = 0; i < 957482; i++) { s = ""; for (j = 0; j < 70; j++) s = s b[rnd() % 4 + 1]; print s } }' ;;
        log)
            awk "$PARK_MILLER"' BEGIN { x = 7; size = 256 * 1024 * 1024;
                split("INFO DEBUG WARN", level, " ");
                split("auth billing cache gateway search storage queue mailer", service, " ");
                split("request served|cache miss for key|user logged in|connection reset by peer|slow query|" \
                      "job finished|token refreshed|upstream timeout|wrote checkpoint|no route to host|" \
                      "accepted connection|closing idle connection|rate limit reached|scheduled task started|" \
                      "disk usage at threshold|reloaded settings|ok", message, "|");
                split("retrying after error|Error reading config, using defaults|ERROR budget exceeded", trouble, "|");
                for (n = 0; n < size; ) {
                    t = n / 4096;
                    r = rnd() % 1000;
                    lv = r < 8 ? "ERROR" : level[r % 3 + 1];
                    msg = r >= 990 ? trouble[r % 3 + 1] : message[rnd() % 17 + 1];
                    line = sprintf("2026-12-08T%02d:%02d:%02d.%03dZ %-5s [%s-%d] %s id=%d took=%dms",
                        int(t / 3600) % 24, int(t / 60) % 60, int(t) % 60, rnd() % 1000, lv,
                        service[rnd() % 8 + 1], rnd() % 16, msg, rnd() % 1000000, rnd() % 5000);
                    print line; n += length(line) + 1 } }' ;;
        digits) seq 1 40000000 ;;
        ab)
            awk "$PARK_MILLER"' BEGIN { x = 11;
                for (i = 0; i < 419430; i++) { s = ""; for (j = 0; j < 80; j++) s = s (rnd() % 2 ? "a" : "b"); print s } }' ;;
        alines)
            awk 'BEGIN { s = ""; for (j = 0; j < 5000; j++) s = s "a"; for (i = 0; i < 2000; i++) print s "cb" }' ;;
        *) fail "no corpus '$1'" ;;
    esac >"$partial.$1"
    mv "$partial.$1" "$2"
}

# corpus_file_of prints the file of the corpus kind $1, making a generated one when missing.
corpus_file_of() {
    case $1 in
        text) echo "$corpus" ;;
        long) echo "$long_corpus" ;;
        *)
            local file="$cache_dir/generated-$CORPUS_RECIPE-$1.txt"
            if [[ ! -f $file ]]; then
                echo "generating the $1 corpus: $file (once)" >&2
                generate_corpus "$1" "$file"
            fi
            echo "$file" ;;
    esac
}

# describe_corpus prints bytes, lines, average line length and a checksum, remembered in a
# file beside the corpus so that it is computed once.
describe_corpus() {
    local file=$1 bytes lines
    if [[ ! -f $file.about || $file.about -ot $file ]]; then
        bytes=$(stat -c %s "$file")
        lines=$(wc -l <"$file")
        printf '%d bytes, %d lines (%.0f bytes per line), md5 %s\n' "$bytes" "$lines" \
            "$(awk -v b="$bytes" -v l="$lines" 'BEGIN { print b / l }')" \
            "$(md5sum <"$file" | cut -c1-32)" >"$file.about"
    fi
    cat "$file.about"
}

# ---------------------------------------------------------------------------------------
# The jobs

# Each job is quarnel's arguments (shell words), the corpus and how it is fed, and the peers
# that do exactly the same job: a name and a shell command. The peers are those that can be
# the fastest at the job; --extra marks slower ones (several times slower here), which run
# only with BENCH_EXTRA_PEERS=1. --numbered marks a peer that writes grep's "N:" line numbers
# from 1, which are rewritten as quarnel's "%5u: " from 0 before the outputs are compared.
job_ids=() job_titles=() job_args=() job_corpora=() job_feeds=() job_first_peer=()
peer_names=() peer_commands=() peer_numbered=() peer_extra=()

job() {  # id, title, corpus (text|long), feed (file|pipe), quarnel's arguments
    job_ids+=("$1")
    job_titles+=("$2")
    job_corpora+=("$3")
    job_feeds+=("$4")
    job_args+=("$5")
    job_first_peer+=("${#peer_names[@]}")
}

peer() {  # [--extra] [--numbered] name command
    local extra="" numbered=""
    while [[ $1 == --* ]]; do
        case $1 in
            --extra) extra=yes ;;
            --numbered) numbered=yes ;;
        esac
        shift
    done
    peer_names+=("$1")
    peer_commands+=("$2")
    peer_extra+=("$extra")
    peer_numbered+=("$numbered")
}

# literal_peers adds the peers that select the lines containing the literal $1.
literal_peers() {
    peer grep "grep -a -F '$1'"
    peer rg "rg --no-config -a -F '$1'"
    peer ugrep "ugrep -a -F '$1'"
    peer --extra awk "awk 'index(\$0, \"$1\")'"
    peer --extra perl "perl -ne 'print if index(\$_, \"$1\") >= 0'"
}

# regex_peers adds the peers that select the lines matching the extended regex $1.
# --no-unicode keeps rg's classes and case to bytes, as quarnel's are.
regex_peers() {
    peer grep "grep -a -E '$1'"
    peer rg "rg --no-config -a --no-unicode '$1'"
    peer --extra ugrep "ugrep -a -E '$1'"
    peer --extra awk "awk '/$1/'"
    peer --extra perl "perl -ne 'print if /$1/'"
}

job W0 "copy every line" text file "-iv"
peer cat "cat"
peer --extra grep "grep -a ''"
peer --extra rg "rg --no-config -a ''"
peer --extra awk "awk 1"
peer --extra sed "sed ''"
peer --extra perl "perl -pe ''"

job W1 "one literal, ~1 % of lines" text file "-ffunction"
literal_peers function

job W2 "three literals" text file "-ffunction -fmemory -fbuffer"
peer grep "grep -a -F -e function -e memory -e buffer"
peer rg "rg --no-config -a -F -e function -e memory -e buffer"
peer ugrep "ugrep -a -F -e function -e memory -e buffer"
peer --extra awk "awk '/function|memory|buffer/'"

job W3 "one literal, ignore case" text file "-ic -ferror"
peer grep "grep -a -F -i error"
peer rg "rg --no-config -a --no-unicode -F -i error"
peer ugrep "ugrep -a -F -i error"
peer --extra awk "awk 'index(tolower(\$0), \"error\")'"
peer --extra perl "perl -ne 'print if /error/i'"

job W4 "invert a common literal" text file "-iv -fa"
peer grep "grep -a -v -F a"
peer rg "rg --no-config -a -v -F a"
peer ugrep "ugrep -a -v -F a"
peer --extra awk "awk '!index(\$0, \"a\")'"
peer --extra sed "sed '/a/d'"

job W5 "number every line" text file "-ln"
peer --numbered grep "grep -a -n ''"
peer --numbered rg "rg --no-config -a -n ''"
peer --extra --numbered ugrep "ugrep -a -n ''"
peer --extra awk "awk '{ printf \"%5d: %s\\n\", NR - 1, \$0 }'"
peer --extra perl "perl -ne 'printf \"%5d: %s\", \$. - 1, \$_'"

# GNU sed's \U is no peer: under LC_ALL=C it turns bytes 0x80-0xFF into 0xFF.
job W9 "upper-case every line" text file "-uc"
peer tr "tr a-z A-Z"
peer --extra awk "awk '{ print toupper(\$0) }'"
peer --extra perl "perl -pe 'tr/a-z/A-Z/'"

job W1-long "W1 on long lines" long file "-ffunction"
literal_peers function

job W1-pipe "W1 through a pipe" text pipe "-ffunction"
literal_peers function

job W6 "regex, word ending _t" text file "'-reg[a-z]+_t '"
regex_peers '[a-z]+_t '

job W7 "regex, decimal number" text file "'-reg[0-9]+\\.[0-9]+'"
regex_peers '[0-9]+\.[0-9]+'

# The line becomes the expansion, so the peers rewrite the whole line: rg through a match
# that spans it (the lazy prefix finds the leftmost start), perl and sed by their own means.
job W8 "regex with groups, rewrite" text file "'-reg([a-z]+)=([0-9]+)' '-sub\\2:\\1'"
peer rg "rg --no-config -a --no-unicode -r '\$2:\$1' '^.*?([a-z]+)=([0-9]+).*'"
peer perl "perl -ne 'print \"\$2:\$1\\n\" if /([a-z]+)=([0-9]+)/'"
peer --extra sed "sed -n -E 's/([a-z]+)=([0-9]+)/\\n\\2:\\1\\n/; T; s/^[^\\n]*\\n//; s/\\n.*//; p'"

job W6-long "W6 on long lines" long file "'-reg[a-z]+_t '"
regex_peers '[a-z]+_t '

# Many literals, literals written as classes, and the rarest factor: the shapes people type
# beyond one or three words.
rare5="pthread_mutex_lock EWOULDBLOCK SIGSEGV mmap64 O_CLOEXEC"
rare10="$rare5 getaddrinfo epoll_wait inotify_add sched_yield clock_gettime"
common10="malloc free memcpy strlen printf sizeof NULL static const volatile"
words20="Acquire BUFSIZ EWOULDBLOCK O_CLOEXEC SIGSEGV getaddrinfo mmap64 sched_yield epoll_wait inotify_add"
words20="$words20 pthread_mutex_lock clock_gettime strerror fcntl ioctl sockaddr memcpy calloc realloc snprintf"
words50="$words20 setsockopt getsockname pthread_cond_wait sigaction waitpid execve dup2 pipe2 posix_memalign"
words50="$words50 strtoull gettimeofday localtime_r nanosleep madvise mprotect munmap ftruncate lseek64 readlink"
words50="$words50 realpath setlocale wcslen iconv_open dlopen dlsym getenv atexit qsort bsearch strncasecmp"
# find_args prints quarnel's -f arguments, or the -e arguments of grep-like peers, for the words $2.
find_args() {
    local flag=$1 word out=""
    for word in $2; do out+=" $flag$word"; done
    echo "${out# }"
}
alternation() { echo "${1// /|}"; }

# many_literal_peers adds the peers that select the lines containing any of the words $2
# (-i ignores case when $1 is -i).
many_literal_peers() {
    local case=$1
    peer grep "grep -a -F $case $(find_args '-e ' "$2")"
    peer rg "rg --no-config -a --no-unicode -F $case $(find_args '-e ' "$2")"
    peer ugrep "ugrep -a -F $case $(find_args '-e ' "$2")"
}

job L1 "five rare identifiers" text file "$(find_args -f "$rare5")"
many_literal_peers "" "$rare5"
job L2 "ten rare identifiers" text file "$(find_args -f "$rare10")"
many_literal_peers "" "$rare10"
job L3 "ten common words" text file "$(find_args -f "$common10")"
many_literal_peers "" "$common10"
job L4 "ten rare identifiers, -ic" text file "-ic $(find_args -f "$rare10")"
many_literal_peers -i "$rare10"
job L5 "regex, 20 identifiers" text file "'-reg$(alternation "$words20")'"
regex_peers "$(alternation "$words20")"
job L6 "regex, 50 identifiers" text file "'-reg$(alternation "$words50")'"
regex_peers "$(alternation "$words50")"
job L7 "regex, case as classes, log" log file "'-reg[Ee][Rr][Rr][Oo][Rr]'"
regex_peers '[Ee][Rr][Rr][Oo][Rr]'
job L8 "regex, case as classes" text file "'-reg[Mm][Aa][Ll][Ll][Oo][Cc]'"
regex_peers '[Mm][Aa][Ll][Ll][Oo][Cc]'
job L9 "regex, gapped motif, DNA" dna file "'-regTATA....................GC'"
regex_peers 'TATA....................GC'
job L10 "motif with groups, rewrite" dna file "'-reg(TATA[AT]A[AT]).........([ACG]GCC)' '-sub\\2 \\1'"
peer rg "rg --no-config -a --no-unicode -r '\$2 \$1' '^.*?(TATA[AT]A[AT]).........([ACG]GCC).*'"
peer perl "perl -ne 'print \"\$2 \$1\\n\" if /(TATA[AT]A[AT]).........([ACG]GCC)/'"
job L11 "one literal, short lines" digits file "-f777"
literal_peers 777

# Patterns no DFA of bounded size keeps up with on this text, and -sub on lines whose match
# stands at the end.
ab19="a$(printf '[ab]%.0s' {1..19})b\$"
job N1 "DFA-hostile pattern, random a/b" ab file "'-reg$ab19'"
peer grep "grep -a -E 'a[ab]{19}b\$'"
peer rg "rg --no-config -a --no-unicode 'a[ab]{19}b\$'"
job N2 "rewrite, match at a long line's end" alines file "'-reg(a|a)*b' '-sub&'"
peer rg "rg --no-config -a --no-unicode -r '\$1' '^.*?((a|a)*b).*'"
peer perl "perl -ne 'print \"\$1\\n\" if /((a|a)*b)/'"

job_first_peer+=("${#peer_names[@]}")  # one past the last job's peers

# in_list reports whether $1 is one of the comma-separated words of $2 (an empty list holds all).
in_list() {
    [[ -z $2 || ",$2," == *",$1,"* ]]
}

if [[ -n $only_jobs ]]; then
    for id in ${only_jobs//,/ }; do
        in_list "$id" "$(
            IFS=,
            echo "${job_ids[*]}"
        )" || fail "no job '$id'; the jobs are: ${job_ids[*]}"
    done
fi

# ---------------------------------------------------------------------------------------
# Running

# feed_command prints the shell command that runs $2 on the corpus $1 as the job's feed
# ($3: file or pipe) says, standard error going to $4.
feed_command() {
    local corpus_file=$1 command=$2 feed=$3 errors=$4
    if [[ $feed == pipe ]]; then
        printf 'cat %q | %s 2>%q' "$corpus_file" "$command" "$errors"
    else
        printf '%s <%q 2>%q' "$command" "$corpus_file" "$errors"
    fi
}

# GREP_NUMBERS_AS_QUARNEL rewrites "N:text" (N from 1) as quarnel's "%5u: text" (from 0).
GREP_NUMBERS_AS_QUARNEL='{ i = index($0, ":"); printf "%5d: %s\n", substr($0, 1, i - 1) - 1, substr($0, i + 1) }'

# summarise_rounds prints "name median min max" in seconds for every command timed in the
# per-round CSV exports of hyperfine given as arguments (one run per command in each).
summarise_rounds() {
    awk -F, 'FNR > 1 { print $1, $2 }' "$@" | sort -k1,1 -k2,2g | awk '
        function flush() {
            if (n == 0) return
            median = n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
            print name, median, v[1], v[n]
        }
        $1 != name { flush(); name = $1; n = 0 }
        { v[++n] = $2 }
        END { flush() }'
}

seconds_text() { awk -v s="$1" 'BEGIN { printf "%.3f", s }'; }

tool_version() {
    local version
    # mawk knows only -W version.
    version=$({ "$1" --version 2>/dev/null || "$1" -W version 2>/dev/null; } | awk 'NF { print; exit }') || version=""
    echo "${version:-$1}"
}

# Figures are only worth having from an optimised build without sanitizers.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)
if [[ $build_type != Release ]]; then
    echo "peer_bench.sh: warning: quarnel is a ${build_type:-?} build, not Release (which make bench builds)" >&2
fi
if grep -q '^QUARNEL_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt" 2>/dev/null; then
    echo "peer_bench.sh: warning: quarnel is built with sanitizers; its times mean nothing" >&2
fi

rows=()     # one formatted table row per job
details=()  # every command's median, one line per job
problems=() # differing outputs and failed runs

{
    echo "quarnel: $quarnel (${build_type:-unknown} build)"
    echo "corpus: $corpus: $(describe_corpus "$corpus")"
    echo "long lines: $long_corpus: $(describe_corpus "$long_corpus")"
    echo "machine: $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "hyperfine: $(tool_version hyperfine), $runs runs per command after a checking run$( ((warmup > 0)) && echo " and $warmup warm-up runs")"
    for tool in grep rg ugrep awk perl sed tr; do
        if command -v "$tool" >/dev/null 2>&1; then echo "  $tool: $(tool_version "$tool")"; fi
    done
} | tee "$out_dir/about.txt" >&2

for ((j = 0; j < ${#job_ids[@]}; j++)); do
    id=${job_ids[j]}
    in_list "$id" "$only_jobs" || continue
    corpus_file=$(corpus_file_of "${job_corpora[j]}")
    bytes=$(stat -c %s "$corpus_file")
    feed=${job_feeds[j]}
    quarnel_command="$(printf '%q' "$quarnel") ${job_args[j]}"
    echo "$id: quarnel ${job_args[j]}" >&2
    job_start=$SECONDS

    # The reference: quarnel's own output, and its summary line.
    expected="$work/expected"
    if ! bash -c "$(feed_command "$corpus_file" "$quarnel_command" "$feed" "$work/errors")" >"$expected"; then
        problems+=("$id: quarnel failed: $(tail -n 1 "$work/errors")")
        continue
    fi
    summary=$(grep -o 'Processing [0-9]*/[0-9]* lines' "$work/errors" || echo "no summary")

    names=(quarnel)
    timed=("$(feed_command "$corpus_file" "$quarnel_command" "$feed" /dev/null)")
    for ((p = job_first_peer[j]; p < job_first_peer[j + 1]; p++)); do
        name=${peer_names[p]}
        command=${peer_commands[p]}
        in_list "$name" "$only_peers" || continue
        [[ -z ${peer_extra[p]} || -n $extra_peers ]] || continue
        command -v "${command%% *}" >/dev/null 2>&1 || continue
        normalise=(cat)
        if [[ -n ${peer_numbered[p]} ]]; then normalise=(awk "$GREP_NUMBERS_AS_QUARNEL"); fi
        # The peer's own status goes to a file: 1 only says that it selected nothing.
        rm -f "$work/status"
        status=0
        verdict=$(bash -c "$(feed_command "$corpus_file" "$command" "$feed" "$work/errors"); echo \$? >\"\$1\"" \
            peer "$work/status" | "${normalise[@]}" | cmp - "$expected" 2>&1) || status=$?
        peer_status=$(cat "$work/status" 2>/dev/null || echo "unknown")
        if ((status != 0)); then
            verdict=${verdict##*differ: }  # "byte N, line L" or "EOF on - after ..."
            problems+=("$id: $name differs from quarnel (${verdict:-cmp failed}): $command")
        elif [[ $peer_status != [01] ]]; then
            problems+=("$id: $name failed with status $peer_status: $command")
        fi
        if ((status != 0)) || [[ $peer_status != [01] ]]; then
            if [[ -s $work/errors ]]; then problems+=("    $name said: $(head -n 1 "$work/errors")"); fi
            continue
        fi
        names+=("$name")
        timed+=("$(feed_command "$corpus_file" "$command" "$feed" /dev/null)")
    done

    # One run of every command per round, rounds in a row (A B A B ...), so that a change in
    # the machine's load while the job runs falls on all commands alike.
    arguments=()
    for ((c = 0; c < ${#names[@]}; c++)); do arguments+=(--command-name "${names[c]}" "${timed[c]}"); done
    rm -f "$out_dir/$id".round*.csv
    : >"$out_dir/$id.log"
    for ((round = 1; round <= runs; round++)); do
        if ! hyperfine --runs 1 --warmup "$((round == 1 ? warmup : 0))" --shell=bash --output=pipe \
            --ignore-failure --style basic --export-csv "$out_dir/$id.round$round.csv" "${arguments[@]}" \
            >>"$out_dir/$id.log" 2>&1; then
            problems+=("$id: hyperfine failed, see $out_dir/$id.log")
            continue 2
        fi
    done

    quarnel_median=""
    best_name="-"
    best_median=""
    peer_times=""
    while read -r name median fastest slowest; do
        times="$name $(seconds_text "$median") ($(seconds_text "$fastest")-$(seconds_text "$slowest"))"
        if [[ $name == quarnel ]]; then
            quarnel_median=$median
            quarnel_times=$times
            continue
        fi
        peer_times+=", $times"
        if [[ -z $best_median ]] || awk -v a="$median" -v b="$best_median" 'BEGIN { exit !(a < b) }'; then
            best_name=$name
            best_median=$median
        fi
    done < <(summarise_rounds "$out_dir/$id".round*.csv)
    details+=("$id: $quarnel_times$peer_times; quarnel: $summary")
    echo "$id: done in $((SECONDS - job_start)) s" >&2
    # Rates and ratios; a median of 0 (a tiny corpus) has none.
    read -r rate peer_seconds ratio < <(awk -v q="$quarnel_median" -v p="$best_median" -v bytes="$bytes" 'BEGIN {
        printf "%s %s %s\n", (q > 0 ? sprintf("%.0f", bytes / q / 1e6) : "-"),
            (p == "" ? "-" : sprintf("%.3f", p)), (p > 0 ? sprintf("%.2f", q / p) : "-")
    }')
    rows+=("$(printf '| %-8s | %-28s | %-36s | %8s | %7s | %-6s | %8s | %6s |' "$id" "${job_titles[j]}" \
        "${job_args[j]}" "$(seconds_text "$quarnel_median")" "$rate" "$best_name" "$peer_seconds" "$ratio")")
done

{
    echo
    printf '| %-8s | %-28s | %-36s | %8s | %7s | %-6s | %8s | %6s |\n' job task "quarnel arguments" "median s" MB/s peer "median s" ratio
    printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' ---------- ------------------------------ -------------------------------------- \
        ---------: --------: -------- ---------: -------:
    printf '%s\n' "${rows[@]}"
    echo
    echo "median (fastest-slowest) seconds of every command:"
    printf '  %s\n' "${details[@]}"
    if ((${#problems[@]} > 0)); then
        echo
        echo "problems:"
        printf '  %s\n' "${problems[@]}"
    fi
    echo
    echo "took $((SECONDS / 60)) min $((SECONDS % 60)) s"
} | tee "$out_dir/table.md"

if ((${#problems[@]} > 0)); then exit 1; fi
