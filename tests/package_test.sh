#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR: the Debian packages that `make package` builds.
#
# Runs `make package`, then checks both packages in the build tree: their control fields
# (name, section, version as the banner shows it, description, and Depends as
# dpkg-shlibdeps computes it for the packaged binary), their file lists and modes, the
# man page gzipped as Debian does (gzip -9n); unpacks them into scratch roots, runs the
# packaged binary on the sample log, and builds tests/consumer against the unpacked
# libquarnel-dev.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$source/tests/support/shell_support.sh"
require_tools cmake make cpack dpkg-deb dpkg-shlibdeps gzip readelf
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

rm -f "$build"/*.deb
make -C "$source" --no-print-directory package BUILD="$build" > "$scratch/package.log" 2>&1 ||
    fail "make package failed: $(tail -n 20 "$scratch/package.log")"
arch=$(dpkg --print-architecture)
version=$({ "$build/quarnel" -? 2>&1 || true; } | sed -n '1s/.*, version \([^ ]*\) .*/\1/p')
[ -n "$version" ] || fail "no version in the banner"
tool_deb=$build/quarnel_${version}_$arch.deb
dev_deb=$build/libquarnel-dev_${version}_$arch.deb
[ -f "$tool_deb" ] || fail "no $tool_deb; built: $(ls "$build"/*.deb 2>/dev/null)"
[ -f "$dev_deb" ] || fail "no $dev_deb"

# expect_field DEB FIELD VALUE
expect_field() {
    local value
    value=$(dpkg-deb -f "$1" "$2")
    [ "$value" = "$3" ] || fail "${1##*/}: $2 is '$value', not '$3'"
}

# contents DEB: the package's file list as "mode path" lines, sorted.
contents() {
    dpkg-deb -c "$1" | awk '{ print $1, $2, $NF }' | sort -k3
}

# --- quarnel: the tool ---
expect_field "$tool_deb" Package quarnel
expect_field "$tool_deb" Section utils
expect_field "$tool_deb" Version "$version"
expect_field "$tool_deb" Architecture "$arch"
dpkg-deb -f "$tool_deb" Maintainer | grep -Eq '^.+ <[^ >]+@[^ >]+>$' || fail "quarnel: Maintainer is no name and address"
description=$(dpkg-deb -f "$tool_deb" Description)
[ "$(head -n 1 <<< "$description")" = "console filter that selects, rewrites and converts text lines" ] ||
    fail "quarnel: wrong synopsis: $(head -n 1 <<< "$description")"
[ "$(grep -c '^ ' <<< "$description")" -ge 4 ] || fail "quarnel: no extended description"

root=$scratch/root
dpkg-deb -x "$tool_deb" "$root"
# Depends must be what dpkg-shlibdeps finds for the binary inside the package.
mkdir -p "$scratch/shlibdeps/debian"
printf 'Source: quarnel\n\nPackage: quarnel\nArchitecture: any\n' > "$scratch/shlibdeps/debian/control"
computed=$(cd "$scratch/shlibdeps" && dpkg-shlibdeps -O "$root/usr/bin/quarnel" 2> /dev/null | sed -n 's/^shlibs:Depends=//p')
grep -q 'libc6 (>= ' <<< "$computed" || fail "dpkg-shlibdeps found no libc6 dependency: $computed"
expect_field "$tool_deb" Depends "$computed"

{
    echo "drwxr-xr-x root/root ./usr/"
    echo "drwxr-xr-x root/root ./usr/bin/"
    echo "-rwxr-xr-x root/root ./usr/bin/quarnel"
    echo "drwxr-xr-x root/root ./usr/share/"
    echo "drwxr-xr-x root/root ./usr/share/doc/"
    echo "drwxr-xr-x root/root ./usr/share/doc/quarnel/"
    echo "-rw-r--r-- root/root ./usr/share/doc/quarnel/README.md"
    for doc in "$source"/docs/*.md; do echo "-rw-r--r-- root/root ./usr/share/doc/quarnel/${doc##*/}"; done
    echo "drwxr-xr-x root/root ./usr/share/man/"
    echo "drwxr-xr-x root/root ./usr/share/man/man1/"
    echo "-rw-r--r-- root/root ./usr/share/man/man1/quarnel.1.gz"
} | sort -k3 > "$scratch/expected-tool"
contents "$tool_deb" > "$scratch/tool-contents"
diff "$scratch/expected-tool" "$scratch/tool-contents" || fail "quarnel: unexpected contents (< expected, > packaged)"

# gzip -9n: no file name (flags 00), no time stamp (00000000), best compression (02).
page=$root/usr/share/man/man1/quarnel.1.gz
header=$(od -An -tx1 -N9 "$page" | tr -d ' \n')
[ "$header" = 1f8b08000000000002 ] || fail "man page not compressed as gzip -9n: header $header"
gzip -dc "$page" | cmp - "$source/docs/quarnel.1" || fail "packaged man page differs from docs/quarnel.1"
! readelf -S "$root/usr/bin/quarnel" | grep -Eq '\.(debug_[a-z]+|symtab)\b' || fail "packaged binary is not stripped"

# The packaged binary on the sample log.
"$root/usr/bin/quarnel" '-reg(GET|POST) ([^ ]+) ([0-9]+)' '-sub\3 \1 \2' < "$source/samples/server.log" \
    > "$scratch/out" 2> "$scratch/err"
printf '%s\n' '200 GET /index.html' '200 GET /report' '404 GET /favicon.ico' '200 GET /api/users?id=17' \
    '401 POST /api/login' '304 GET /index.html' > "$scratch/expected-out"
cmp "$scratch/expected-out" "$scratch/out" || fail "packaged quarnel: wrong output"
tail -n 1 "$scratch/err" | grep -Eq '^Processing 6/14 lines took [0-9]{2}:[0-9]{2}\.[0-9]{2}\.$' ||
    fail "packaged quarnel: wrong summary: $(tail -n 1 "$scratch/err")"

# --- libquarnel-dev: the engine for other projects ---
expect_field "$dev_deb" Package libquarnel-dev
expect_field "$dev_deb" Section libdevel
expect_field "$dev_deb" Version "$version"
[ "$(dpkg-deb -f "$dev_deb" Description | grep -c '^ ')" -ge 3 ] || fail "libquarnel-dev: no extended description"
contents "$dev_deb" | grep -q ' ./usr/include/quarnel/regexp.h$' || fail "libquarnel-dev: no include/quarnel/regexp.h"
contents "$dev_deb" | grep -q ' ./usr/lib/cmake/Quarnel/QuarnelConfig.cmake$' || fail "libquarnel-dev: no CMake package"
contents "$dev_deb" | grep -q ' ./usr/lib/libquarnel_regexp.a$' || fail "libquarnel-dev: no libquarnel_regexp.a"

# The unpacked package lies elsewhere than where it was built for: the CMake package must
# find its files relative to itself.
devroot=$scratch/devroot
dpkg-deb -x "$dev_deb" "$devroot"
build_and_run_consumer "$devroot/usr"
echo "package: quarnel and libquarnel-dev as expected"
