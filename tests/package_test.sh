#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR [EMULATOR]: the Debian packages that `make package`
# builds.
#
# Runs `make package` (for a cross build tree, given with the EMULATOR that runs its
# programs here, the tree's package target), then checks the packages in the build tree:
# their control fields (name, section, source, version as the banner shows it,
# architecture as the packaged binary is built for, description, and Depends as
# dpkg-shlibdeps computes it), their file lists and modes, the man page and changelog
# gzipped as Debian does (gzip -9n), the copyright file in the machine-readable format
# with the licence of LICENSE, the changelog's version; runs lintian on them, which must
# report no error and no warning; unpacks them into scratch roots, runs the packaged
# binary on the sample log, and builds tests/consumer against the unpacked libquarnel-dev,
# through its CMake package and through its pkg-config file. A cross build packages the
# tool alone: its Depends must name the same libraries a native build's does.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
emulator=${3:-}
. "$source/tests/support/shell_support.sh"
require_tools cmake make cpack dpkg-deb dpkg-shlibdeps dpkg-parsechangelog dpkg-architecture gzip readelf lintian
[ -n "$emulator" ] || require_tools pkg-config
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# target PROGRAM ARG...: runs a program built for the packages' architecture.
target() {
    if [ -n "$emulator" ]; then "$emulator" "$@"; else "$@"; fi
}

rm -f "$build"/*.deb
if [ -n "$emulator" ]; then
    cmake --build "$build" --target package > "$scratch/package.log" 2>&1 ||
        fail "the package target failed: $(tail -n 20 "$scratch/package.log")"
else
    make -C "$source" --no-print-directory package BUILD="$build" > "$scratch/package.log" 2>&1 ||
        fail "make package failed: $(tail -n 20 "$scratch/package.log")"
fi
# The architecture is the one the binary is built for.
machine=$(readelf -h "$build/quarnel" | sed -n 's/^ *Machine: *//p')
case "$machine" in
    "Advanced Micro Devices X86-64") arch=amd64 ;;
    AArch64) arch=arm64 ;;
    *) fail "no Debian architecture known for a $machine binary" ;;
esac
[ -n "$emulator" ] || [ "$arch" = "$(dpkg --print-architecture)" ] || fail "a native $machine binary on $(dpkg --print-architecture)"
version=$({ target "$build/quarnel" -? 2>&1 || true; } | sed -n '1s/.*, version \([^ ]*\) .*/\1/p')
[ -n "$version" ] || fail "no version in the banner"
tool_deb=$build/quarnel_${version}_$arch.deb
dev_deb=$build/libquarnel-dev_${version}_$arch.deb
[ -f "$tool_deb" ] || fail "no $tool_deb; built: $(ls "$build"/*.deb 2>/dev/null)"
debs=("$tool_deb")
if [ -z "$emulator" ]; then
    [ -f "$dev_deb" ] || fail "no $dev_deb"
    debs+=("$dev_deb")
else
    [ ! -e "$dev_deb" ] || fail "a cross build packages the tool alone, not $dev_deb"
fi

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

# expect_gzip_9n FILE: compressed as gzip -9n: no file name (flags 00), no time stamp
# (00000000), best compression (02).
expect_gzip_9n() {
    local header
    header=$(od -An -tx1 -N9 "$1" | tr -d ' \n')
    [ "$header" = 1f8b08000000000002 ] || fail "${1#"$scratch"/} not compressed as gzip -9n: header $header"
}

