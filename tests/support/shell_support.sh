# shell_support.sh: what the shell tests of the shipped files share; sourced, not run.
#
# fail ends a test with a message. require_tools exits with 77, which ctest counts as
# skipped, when a tool the test needs is missing, except under CI (CI set), where it
# fails: .ci/run installs every tool, so a missing one there is a fault.
# build_and_run_consumer builds tests/consumer against an installed CMake package and
# checks what its program writes. They use $source (the source tree) and $scratch.

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

# build_and_run_consumer PREFIX: configures tests/consumer with CMAKE_PREFIX_PATH=PREFIX,
# expects find_package to take the package under PREFIX, builds it, and runs the README's
# library example on three lines of input.
build_and_run_consumer() {
    local consumer=$scratch/consumer found out err status=0
    rm -rf "$consumer"
    cmake -S "$source/tests/consumer" -B "$consumer" -DCMAKE_PREFIX_PATH="$1" > "$scratch/consumer-configure.log" ||
        fail "consumer: configure failed: $(cat "$scratch/consumer-configure.log")"
    found=$(sed -n 's/^Quarnel_DIR:PATH=//p' "$consumer/CMakeCache.txt")
    case "$found" in
        "$1"/*/cmake/Quarnel) ;;
        *) fail "consumer found the package in $found, not under $1" ;;
    esac
    cmake --build "$consumer" > "$scratch/consumer-build.log" 2>&1 ||
        fail "consumer: build failed: $(cat "$scratch/consumer-build.log")"

    out=$(printf 'retries=3;\nno setting here\nx=1 y=2\n' | "$consumer/consumer" 2> "$scratch/consumer-err") || status=$?
    err=$(cat "$scratch/consumer-err")
    [ "$status" -eq 0 ] || fail "consumer: exit status $status"
    [ "$out" = $'3 for retries (retries=3)\n1 for x (x=1)' ] || fail "consumer: wrong output: $out"
    [ "$err" = "regexp: unmatched ()" ] || fail "consumer: wrong error output: $err"
}
