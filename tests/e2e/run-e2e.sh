#!/bin/bash
# End-to-end run of upgsetup.exe under Wine: Xvfb, a private prefix, fixture drives, the driver.
# Usage: run-e2e.sh BUILD_DIR [--screenshots]   (BUILD_DIR: a mingw cross build, 32 or 64-bit)
# With --screenshots the driver's captures are converted into docs/screenshots/*.png.
# UPG_E2E_ONLY=text runs only the cases whose names contain that text.
# UPG_E2E_BUILD=dir drives that build's programs instead (the check: the shipped 32-bit ones
# from a 64-bit test build); UPG_WINE32 is the Wine that runs 32-bit programs (default wine).
# UPG_E2E_BUNDLE=dir: the publisher's bundle of the example to run (BASE.exe, BASE.upg and
# BASE.uui, as the installed upg made it); without it this build's upg.exe makes one.
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${UPG_E2E_BUILD:-${1:?build directory}}" && pwd)
shots=0
[ "${2:-}" = --screenshots ] && shots=1

app=$build/app/upgsetup.exe
driver=$build/tests/e2e/upg_e2e_driver.exe
# The Linux upg of the native build beside this one makes the packages with names in other
# languages, as a publisher on Linux would.
linux_upg=${UPG_NATIVE_UPG:-$build/../native/console/upg}
for f in "$app" "$driver" "$top/resources/upgsetup.uui" "${UPG_E2E_BUNDLE:-$build/console/upg.exe}" "$linux_upg"; do
  [ -e "$f" ] || { echo "missing $f"; exit 2; }
done

out=$build/e2e
mkdir -p "$out"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TZ=UTC
# The program's word size picks the Wine: wine64 in a 64-bit prefix, or the 32-bit loader
# ($UPG_WINE32, default wine) in a 32-bit one.
if objdump -f "$app" 2>/dev/null | grep -q pei-x86-64; then
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
  wine=$WINELOADER
else
  export WINEARCH=win32
  unset WINELOADER
  wine=${UPG_WINE32:-wine}
fi
echo "driving $app ($WINEARCH) with $wine"
export WINEPREFIX=$out/wineprefix
t0=$(date +%s%N)
say() { echo "[$(( ($(date +%s%N) - t0) / 1000000 )) ms] $*"; }

# A server of this prefix left by an interrupted run would still point at its dead display.
timeout 30 wineserver -k >/dev/null 2>&1

# X display: Xvfb picks a free number and reports it.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>"$out/xvfb.log" & echo "pid $!")
read -r _ xpid <&3
read -r -t 30 dnum <&3 || { echo "Xvfb did not start"; kill "$xpid" 2>/dev/null; exit 2; }
export DISPLAY=:$dnum
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1
  kill "$xpid" 2>/dev/null
  wait "$xpid" 2>/dev/null
}
trap cleanup EXIT

# The prefix is made once and reused; its settings only take effect when wineserver starts.
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/.upg-e2e-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  timeout 300 "$wine" wineboot -i >"$out/wineboot.log" 2>&1 </dev/null
  timeout 120 wineserver -w
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
  timeout 120 "$wine" regedit /S "$("$wine" winepath -w "$here/wine-e2e.reg")" >/dev/null 2>&1 </dev/null
  timeout 120 wineserver -w
  touch "$WINEPREFIX/.upg-e2e-ready"
  say "prefix created"
fi

# Fixture drives, fresh per run: D: and E: are the fixed drives the search walks after C:
# (A: and B: would be floppies to Wine).
# Every other letter but C: (the prefix's own) and Z: (typed network) is removed.
rm -rf "$out/drive-d" "$out/drive-e" "$out/work" "$out/shots"
mkdir -p "$out/drive-d" "$out/drive-e" "$out/work" "$out/shots"
for link in "$WINEPREFIX"/dosdevices/?:; do
  case "${link##*/}" in c:|z:) ;; *) rm -f "$link" ;; esac
done
ln -sfn "$out/drive-d" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$out/drive-e" "$WINEPREFIX/dosdevices/e:"
cp "$app" "$out/work/upgsetup.exe"
cp "$top/resources/upgsetup.uui" "$out/work/upgsetup.uui"
cp "$driver" "$out/work/driver.exe"
# The bundled example as a publisher ships it: the old release on D:, with a stray copy of a
# file the upgrade adds in the way (one question), and both releases for the driver to compare.
cp -a "$top/examples/old" "$out/work/example-old"
cp -a "$top/examples/new" "$out/work/example-new"
mkdir -p "$out/drive-d/shipped/Example 1.0"
cp -a "$top/examples/old/." "$out/drive-d/shipped/Example 1.0/"
mkdir -p "$out/drive-d/shipped/Example 1.0/plugins"
printf 'a stray copy\r\n' >"$out/drive-d/shipped/Example 1.0/plugins/extra.txt"

# One server for the whole run; a first program started with its output discarded, so that
# Wine's background services do not inherit the driver's log.
timeout 30 wineserver -p
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1 </dev/null
say "session ready"

