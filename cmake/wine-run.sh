#!/usr/bin/env bash
# Runs a Windows test program under Wine in the project's own prefix (used by ctest).
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Debian's wine script always starts the 32-bit loader when it is installed, also for
# x86-64 programs and on kernels without 32-bit support; ZYKIM_WINE names another.
exec ${ZYKIM_WINE:-wine} "$@"
