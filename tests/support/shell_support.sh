# shell_support.sh: what the shell tests of the shipped files share; sourced, not run.
#
# fail ends a test with a message. require_tools exits with 77, which ctest counts as
# skipped, when a tool the test needs is missing, except under CI (CI set), where it
# fails: .ci/run installs every tool, so a missing one there is a fault.
# expect_consumer_output runs tests/consumer's program and checks what it writes.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" > /dev/null 2>&1 && continue
        [ -n "${CI:-}" ] && fail "$tool is not installed"
        echo "SKIP: $tool is not installed" >&2
        exit 77
    done
}

# expect_consumer_output PROGRAM: the README's library example on three lines of input.
expect_consumer_output() {
    local out err status=0
    out=$(printf 'retries=3;\nno setting here\nx=1 y=2\n' | "$1" 2> "$scratch/consumer-err") || status=$?
    err=$(cat "$scratch/consumer-err")
    [ "$status" -eq 0 ] || fail "consumer: exit status $status"
    [ "$out" = $'3 for retries (retries=3)\n1 for x (x=1)' ] || fail "consumer: wrong output: $out"
    [ "$err" = "regexp: unmatched ()" ] || fail "consumer: wrong error output: $err"
}
