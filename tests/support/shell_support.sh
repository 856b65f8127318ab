# shell_support.sh: what the shell tests of the shipped files share; sourced, not run.
#
# fail ends a test with a message. require_tools exits with 77, which ctest counts as
# skipped, when a tool the test needs is missing, except under CI (CI set), where it
# fails: .ci/run installs every tool, so a missing one there is a fault.
# build_and_run_consumer builds tests/consumer against an installed CMake package,
# build_and_run_consumer_with_pkg_config with a plain compiler command line from the
# installed pkg-config file, and both check what its program writes. They use $source
# (the source tree) and $scratch.

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
    local consumer=$scratch/consumer found
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
    check_consumer_program "$consumer/consumer"
}

# build_and_run_consumer_with_pkg_config PKGCONFIG_DIR [SYSROOT]: compiles
# tests/consumer/main.cpp as a project without CMake would, with the flags that
# pkg-config reads from PKGCONFIG_DIR/quarnel.pc and no other pkg-config directory; with
# SYSROOT, the file's paths are taken under it (an unpacked package), and the flags must
# point there.
build_and_run_consumer_with_pkg_config() {
    local consumer=$scratch/pkg-config-consumer cflags libs
    export PKG_CONFIG_LIBDIR="$1"
    if [ -n "${2:-}" ]; then export PKG_CONFIG_SYSROOT_DIR="$2"; fi
    cflags=$(pkg-config --cflags quarnel) || fail "pkg-config: no quarnel in $1"
    libs=$(pkg-config --libs quarnel)
    unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
    case " $libs " in
        *" -L${2:-}/"*" -lquarnel_regexp -lquarnel_scan "*) ;;
        *) fail "pkg-config --libs quarnel gives '$libs'" ;;
    esac
    rm -rf "$consumer"
    mkdir -p "$consumer"
    # shellcheck disable=SC2086 # the flags are words
    ${CXX:-c++} -std=c++17 -Wall -Wextra -Wpedantic -Werror $cflags -o "$consumer/consumer" \
        "$source/tests/consumer/main.cpp" $libs > "$scratch/pkg-config-build.log" 2>&1 ||
        fail "consumer with pkg-config: build failed: $(cat "$scratch/pkg-config-build.log")"
    check_consumer_program "$consumer/consumer"
}

# check_consumer_program PROGRAM: the README's library example on three lines of input.
check_consumer_program() {
    local out err status=0
    out=$(printf 'retries=3;\nno setting here\nx=1 y=2\n' | "$1" 2> "$scratch/consumer-err") || status=$?
    err=$(cat "$scratch/consumer-err")
    [ "$status" -eq 0 ] || fail "consumer: exit status $status"
    [ "$out" = $'3 for retries (retries=3)\n1 for x (x=1)' ] || fail "consumer: wrong output: $out"
    [ "$err" = "regexp: unmatched ()" ] || fail "consumer: wrong error output: $err"
}
