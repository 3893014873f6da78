#!/bin/bash
# Builds a package from the bundled example releases and applies it to a copy of the old one.
set -euo pipefail
cd "$(dirname "$0")/.."
upg=${1:-build/native/console/upg}
work=build/demo
rm -rf "$work"; mkdir -p "$work"
cp -a examples/old "$work/installed"
if "$upg" build --help >/dev/null 2>&1; then
  echo "\$ upg build examples/old examples/new -o $work/example.upg --title 'Example 1.1'"
  "$upg" build examples/old examples/new -o "$work/example.upg" --title "Example 1.1" \
    --notes examples/notes.txt
else
  cp examples/example.upg "$work/example.upg"
fi
echo; echo "\$ upg inspect $work/example.upg"
"$upg" inspect "$work/example.upg"
echo; echo "\$ upg apply $work/example.upg --target $work/installed --yes"
"$upg" apply "$work/example.upg" --target "$work/installed" --yes
echo; echo "The upgraded folder now equals examples/new:"
diff -r "$work/installed" examples/new && echo "  identical (contents)"
"$upg" fingerprint $(cd "$work/installed" && find . -type f | sort | sed "s#^\./#$work/installed/#")
