#!/usr/bin/env bash
# scale_out_test.sh QUARNEL_BINARY SOURCE_DIR: the README's scaling-out rules, run.
#
# Runs the README's tested example block as it stands (xargs -P over many files, GNU
# parallel --pipepart on one big file, the pieces' summaries added up), then checks the
# rules the README states for every option: with the input cut at line ends into pieces
# (by --pipepart, and by --pipe from standard input), the pieces' output joined in order
# equals one run's output (selection, -sub, case conversion); the summaries' counts add up
# to one run's; -ln numbers start at 0 in every piece. tests/scale_out_ssh_test.sh runs
# the block for several machines.
set -euo pipefail

quarnel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
source=$(cd "$2" && pwd)
. "$source/tests/support/shell_support.sh"
require_tools parallel xargs awk
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

mkdir -p "$scratch/bin" "$scratch/work/logs"
ln -s "$quarnel" "$scratch/bin/quarnel"
export PATH="$scratch/bin:$PATH"
# GNU parallel keeps files under $HOME/.parallel: a home of its own leaves the real one alone.
mkdir -p "$scratch/home"
export HOME="$scratch/home" TMPDIR="$scratch"
cd "$scratch/work"

# About 2.5 MB of log: the sample's lines again and again, each copy numbered.
awk '{ line[NR] = $0 } END { for (i = 1; i <= 3000; ++i) for (j = 1; j <= NR; ++j) print line[j] " #" i }' \
    "$source/samples/server.log" > app.log
for name in a b c; do head -c 300000 app.log > "logs/$name.log"; done

# counts ERR_FILE: the lines written / lines read of the summaries in it, added up.
counts() {
    awk -F'[ /]' '/^Processing / { w += $2; r += $3 } END { print w "/" r }' "$1"
}

# One run of the block's job, for reference.
quarnel '-reg^([^ ]*) (.*)$' '-sub\2 \1' < app.log > one-run.out 2> one-run.err

# The README's block, exactly as written there.
awk '/<!-- tested by tests\/scale_out_test.sh -->/ { found = 1; next }
     found && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' "$source/README.md" > example.sh
grep -q 'parallel .*--pipepart' example.sh || fail "no parallel --pipepart example in README.md"
bash -e example.sh > example.out 2> example.err || fail "the README's example failed: $(cat example.err)"
cmp one-run.out rotated.log || fail "README example: the joined pieces differ from one run"
[ "$(grep -c '^Processing ' pieces.err)" -ge 2 ] || fail "README example: the input was not split"
[ "$(cat example.out)" = "$(counts one-run.err)" ] ||
    fail "README example: summaries add up to $(cat example.out), one run says $(counts one-run.err)"
for name in a b c; do
    quarnel -ic -fERROR < "logs/$name.log" > expected.out 2> /dev/null
    cmp expected.out "logs/$name.log.errors" || fail "README example: xargs output for $name.log differs"
done

# Every option that works line by line, on smaller pieces, cut both ways.
while IFS= read -r -d '' args; do
    eval "set -- $args"
    quarnel "$@" < app.log > one.out 2> one.err
    for cut in pipepart pipe; do
        if [ "$cut" = pipepart ]; then
            parallel --will-cite --pipepart -a app.log -k -q --block 256k quarnel "$@" > pieces.out 2> pieces.err
        else
            parallel --will-cite --pipe -k -q --block 256k quarnel "$@" < app.log > pieces.out 2> pieces.err
        fi
        pieces=$(grep -c '^Processing ' pieces.err)
        [ "$pieces" -ge 5 ] || fail "$args, --$cut: only $pieces pieces"
        cmp one.out pieces.out || fail "$args, --$cut: the joined pieces differ from one run"
        [ "$(counts pieces.err)" = "$(counts one.err)" ] ||
            fail "$args, --$cut: summaries add up to $(counts pieces.err), one run says $(counts one.err)"
    done
done < <(printf '%s\0' \
    "-fERROR -fWARN" \
    "-ic -iv -fget" \
    "'-reg(GET|POST) ([^ ]+) ([0-9]+)' '-sub\\3 \\1 \\2'" \
    "-uc '-reg[0-9]+ ms'" \
    "-lc -iv '-reg^2024-03-11 08:0[01]'")

# -ln numbers count within each piece.
quarnel -ln < app.log > one.out 2> /dev/null
parallel --will-cite --pipepart -a app.log -k --block 256k quarnel -ln > pieces.out 2> pieces.err
[ "$(grep -c '^    0: ' one.out)" -eq 1 ] || fail "-ln: one run numbers line 0 more than once"
[ "$(grep -c '^    0: ' pieces.out)" -eq "$(grep -c '^Processing ' pieces.err)" ] ||
    fail "-ln: not every piece starts again at 0"
echo "scale out: pieces joined equal one run"
