#!/bin/bash
# Builds the release artifacts, installs the Debian package as a user would (apt-get), uses the
# installed upg once (its version, the bundled example built and applied, a publisher bundle,
# kept in build/dist/example-bundle for the end-to-end suite), then removes the package, so the
# machine is left as it was. Runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-2}
export TZ=UTC DEBIAN_FRONTEND=noninteractive
step() { echo; echo "== dist-check: $*"; }
fail() { echo "dist-check: FAILED: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' upg 2>/dev/null | grep -q "ok installed"; }

[ "$(id -u)" = 0 ] || { echo "dist-check: run as root: it installs and removes the package" >&2; exit 2; }
if installed; then
  echo "dist-check: upg is installed already; remove it first (apt-get purge upg), so that the" >&2
  echo "check can leave the machine as it found it" >&2
  exit 2
fi

step "make dist"
make --no-print-directory dist BUILD="$BUILD" JOBS="$JOBS"
deb=$(ls "$BUILD"/dist/upg_*_*.deb)
zip=$(ls "$BUILD"/dist/upg-*-win32.zip)
version=$(dpkg-deb -f "$deb" Version)
ls -l "$deb" "$zip"

step "the ZIP holds what a Windows publisher needs"
listing=$(unzip -Z1 "$zip")
for f in upgsetup.exe upg.exe upgsetup.uui format.md publishing.md README.txt; do
  grep -qx "upg-$version-win32/$f" <<< "$listing" || fail "$zip lacks upg-$version-win32/$f"
done

step "the man page renders without warnings"
warnings=$(groff -man -Tutf8 -wall docs/upg.1 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "groff warns about docs/upg.1: $warnings"

work=$(mktemp -d "${TMPDIR:-/tmp}/upg-dist.XXXXXX")
cleanup() {
  local rc=$?
  if installed; then
    echo "== dist-check: removing the package"
    apt-get purge -y -qq upg >/dev/null || rc=1
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT

step "apt-get install ./$deb"
apt-get install -y -qq "./$deb" >/dev/null
installed || fail "the package did not install"
[ "$(command -v upg)" = /usr/bin/upg ] || fail "upg is not /usr/bin/upg on the PATH"

step "upg --version"
shown=$(upg --version)
echo "$shown"
[ "$shown" = "upg $version" ] || fail "upg --version says '$shown', the package is $version"

step "build and apply the bundled example with the installed upg"
cp -a examples/old "$work/installed"
upg build examples/old examples/new -o "$work/example.upg" --title "Example 1.1" --notes examples/notes.txt
upg apply "$work/example.upg" --target "$work/installed" --yes --quiet --log "$work/apply.log"
diff -r "$work/installed" examples/new || fail "the upgraded copy differs from examples/new"
echo "the upgraded copy equals examples/new"
grep -q '^[0-9-]* [0-9:.]*  outcome: applied: ' "$work/apply.log" || fail "the log of the apply: $(cat "$work/apply.log")"
echo "its log: $(wc -l < "$work/apply.log") lines, ending: $(tail -1 "$work/apply.log")"

step "bundle the example as a publisher would"
upg build examples/old examples/new --title "Example 1.1" --bundle "$work/ship" --name example-update
[ "$(ls "$work/ship" | tr '\n' ' ')" = "example-update.exe example-update.upg example-update.uui " ] ||
  fail "the bundle holds: $(ls "$work/ship")"
cmp "$work/ship/example-update.exe" /usr/share/upg/upgsetup.exe || fail "BASE.exe is not the installed upgsetup.exe"
cmp "$work/ship/example-update.uui" /usr/share/upg/upgsetup.uui || fail "BASE.uui is not the default wording"
cp -a examples/old "$work/copy"
upg verify "$work/ship/example-update.upg" --target "$work/copy" --json > "$work/verify.json" ||
  fail "verify of the bundled package: $(cat "$work/verify.json")"
grep -q '"outcome": "clean"' "$work/verify.json" || fail "verify --json: $(cat "$work/verify.json")"
echo "the bundle's package verifies clean against a copy of the old release"
# Kept for the end-to-end suite, which runs example-update.exe under Wine as shipped.
rm -rf "$BUILD/dist/example-bundle"
cp -a "$work/ship" "$BUILD/dist/example-bundle"
echo "kept as $BUILD/dist/example-bundle"

step "apt-get purge upg"
apt-get purge -y -qq upg >/dev/null
! installed || fail "the package is still installed"
[ ! -e /usr/bin/upg ] && [ ! -e /usr/share/upg ] && [ ! -e /usr/share/doc/upg ] || fail "files of the package remain"
echo "dist-check: passed ($(basename "$deb") $(stat -c %s "$deb") bytes, $(basename "$zip") $(stat -c %s "$zip") bytes)"