# expect_debian_docs ROOT PACKAGE: usr/share/doc/PACKAGE holds the copyright file (the
# licence of LICENSE, in the machine-readable format) and the changelog, gzip -9n, whose
# latest entry is this version of the source package quarnel.
expect_debian_docs() {
    local doc=$1/usr/share/doc/$2 holder
    expect_gzip_9n "$doc/changelog.gz"
    gzip -dc "$doc/changelog.gz" > "$scratch/changelog"
    cmp -s "$scratch/changelog" "$source/cmake/debian/changelog" || fail "$2: changelog differs from cmake/debian/changelog"
    [ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Source)" = quarnel ] || fail "$2: changelog not of the source quarnel"
    [ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" = "$version" ] ||
        fail "$2: the changelog's latest version is not $version"

    [ "$(head -n 1 "$doc/copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
        fail "$2: copyright is not in the machine-readable format"
    holder=$(sed -n 's/^Copyright (c) //p' "$source/LICENSE")
    grep -qx "Copyright: $holder" "$doc/copyright" || fail "$2: copyright does not name '$holder'"
    grep -qx 'License: Expat' "$doc/copyright" || fail "$2: the files are not under the Expat licence"
    # The licence paragraph, read back: the lines after "License: Expat" that start with a
    # blank, " ." for an empty line.
    awk '/^License: Expat$/ { n++; next } n == 2 && /^ / { print substr($0, 2) }' "$doc/copyright" |
        sed 's/^\.$//' > "$scratch/licence-terms"
    sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE" | cmp -s - "$scratch/licence-terms" ||
        fail "$2: the licence text in copyright differs from LICENSE"
}

# --- quarnel: the tool ---
expect_field "$tool_deb" Package quarnel
expect_field "$tool_deb" Section utils
expect_field "$tool_deb" Source quarnel
expect_field "$tool_deb" Version "$version"
expect_field "$tool_deb" Architecture "$arch"
dpkg-deb -f "$tool_deb" Maintainer | grep -Eq '^.+ <[^ >]+@[^ >]+>$' || fail "quarnel: Maintainer is no name and address"
description=$(dpkg-deb -f "$tool_deb" Description)
[ "$(head -n 1 <<< "$description")" = "console filter that selects, rewrites and converts text lines" ] ||
    fail "quarnel: wrong synopsis: $(head -n 1 <<< "$description")"
[ "$(grep -c '^ ' <<< "$description")" -ge 4 ] || fail "quarnel: no extended description"

root=$scratch/root
dpkg-deb -x "$tool_deb" "$root"
depends=$(dpkg-deb -f "$tool_deb" Depends)
if [ -z "$emulator" ]; then
    # Depends must be what dpkg-shlibdeps finds for the binary inside the package.
    mkdir -p "$scratch/shlibdeps/debian"
    printf 'Source: quarnel\n\nPackage: quarnel\nArchitecture: any\n' > "$scratch/shlibdeps/debian/control"
    computed=$(cd "$scratch/shlibdeps" && dpkg-shlibdeps -O "$root/usr/bin/quarnel" 2> /dev/null | sed -n 's/^shlibs:Depends=//p')
    grep -q 'libc6 (>= ' <<< "$computed" || fail "dpkg-shlibdeps found no libc6 dependency: $computed"
    expect_field "$tool_deb" Depends "$computed"
else
    # On its own architecture the program needs the libraries a native build needs, by
    # their plain package names: no architecture qualifier, no cross package.
    names=$(tr ',' '\n' <<< "$depends" | sed 's/^ *//; s/ .*//' | sort | tr '\n' ' ')
    [ "$names" = "libc6 libgcc-s1 libstdc++6 " ] || fail "quarnel: Depends is '$depends'"
    tr ',' '\n' <<< "$depends" | sed 's/^ *//' | grep -Evq '^[a-z0-9.+-]+( \(>= [0-9][0-9.]*\))?$' &&
        fail "quarnel: a malformed dependency in '$depends'"
fi

{
    echo "drwxr-xr-x root/root ./usr/"
    echo "drwxr-xr-x root/root ./usr/bin/"
    echo "-rwxr-xr-x root/root ./usr/bin/quarnel"
    echo "drwxr-xr-x root/root ./usr/share/"
    echo "drwxr-xr-x root/root ./usr/share/doc/"
    echo "drwxr-xr-x root/root ./usr/share/doc/quarnel/"
    echo "-rw-r--r-- root/root ./usr/share/doc/quarnel/README.md"
    echo "-rw-r--r-- root/root ./usr/share/doc/quarnel/changelog.gz"
    echo "-rw-r--r-- root/root ./usr/share/doc/quarnel/copyright"
    for doc in "$source"/docs/*.md; do echo "-rw-r--r-- root/root ./usr/share/doc/quarnel/${doc##*/}"; done
    echo "drwxr-xr-x root/root ./usr/share/man/"
    echo "drwxr-xr-x root/root ./usr/share/man/man1/"
    echo "-rw-r--r-- root/root ./usr/share/man/man1/quarnel.1.gz"
} | sort -k3 > "$scratch/expected-tool"
contents "$tool_deb" > "$scratch/tool-contents"
diff "$scratch/expected-tool" "$scratch/tool-contents" || fail "quarnel: unexpected contents (< expected, > packaged)"

page=$root/usr/share/man/man1/quarnel.1.gz
expect_gzip_9n "$page"
gzip -dc "$page" | cmp - "$source/docs/quarnel.1" || fail "packaged man page differs from docs/quarnel.1"
expect_debian_docs "$root" quarnel
! readelf -S "$root/usr/bin/quarnel" | grep -Eq '\.(debug_[a-z]+|symtab|comment)\b' || fail "packaged binary is not stripped"

# The packaged binary on the sample log.
target "$root/usr/bin/quarnel" '-reg(GET|POST) ([^ ]+) ([0-9]+)' '-sub\3 \1 \2' < "$source/samples/server.log" \
    > "$scratch/out" 2> "$scratch/err"
printf '%s\n' '200 GET /index.html' '200 GET /report' '404 GET /favicon.ico' '200 GET /api/users?id=17' \
    '401 POST /api/login' '304 GET /index.html' > "$scratch/expected-out"
cmp "$scratch/expected-out" "$scratch/out" || fail "packaged quarnel: wrong output"
tail -n 1 "$scratch/err" | grep -Eq '^Processing 6/14 lines took [0-9]{2}:[0-9]{2}\.[0-9]{2}\.$' ||
    fail "packaged quarnel: wrong summary: $(tail -n 1 "$scratch/err")"

# --- libquarnel-dev: the engine for other projects ---
if [ -z "$emulator" ]; then
    expect_field "$dev_deb" Package libquarnel-dev
    expect_field "$dev_deb" Section libdevel
    expect_field "$dev_deb" Source quarnel
    expect_field "$dev_deb" Version "$version"
    expect_field "$dev_deb" Architecture "$arch"
    [ "$(dpkg-deb -f "$dev_deb" Description | grep -c '^ ')" -ge 3 ] || fail "libquarnel-dev: no extended description"
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    {
        echo "./usr/include/quarnel/regexp.h"
        echo "./usr/lib/$multiarch/pkgconfig/quarnel.pc"
        echo "./usr/lib/cmake/Quarnel/QuarnelConfig.cmake"
        echo "./usr/lib/cmake/Quarnel/QuarnelConfigVersion.cmake"
        echo "./usr/lib/cmake/Quarnel/QuarnelTargets-CONFIG.cmake"
        echo "./usr/lib/cmake/Quarnel/QuarnelTargets.cmake"
        echo "./usr/lib/libquarnel_regexp.a"
        echo "./usr/lib/libquarnel_scan.a"
        echo "./usr/share/doc/libquarnel-dev/changelog.gz"
        echo "./usr/share/doc/libquarnel-dev/copyright"
    } | sort > "$scratch/expected-dev"
    dpkg-deb -c "$dev_deb" | awk '$1 !~ /^d/ { print $NF }' | sed 's|QuarnelTargets-[a-z]*\.cmake$|QuarnelTargets-CONFIG.cmake|' |
        sort > "$scratch/dev-contents"
    diff "$scratch/expected-dev" "$scratch/dev-contents" || fail "libquarnel-dev: unexpected contents (< expected, > packaged)"

    devroot=$scratch/devroot
    dpkg-deb -x "$dev_deb" "$devroot"
    expect_debian_docs "$devroot" libquarnel-dev
    for archive in "$devroot"/usr/lib/libquarnel_*.a; do
        ! readelf -S "$archive" | grep -Eq '\.(debug_[a-z]+|comment)\b' || fail "${archive##*/} holds debug information"
    done
    # The unpacked package lies elsewhere than where it was built for: the CMake package
    # must find its files relative to itself, and pkg-config takes its /usr paths under the
    # root it is told.
    build_and_run_consumer "$devroot/usr"
    build_and_run_consumer_with_pkg_config "$devroot/usr/lib/$multiarch/pkgconfig" "$devroot"
fi

# lintian, Debian's package checker: no error (E:) and no warning (W:). What it still has
# to say (I: information, P: pedantic) is shown.
lintian_status=0
lintian --display-info --pedantic --fail-on error,warning "${debs[@]}" > "$scratch/lintian" 2>&1 || lintian_status=$?
grep -Ev '^N:|running with root privileges' "$scratch/lintian" | sed 's/^/lintian: /' || true
[ "$lintian_status" -eq 0 ] || fail "lintian (status $lintian_status): $(grep -Ev '^N:|^[IP]: ' "$scratch/lintian")"
echo "package: ${debs[*]##*/} as expected"
