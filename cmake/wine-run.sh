#!/bin/sh
# wine-run.sh: run a Windows program under Wine; the CMAKE_CROSSCOMPILING_EMULATOR of
# cmake/mingw-w64-x86_64.cmake.
#
#   cmake/wine-run.sh PROGRAM.exe [ARG...]        run the program
#   cmake/wine-run.sh --start PROGRAM.exe [ARG...]  begin a session of many runs
#   cmake/wine-run.sh --stop                       end the session
#
# Every run: WINEDEBUG=-all keeps Wine's own diagnostics out of the program's stderr, and
# LANG=C.UTF-8 makes Wine read the arguments as UTF-8, so that a caller can pass any byte
# of code page 1252 (tests/support/windows_target.cpp encodes them); without it bytes
# 0x80-0xFF arrive as '?'. The Wine prefix is QUARNEL_WINEPREFIX when set, else Wine's
# default.
#
# A session (the end-to-end suites, tests/CMakeLists.txt) makes the prefix once with
# wineboot, keeps one persistent wineserver for all runs (else every run starts its own,
# which costs seconds), and runs the program once with all output thrown away: that first
# run starts Wine's helper processes, which would otherwise inherit the pipes of the first
# captured run and keep it from ever ending. --stop ends the server and its helpers.
set -eu
export WINEDEBUG=-all
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE
if [ -n "${QUARNEL_WINEPREFIX:-}" ]; then export WINEPREFIX="$QUARNEL_WINEPREFIX"; fi

case "${1:-}" in
--start)
    shift
    if [ -z "${WINEPREFIX:-}" ]; then
        echo "wine-run.sh: a session needs its own prefix: set QUARNEL_WINEPREFIX" >&2
        exit 2
    fi
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i </dev/null >/dev/null 2>&1
    fi
    wine "$@" </dev/null >/dev/null 2>&1 || true
    ;;
--stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    exec wine "$@"
    ;;
esac
