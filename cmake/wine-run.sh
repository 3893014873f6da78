#!/bin/sh
# Runs a cross-built Windows program under Wine for CTest, in the prefix the test script set up.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec timeout 900 wine "$@" </dev/null
