#!/bin/bash
# Rewrites examples/example.upg from examples/old and examples/new with the test-only package
# writer: usage regenerate.sh BUILD_DIR (a native build with the tests built).
set -euo pipefail
cd "$(dirname "$0")"
build=${1:-../build-en-native}
mkpkg=$build/tests/console/upg_mkpkg
# Checkouts give files fresh dates, so the date-time alone never stops the example (soft
# policy Ignore); a file with other contents is asked about (hard policy Ask).
"$mkpkg" example.upg --title "Example Viewer 1.1" --notes-file notes.txt \
  patch:0:1 readme.txt old/readme.txt new/readme.txt \
  patch:0:1 'bin\settings.ini' old/bin/settings.ini new/bin/settings.ini \
  add:0:1 'plugins\extra.txt' new/plugins/extra.txt \
  delete:0:1 legacy.txt old/legacy.txt
echo "wrote $(pwd)/example.upg"
