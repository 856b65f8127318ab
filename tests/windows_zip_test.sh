#!/usr/bin/env bash
# windows_zip_test.sh CROSS_BUILD_DIR SOURCE_DIR EMULATOR: the Windows zip that `make
# package` builds in a MinGW-w64 cross build tree.
#
# Builds the package target there, unpacks the zip into a scratch folder, checks its layout
# (quarnel.exe with README.md and LICENSE at the top, the manual page as roff and as plain
# text and the design notes under docs/), checks that the program imports no DLL but the system's, and
# runs the unpacked quarnel.exe through the emulator on the sample log: the selected lines
# and the summary, every line feed written as CR LF.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
emulator=$3
. "$source/tests/support/shell_support.sh"
require_tools cmake cpack unzip x86_64-w64-mingw32-objdump
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

rm -f "$build"/quarnel-*-win64.zip
cmake --build "$build" --target package > "$scratch/package.log" 2>&1 ||
    fail "the package target failed: $(tail -n 20 "$scratch/package.log")"
zips=("$build"/quarnel-*-win64.zip)
[ -f "${zips[0]}" ] || fail "no quarnel-*-win64.zip in $build"
unzip -q "${zips[0]}" -d "$scratch/unpacked"
top=("$scratch"/unpacked/*)
[ "${#top[@]}" -eq 1 ] && [ -d "${top[0]}" ] || fail "the zip does not hold one top folder"
root=${top[0]}

for file in quarnel.exe README.md LICENSE docs/quarnel.1 docs/quarnel.txt docs/windows.md docs/filter.md docs/regexp.md; do
    [ -f "$root/$file" ] || fail "the zip lacks $file"
done
cmp -s "$root/docs/quarnel.1" "$source/docs/quarnel.1" || fail "docs/quarnel.1 differs from the source"
cmp -s "$root/LICENSE" "$source/LICENSE" || fail "LICENSE differs from the source"
grep -q 'DIAGNOSTICS' "$root/docs/quarnel.txt" || fail "docs/quarnel.txt is no rendered manual page"

# Linked statically: only the system's own DLLs.
dlls=$(x86_64-w64-mingw32-objdump -p "$root/quarnel.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
for dll in $dlls; do
    case "$dll" in
        kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ntdll.dll) ;;
        *) fail "quarnel.exe needs $dll beside the system's DLLs" ;;
    esac
done

status=0
"$emulator" "$root/quarnel.exe" -fERROR < "$source/samples/server.log" > "$scratch/out" 2> "$scratch/err" || status=$?
[ "$status" -eq 0 ] || fail "quarnel.exe ended with status $status: $(cat "$scratch/err")"
printf '%s\r\n' "2024-03-11 08:00:15 ERROR database connection lost: timeout after 30 s" \
    "2024-03-11 08:02:11 ERROR disk quota exceeded on /var/spool" > "$scratch/expected"
cmp -s "$scratch/out" "$scratch/expected" || fail "quarnel.exe wrote: $(od -c "$scratch/out" | head -n 5)"
grep -q $'^Processing 2/14 lines took [0-9:.]*\.\r$' "$scratch/err" || fail "no summary ending in CR LF: $(od -c "$scratch/err" | tail -n 5)"
echo "windows zip: ${zips[0]##*/} holds quarnel.exe and the docs; the unpacked program runs"