# The bundle: the one UPG_E2E_BUNDLE names (made by the installed upg of the Debian package),
# else made here by this build's upg.exe, under a base name of its own.
rm -rf "$out/work/bundle"
if [ -n "${UPG_E2E_BUNDLE:-}" ]; then
  mkdir -p "$out/work/bundle"
  cp "$UPG_E2E_BUNDLE"/* "$out/work/bundle/" || exit 2
  echo "bundle from $UPG_E2E_BUNDLE: $(ls "$out/work/bundle" | tr '\n' ' ')"
else
  w() { "$wine" winepath -w "$1"; }
  timeout 300 "$wine" "$build/console/upg.exe" build "$(w "$top/examples/old")" "$(w "$top/examples/new")" \
    --title "Example 1.1" --bundle "$(w "$out/work/bundle")" --name example-update --setup-exe "$(w "$app")" \
    --quiet >"$out/bundle.log" 2>&1 </dev/null || { cat "$out/bundle.log"; echo "upg.exe build --bundle failed"; exit 2; }
  echo "bundle made by $build/console/upg.exe: $(ls "$out/work/bundle" | tr '\n' ' ')"
fi

# Releases whose names, title and notes are not ASCII, built on Linux from UTF-8 names: in
# code page 1252 (the default), and a Cyrillic one that 1252 refuses and 1251 holds. Each old
# release is installed on D: for the search to find.
intl() {
  local w=$out/work/intl
  rm -rf "$w" && mkdir -p "$w/old/Handbuch" "$w/new/Handbuch" "$w/ru-old" "$w/ru-new/Документы" || return 1
  printf 'Kaffee, alte Sorte\r\n' >"$w/old/café.txt"
  printf 'Kaffee, neue Sorte\r\nstärker\r\n' >"$w/new/café.txt"
  printf 'letztes Jahr\r\n' >"$w/old/año.txt"
  printf 'Übersicht der Kapitel\r\n' >"$w/new/Handbuch/Übersicht.txt"
  printf 'bleibt\r\n' >"$w/old/Handbuch/bleibt.txt"
  cp "$w/old/Handbuch/bleibt.txt" "$w/new/Handbuch/bleibt.txt"
  printf 'Neu in dieser Ausgabe:\nstärkerer Kaffee, Übersicht im Handbuch.\n' >"$w/notes.txt"
  printf 'старый отчёт\r\n' >"$w/ru-old/отчёт.txt"
  printf 'новый отчёт, длиннее\r\n' >"$w/ru-new/отчёт.txt"
  printf 'удалить\r\n' >"$w/ru-old/старый.txt"
  printf 'сводка\r\n' >"$w/ru-new/Документы/сводка.txt"
  printf 'Что нового: сводка.\n' >"$w/ru-notes.txt"
  touch -d '2004-05-06 07:08:10' "$w"/old/*.txt "$w"/old/Handbuch/* "$w"/new/Handbuch/bleibt.txt "$w"/ru-old/*
  touch -d '2011-01-02 03:04:06' "$w/new/café.txt" "$w/new/Handbuch/Übersicht.txt" "$w/ru-new/отчёт.txt" \
    "$w/ru-new/Документы/сводка.txt"
  "$linux_upg" build "$w/old" "$w/new" -o "$w/intl.upg" --title 'Café 2.0 – Blüte' --notes "$w/notes.txt" \
    --utc-offset +00:00 --quiet || return 1
  # 1252 holds no Cyrillic: the build is refused, naming the file and the code page to use.
  if "$linux_upg" build "$w/ru-old" "$w/ru-new" -o "$w/ru.upg" --title 'Version 2.0' --utc-offset +00:00 \
    --quiet 2>"$w/ru-refused.txt"; then
    echo "the Cyrillic release built under code page 1252"; return 1
  fi
  grep -q 'Документы/сводка.txt\|Документы\\сводка.txt\|отчёт.txt\|старый.txt' "$w/ru-refused.txt" &&
    grep -q -- '--codepage 1251' "$w/ru-refused.txt" || { cat "$w/ru-refused.txt"; return 1; }
  [ ! -e "$w/ru.upg" ] || return 1
  "$linux_upg" build "$w/ru-old" "$w/ru-new" -o "$w/ru.upg" --title 'Версия 2.0' --notes "$w/ru-notes.txt" \
    --codepage 1251 --utc-offset +00:00 --quiet || return 1
  mkdir -p "$out/drive-d/intl/Café 1.0" "$out/drive-d/intl/Отчёты 1.0"
  cp -a "$w/old/." "$out/drive-d/intl/Café 1.0/" && cp -a "$w/ru-old/." "$out/drive-d/intl/Отчёты 1.0/"
}
intl || { echo "the releases with names in other languages could not be prepared"; exit 2; }
echo "packages built on Linux: intl.upg (1252), ru.upg (1251; refused under 1252: $(head -c 300 "$out/work/intl/ru-refused.txt"))"

timeout 300 "$wine" "$out/work/driver.exe" "$("$wine" winepath -w "$out/work")" "$("$wine" winepath -w "$out/shots")" ${UPG_E2E_ONLY:+"$UPG_E2E_ONLY"} \
  >"$out/driver.log" 2>&1 </dev/null
rc=$?
cat "$out/driver.log"
if [ $rc -ne 0 ]; then
  import -window root "$out/failure.png" 2>/dev/null && echo "screen at failure: $out/failure.png"
fi
if [ $shots -eq 1 ]; then
  mkdir -p "$top/docs/screenshots"
  for b in "$out"/shots/*.bmp; do
    [ -f "$b" ] || continue
    n=$(basename "$b" .bmp)
    convert "$b" "$top/docs/screenshots/$n.png" && echo "screenshot docs/screenshots/$n.png"
  done
fi
say "driver rc=$rc"
exit $rc
