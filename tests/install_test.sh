#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR: what `cmake --install` and `make install` lay out.
#
# Installs the build tree into scratch prefixes three ways (cmake --install --prefix
# --strip, make install PREFIX=, make install DESTDIR= PREFIX=), which must give the same
# files; checks the layout file by file and that the README's layout names every file,
# the installed tool (stripped) on the sample log, builds and runs tests/consumer, a
# project of its own, against the installed CMake package and, without CMake, with the
# flags of the installed pkg-config file, and checks that the README shows the consumer's
# code.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$source/tests/support/shell_support.sh"
require_tools cmake make pkg-config readelf
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" --strip > "$scratch/install.log"
make -C "$source" --no-print-directory install BUILD="$build" PREFIX="$scratch/make-prefix" > "$scratch/make.log"
make -C "$source" --no-print-directory install BUILD="$build" PREFIX=/opt/quarnel DESTDIR="$scratch/dest" > "$scratch/make-destdir.log"
diff -r "$prefix" "$scratch/make-prefix" || fail "make install PREFIX= installs other files than cmake --install"
diff -r "$prefix" "$scratch/dest/opt/quarnel" || fail "make install DESTDIR= installs other files than cmake --install"

# The layout: every file, and no other.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
{
    echo bin/quarnel
    echo include/quarnel/regexp.h
    echo "$libdir/cmake/Quarnel/QuarnelConfig.cmake"
    echo "$libdir/cmake/Quarnel/QuarnelConfigVersion.cmake"
    echo "$libdir/cmake/Quarnel/QuarnelTargets-CONFIG.cmake"
    echo "$libdir/cmake/Quarnel/QuarnelTargets.cmake"
    echo "$libdir/libquarnel_regexp.a"
    echo "$libdir/libquarnel_scan.a"
    echo "$libdir/pkgconfig/quarnel.pc"
    echo share/doc/quarnel/LICENSE
    echo share/doc/quarnel/README.md
    for doc in "$source"/docs/*.md; do echo "share/doc/quarnel/${doc##*/}"; done
    echo share/man/man1/quarnel.1
} | sort > "$scratch/expected-files"
(cd "$prefix" && find . -type f | sed 's|^\./||') |
    sed -e 's|QuarnelTargets-[a-z]*\.cmake$|QuarnelTargets-CONFIG.cmake|' | sort > "$scratch/installed-files"
diff "$scratch/expected-files" "$scratch/installed-files" || fail "unexpected install layout (< expected, > installed)"

# The README's layout block (the indented lines after "The layout under the prefix:")
# names each installed file, or a directory that holds it.
awk '/The layout under the prefix:$/ { found = 1; next }
     found && /^    [^ ]/ { print $1; inside = 1; next }
     inside && !/^    / { exit }' "$source/README.md" | sed "s|^lib/|$libdir/|" > "$scratch/readme-layout"
[ -s "$scratch/readme-layout" ] || fail "no install layout in README.md"
while read -r file; do
    covered=""
    while read -r entry; do
        case "$entry" in
            */) case "$file" in "$entry"*) covered=1 ;; esac ;;
            *) [ "$file" = "$entry" ] && covered=1 ;;
        esac
    done < "$scratch/readme-layout"
    [ -n "$covered" ] || fail "README.md's install layout does not name $file"
done < "$scratch/expected-files"

[ -x "$prefix/bin/quarnel" ] || fail "bin/quarnel is not executable"
! readelf -S "$prefix/bin/quarnel" | grep -Eq '\.(debug_[a-z]+|symtab)\b' || fail "installed binary is not stripped"
cmp "$source/LICENSE" "$prefix/share/doc/quarnel/LICENSE" || fail "installed LICENSE differs"
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

# The consumer project, against the installed package and nothing else: through the CMake
# package, and through pkg-config (the prefix moved, as the file finds it from its place).
build_and_run_consumer "$prefix"
mv "$prefix" "$scratch/moved-prefix"
build_and_run_consumer_with_pkg_config "$scratch/moved-prefix/$libdir/pkgconfig"
mv "$scratch/moved-prefix" "$prefix"

# The README shows the consumer's code: it must be the code tested here.
awk '/^```cpp$/ { inside = 1; next } inside && /^```$/ { exit } inside { print }' "$source/README.md" > "$scratch/readme.cpp"
sed -n '/^#include/,$p' "$source/tests/consumer/main.cpp" | cmp - "$scratch/readme.cpp" ||
    fail "README.md's library example differs from tests/consumer/main.cpp"
echo "install: layout, tool and consumer as expected"
