#!/bin/sh
# Runs a cross-built Windows program under Wine for CTest, in the prefix the test script set up:
# a 64-bit program with wine64, a 32-bit one with $UPG_WINE32 (default wine).
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
case "$(objdump -f "$1" 2>/dev/null)" in
*pei-x86-64*) export WINELOADER=/usr/lib/wine/wine64; loader=$WINELOADER ;;
*) unset WINELOADER; loader=${UPG_WINE32:-wine} ;;
esac
exec timeout 900 "$loader" "$@" </dev/null
