#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: what `cmake --install` and `make install` lay out.
#
# Installs the build tree into scratch prefixes three ways (cmake --install --prefix,
# make install PREFIX=, make install DESTDIR= PREFIX=), which must give the same files;
# checks the layout file by file, the installed tool on the sample log, builds and runs
# tests/consumer, a project of its own, against the installed CMake package, and checks
# that the README shows the consumer's code.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$source/tests/support/shell_support.sh"
require_tools cmake make
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" > "$scratch/install.log"
make -C "$source" --no-print-directory install BUILD="$build" PREFIX="$scratch/make-prefix" > "$scratch/make.log"
make -C "$source" --no-print-directory install BUILD="$build" PREFIX=/opt/quarnel DESTDIR="$scratch/dest" > "$scratch/make-destdir.log"
diff -r "$prefix" "$scratch/make-prefix" || fail "make install PREFIX= installs other files than cmake --install"
diff -r "$prefix" "$scratch/dest/opt/quarnel" || fail "make install DESTDIR= installs other files than cmake --install"

# The layout. Libraries joining the export set later add lib/libquarnel_<name>.a files.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
{
    echo bin/quarnel
    echo include/quarnel/regexp.h
    echo "$libdir/cmake/Quarnel/QuarnelConfig.cmake"
    echo "$libdir/cmake/Quarnel/QuarnelConfigVersion.cmake"
    echo "$libdir/cmake/Quarnel/QuarnelTargets-CONFIG.cmake"
    echo "$libdir/cmake/Quarnel/QuarnelTargets.cmake"
    echo "$libdir/libquarnel_regexp.a"
    echo share/doc/quarnel/README.md
    for doc in "$source"/docs/*.md; do echo "share/doc/quarnel/${doc##*/}"; done
    echo share/man/man1/quarnel.1
} | sort > "$scratch/expected-files"
(cd "$prefix" && find . -type f | sed 's|^\./||') |
    sed -e 's|QuarnelTargets-[a-z]*\.cmake$|QuarnelTargets-CONFIG.cmake|' \
        -e "\\|^$libdir/libquarnel_regexp\\.a\$|b" -e "\\|^$libdir/libquarnel_[a-z_]*\\.a\$|d" |
    sort > "$scratch/installed-files"
diff "$scratch/expected-files" "$scratch/installed-files" || fail "unexpected install layout (< expected, > installed)"

[ -x "$prefix/bin/quarnel" ] || fail "bin/quarnel is not executable"
cmp "$source/docs/quarnel.1" "$prefix/share/man/man1/quarnel.1" || fail "installed man page differs"
cmp "$source/regexp/regexp.h" "$prefix/include/quarnel/regexp.h" || fail "installed header differs"

# The installed tool on the sample log.
"$prefix/bin/quarnel" -ic -fERROR < "$source/samples/server.log" > "$scratch/out" 2> "$scratch/err"
printf '%s\n' \
    '2024-03-11 08:00:15 ERROR database connection lost: timeout after 30 s' \
    '2024-03-11 08:02:11 ERROR disk quota exceeded on /var/spool' > "$scratch/expected-out"
cmp "$scratch/expected-out" "$scratch/out" || fail "installed quarnel: wrong output"
tail -n 1 "$scratch/err" | grep -Eq '^Processing 2/14 lines took [0-9]{2}:[0-9]{2}\.[0-9]{2}\.$' ||
    fail "installed quarnel: wrong summary: $(tail -n 1 "$scratch/err")"

# The consumer project, against the installed package and nothing else.
build_and_run_consumer "$prefix"

# The README shows the consumer's code: it must be the code tested here.
awk '/^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside { print }' "$source/README.md" > "$scratch/readme.cpp"
sed -n '/^#include/,$p' "$source/tests/consumer/main.cpp" | cmp - "$scratch/readme.cpp" ||
    fail "README.md's library example differs from tests/consumer/main.cpp"
echo "install: layout, tool and consumer as expected"
