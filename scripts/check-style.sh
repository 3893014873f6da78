#!/bin/sh
# Fails when a C++ file strays from .clang-format, or a product function grows past 80 lines
# (the encoder's shortest-path parse excepted: its arrays share one loop and a legend).
cd "$(dirname "$0")/.." || exit 2
command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 2; }
files=$(git ls-files 'filelayer/*' 'package/*' 'engine/*' 'app/*' 'console/*' 'builder/*' 'resources/*' \
        'tests/*' 'bench/*' | grep -E '\.(cpp|h)$')
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files || { echo "run: clang-format -i <file> (see .clang-format)"; exit 1; }
long=$(./scripts/long-functions.sh 80 | grep -v ' builder/delta.cpp:[0-9]* Parse$')
if [ -n "$long" ]; then
    echo "functions over 80 lines:"
    echo "$long"
    exit 1
fi
echo "style: $(echo "$files" | wc -l) files formatted, no product function over 80 lines"
