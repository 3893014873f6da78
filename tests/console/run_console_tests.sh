#!/bin/bash
# Black-box tests of the upg binary: writes releases and packages, runs upg, checks files,
# dates, exit codes and the exact question texts. Usage: run_console_tests.sh UPG MKPKG native
# or run_console_tests.sh UPG MKPKG wine RUNNER (a smaller set, under Wine).
set -u
UPG=$1
MKPKG=$2
MODE=${3:-native}
RUNNER=${4:-}
SOURCES=$(cd "$(dirname "$0")/../.." && pwd)
export TZ=UTC
WORK=$(mktemp -d "${TMPDIR:-/tmp}/upg-console.XXXXXX")
trap 'chmod -R u+w "$WORK" 2>/dev/null; rm -rf "$WORK"' EXIT
cd "$WORK" || exit 2
passed=0
failed=0

# Runs a program of the build; under Wine through the runner, with CR LF turned into LF.
run() {
  if [ "$MODE" = wine ]; then
    local rc
    "$RUNNER" "$@" 2> "$WORK/.stderr" | tr -d '\r'
    rc=${PIPESTATUS[0]}
    tr -d '\r' < "$WORK/.stderr" >&2
    return "$rc"
  fi
  "$@"
}
upg() { run "$UPG" "$@"; }
mkpkg() { run "$MKPKG" "$@" || { echo "mkpkg failed: $*"; exit 2; }; }

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect_rc() {   # name expected actual
  if [ "$2" = "$3" ]; then ok; else bad "$1: exit code $3, expected $2"; fi
}
expect_same() {   # name file expected-text
  if [ "$(cat "$2")" = "$3" ]; then ok; else
    bad "$1"; echo "--- expected"; printf '%s\n' "$3"; echo "--- got"; cat "$2"; echo "---"; fi
}
expect_grep() {   # name file pattern
  if grep -qF -- "$3" "$2"; then ok; else bad "$1: '$3' not in $2"; cat "$2"; fi
}
tree() { (cd "$1" && find . -type f | sort | while read -r f; do echo "$f $(cksum < "$f")"; done); }

# Two releases: a patched file, an added file in a new subfolder, a deleted file.
make_releases() {
  rm -rf old new
  mkdir -p old/docs new/docs new/extra
  printf 'Example product\nversion 1.0\nshared tail line\n' > old/readme.txt
  printf 'Example product\nversion 1.1, with fixes\nshared tail line\n' > new/readme.txt
  printf 'unchanged\n' > old/docs/guide.txt
  printf 'unchanged\n' > new/docs/guide.txt
  printf 'to be removed\n' > old/obsolete.txt
  printf 'brand new\n' > new/extra/added.txt
  touch -d '2001-02-03 04:05:06' old/readme.txt old/obsolete.txt old/docs/guide.txt new/docs/guide.txt
  touch -d '2002-03-04 05:06:08' new/readme.txt new/extra/added.txt
}
install_copy() { rm -rf "$1"; cp -a old "$1"; }

make_releases
mkpkg p.upg --title "Example 1.1" patch:0:1 readme.txt old/readme.txt new/readme.txt \
  'add:0:1' 'extra\added.txt' new/extra/added.txt delete:0:1 obsolete.txt old/obsolete.txt

# --- help and usage
upg --help > out 2>&1; expect_rc "upg --help" 0 $?
for c in apply verify inspect fingerprint; do expect_grep "upg --help lists $c" out "  $c"; done
for c in apply verify inspect fingerprint; do
  upg $c --help > out 2>&1; expect_rc "upg $c --help" 0 $?
  expect_grep "upg $c --help" out "Usage: upg $c"
done
upg > out 2>&1; expect_rc "upg without a command" 2 $?
upg frobnicate > out 2>&1; expect_rc "unknown command" 2 $?
upg apply p.upg --yes --no --target x > out 2>&1; expect_rc "--yes with --no" 2 $?
upg apply p.upg --answers yxn --target x > out 2>&1; expect_rc "--answers with a stray letter" 2 $?
# Each command's option table: the exact wording of a usage error, and the first fault wins.
while IFS='|' read -r args says; do
  upg $args < /dev/null > out 2>&1; expect_rc "usage: upg $args" 2 $?
  expect_grep "usage: upg $args" out "$says"
done <<'ROWS'
apply p.upg --target|upg apply: --target needs a value.
verify --bogus --help|upg verify: unknown option --bogus.
inspect p.upg extra|upg inspect: unexpected argument extra.
build old new --output|upg build: -o needs the package file to write
build old new -j 65 -o x.upg|upg build: --jobs needs a number from 1 to 64
ROWS
upg fingerprint -- -h > out 2>&1; expect_rc "fingerprint takes what follows -- as files" 1 $?

# --- a clean apply: files, dates, no scratch folder left
install_copy inst
upg verify p.upg --target inst > out 2>&1; expect_rc "verify before" 0 $?
# Names are shown with the platform's separator.
sep=/; [ "$MODE" = wine ] && sep='\'
expect_same "verify lines" out "patch  readme.txt: ok
add    extra${sep}added.txt: ok
delete obsolete.txt: ok
All 3 files would be upgraded."
upg apply p.upg --target inst --yes --quiet > out 2>&1; expect_rc "apply --yes" 0 $?
if [ "$(tree inst)" = "$(tree new)" ]; then ok; else bad "applied tree differs from new"; fi
[ ! -e inst/__QZUPD_ ] && ok || bad "scratch folder left behind"
upg fingerprint inst/readme.txt inst/extra/added.txt > a 2>&1
upg fingerprint new/readme.txt new/extra/added.txt > b 2>&1
if [ "$(sed 's/ [^ ]*$//' a)" = "$(sed 's/ [^ ]*$//' b)" ]; then ok; else bad "dates or prints differ"; cat a b; fi
expect_grep "stamped date" a "2C6428C4 "
upg verify p.upg --target inst > out 2>&1; expect_rc "verify after" 1 $?
expect_grep "rerun recognises the patched file" out "patch  readme.txt: already upgraded"
# Applied again, it asks nothing (--no would refuse any question) and ends as a success.
upg apply p.upg --target inst --no > out 2>&1; expect_rc "apply on the new release" 0 $?
expect_grep "already up to date" out "This installation is already up to date."

# --- questions: exact text, answers in order, then No
install_copy inst
printf 'someone edited this\n' > inst/readme.txt
before=$(tree inst)
upg apply p.upg --target inst --answers n > out 2> err; expect_rc "question answered No" 1 $?
expect_same "question text" err 'Applying "Example 1.1" to inst
Upgrade
Operation: Update

File: readme.txt
Description: File readme.txt

This file is not the version that the upgrade expects, so it cannot be updated.

Do you want to continue?
[y/N] n
The upgrade was not applied: a question was answered No; nothing was changed.'
if [ "$before" = "$(tree inst)" ]; then ok; else bad "a No changed the installation"; fi
upg apply p.upg --target inst --answers y --quiet > out 2> err; expect_rc "question answered Yes" 0 $?
expect_same "edited file kept" inst/readme.txt "someone edited this"
[ -f inst/extra/added.txt ] && [ ! -e inst/obsolete.txt ] && ok || bad "the rest was not applied"

# No answers and no terminal: every question is answered No.
install_copy inst
printf 'someone edited this\n' > inst/readme.txt
upg apply p.upg --target inst < /dev/null > out 2> err; expect_rc "no terminal answers No" 1 $?
expect_grep "no terminal answers No" err "[y/N] n"

# --- a rebuilt file that fails verification, under hard policy Ask answered No
mkpkg v.upg patch:0:1:bad readme.txt old/readme.txt new/readme.txt add 'extra\x.txt' new/extra/added.txt
install_copy inst
before=$(tree inst)
upg apply v.upg --target inst --no > out 2> err; expect_rc "bad rebuild, No" 1 $?
expect_grep "bad rebuild question" err "The upgrade rebuilt this file, but the result is not correct. The file will keep its present version."
if [ "$before" = "$(tree inst)" ]; then ok; else bad "a stopped build changed the installation"; fi
[ ! -e inst/__QZUPD_ ] && ok || bad "scratch folder left after a stopped build"

# --- invalid packages: the fixed first line, a precise second line, exit 2, nothing touched
install_copy inst
before=$(tree inst)
refuse() {   # name reason-fragment package
  upg apply "$3" --target inst --yes > out 2> err; expect_rc "$1" 2 $?
  if [ "$(head -n 1 err)" = "Missing or invalid setup data." ]; then ok; else bad "$1: first line"; cat err; fi
  expect_grep "$1" err "$2"
}
refuse "missing package" "does not exist" nothere.upg
mkpkg m.upg --magic "[QZUPX]" add a.txt new/readme.txt
refuse "bad magic" "does not start with [QZUPD]" m.upg
mkpkg ver.upg --version 18 add a.txt new/readme.txt
refuse "version 18" "format version 18" ver.upg
printf 'x' > one.txt
mkpkg t.upg --cut 17 add a.txt one.txt
refuse "table without its last print" "a fingerprint in its file table is missing" t.upg
mkpkg t2.upg --title Cut --cut 1
refuse "notes cut short" "ends inside its title, notes or file table" t2.upg
mkpkg u.upg add '..\evil.txt' new/readme.txt
refuse "unsafe name" "unsafe name \"..\\evil.txt\"" u.upg
mkpkg c.upg --count 10001
refuse "too many entries" "at most 10000" c.upg
upg apply p.upg --target inst --ui nothere.uui > out 2> err; expect_rc "unreadable wording" 2 $?
expect_grep "unreadable wording" err "Missing or invalid setup data."
if [ "$before" = "$(tree inst)" ]; then ok; else bad "a refused package changed the installation"; fi

# --- wording: --ui, and the .uui beside the package
{ echo "custom"; echo "Add|Patch|Remove"; echo "Op: |Name: |What: "; echo "My Caption";
  for i in $(seq 4 20); do echo "line $i"; done; } > custom.uui
install_copy inst
printf 'someone edited this\n' > inst/readme.txt
upg apply p.upg --target inst --ui custom.uui --no > out 2> err
expect_grep "--ui caption" err "My Caption"
expect_grep "--ui operation" err "Op: Patch"
cp custom.uui p.uui
upg apply p.upg --target inst --no > out 2> err
expect_grep "wording beside the package" err "Name: readme.txt"
rm p.uui

# --- inspect
upg inspect p.upg > out 2>&1; expect_rc "inspect" 0 $?
expect_grep "inspect title" out "Title:    Example 1.1"
expect_grep "inspect script" out "ends properly"
mkpkg e.upg --cut 1 add a.txt new/readme.txt
upg inspect e.upg > out 2>&1; expect_rc "inspect of a script without its end" 1 $?
expect_grep "inspect end" out "does not end properly"
upg inspect p.upg --json > out 2>&1; expect_rc "inspect --json" 0 $?
expect_grep "inspect --json" out '"endsProperly": true'

# --- fingerprint: the published example, 14:30:26 on 15 March 1996
printf 'abc' > abc.txt
touch -d '1996-03-15 14:30:26' abc.txt
upg fingerprint abc.txt > out 2>&1; expect_rc "fingerprint" 0 $?
expect_same "fingerprint line" out "206F73CD 3 6202 abc.txt"
upg fingerprint nothere.txt > out 2>&1; expect_rc "fingerprint of a missing file" 1 $?

# --- sealed and signed packages against installations with and without a pinned key
rm -f pub.* other.*
upg keygen pub > keyout 2>&1; expect_rc "keygen" 0 $?
expect_grep "keygen names the trust file" keyout "upgtrust.pem"
upg keygen pub > out 2>&1; expect_rc "keygen never replaces a key" 1 $?
upg keygen other > /dev/null 2>&1
upg build old new -o s.upg --sign pub.key -q > out 2>&1; expect_rc "build --sign" 0 $?
upg build old new -o o.upg --sign other.key -q > /dev/null 2>&1
upg build old new -o u.upg -q > /dev/null 2>&1
upg build old new -o n.upg --no-seal -q > /dev/null 2>&1
upg inspect s.upg > out 2>&1; expect_rc "inspect signed" 0 $?
keyid=$(sed -n 's/.*public key, id \([0-9a-f]\{16\}\) .*/\1/p' keyout)
if [ -n "$keyid" ]; then expect_grep "inspect names the signer" out "signed by key $keyid"; else bad "keygen printed no key id"; fi
flip() {   # file offset-from-end: a copy with one byte inverted (a fixed value may already stand there)
  local size byte; size=$(wc -c < "$1")
  byte=$(od -An -tu1 -j $((size - $2)) -N1 "$1" | tr -d ' ')
  cp "$1" "$1.bad"
  printf "\\$(printf '%03o' $((255 - byte)))" | dd of="$1.bad" bs=1 seek=$((size - $2)) conv=notrunc 2>/dev/null
  cmp -s "$1" "$1.bad" && bad "flip left $1 unchanged"
}
flip u.upg 200; flip s.upg 13
for row in "s.upg 0 applied" "u.upg 1 not signed" "o.upg 1 another key" "n.upg 1 not sealed" \
           "u.upg.bad 2 changed since it was sealed" "s.upg.bad 2 signature does not hold"; do
  set -- $row; pkg=$1; want=$2; shift 2; says="$*"
  install_copy inst; cp pub.pem inst/upgtrust.pem
  upg apply "$pkg" --target inst --yes > out 2> err; expect_rc "pinned install, $pkg" "$want" $?
  if [ "$want" = 0 ]; then expect_same "pinned install, $pkg applied" inst/readme.txt "$(cat new/readme.txt)"
  else expect_grep "pinned install, $pkg refused" err "$says"
       expect_same "pinned install, $pkg untouched" inst/readme.txt "$(cat old/readme.txt)"; fi
done
install_copy inst
upg apply o.upg --target inst --yes > out 2>&1; expect_rc "unpinned install takes any intact seal" 0 $?
install_copy inst
upg apply s.upg --target inst --trust other.pem --yes > out 2> err; expect_rc "--trust another key" 1 $?
expect_grep "--trust another key" err "another key"
upg verify s.upg --target inst --trust pub.pem > out 2>&1; expect_rc "verify with --trust" 0 $?
expect_grep "verify names the pinned signer" out "signed by the pinned publisher key"
# A version-2 seal holds one digest per set of files: verify tells a set whose installed files
# match their fingerprints but not its digest, and names the file when the set has one.
swap_words() {   # file: two aligned 16-bit words swapped; size, checksum and date stay
  { head -c 4 "$1"; tail -c +9 "$1" | head -c 2; tail -c +7 "$1" | head -c 2; tail -c +5 "$1" | head -c 2
    tail -c +11 "$1"; } > swap.tmp
  touch -r "$1" swap.tmp; mv swap.tmp "$1"
}
install_copy inst; swap_words inst/readme.txt
upg verify u.upg --target inst > out 2>&1; expect_rc "verify, a file to patch foreign to its set" 1 $?
expect_grep "verify names the foreign file" out \
  "the files to patch match their sizes and checksums but not the seal's digest of their content; the one that differs is readme.txt."
rm -rf inst; cp -a new inst; swap_words inst/extra/added.txt
upg verify u.upg --target inst --json > out 2>&1; expect_rc "verify, new files foreign to their set" 1 $?
expect_grep "verify --json names the set" out '{"set": "new", "file": null}'
# Anything at the pin's name that is not a readable key refuses, a stranger's package included.
# Wine shows Windows programs no trace of a Unix link that leads nowhere, so it is left out there
# (on Windows such a link is a reparse point that the attribute query reports).
pins="folder dangling folderlink"; [ "$MODE" = wine ] && pins="folder folderlink"
for pin in $pins; do
  install_copy inst
  case $pin in
  folder) mkdir inst/upgtrust.pem ;;
  dangling) ln -s nowhere.pem inst/upgtrust.pem ;;
  folderlink) mkdir inst/keys; ln -s keys inst/upgtrust.pem ;;
  esac
  upg apply o.upg --target inst --yes > out 2> err; expect_rc "pin as $pin" 1 $?
  expect_grep "pin as $pin refused" err "cannot be used"
  expect_same "pin as $pin untouched" inst/readme.txt "$(cat old/readme.txt)"
done
upg build nothere new -o x.upg > out 2>&1; expect_rc "build of a missing folder" 2 $?
expect_grep "build of a missing folder" out "does not exist"

# --- version, verify --json
upg --version > out 2>&1; expect_rc "--version" 0 $?
grep -qE '^upg [0-9]+\.[0-9]+\.[0-9]+$' out && ok || { bad "--version prints upg X.Y.Z"; cat out; }
install_copy inst
printf 'someone edited this\n' > inst/readme.txt
upg verify p.upg --target inst --json --log verify.log > out 2> err; expect_rc "verify --json" 1 $?
expect_grep "verify --log finding" verify.log "check patch readme.txt: not the expected version (policy ask: ask)"
expect_grep "verify --log outcome" verify.log "outcome: attention: 1 of"
expect_grep "verify --json finding" out '"name": "readme.txt", "finding": "modified", "policy": "ask", "resolution": "ask"'
expect_grep "verify --json clean entry" out '"finding": "ok", "policy": null, "resolution": "apply"'
expect_grep "verify --json outcome" out '"needAttention": 1,
  "outcome": "attention",
  "exitCode": 1'
upg verify m.upg --target inst --json > out 2> err; expect_rc "verify --json, invalid package" 2 $?
expect_grep "verify --json, invalid package" out '"outcome": "invalid"'

# --- apply --json and --log: each finding, the answers, every file operation, the outcome
install_copy inst
printf 'someone edited this\n' > inst/readme.txt
upg apply p.upg --target inst --answers n --json --log run.log > out 2> err; expect_rc "apply --json, answered No" 1 $?
expect_grep "apply --json finding" out '"name": "readme.txt", "finding": "modified", "policy": "ask", "resolution": "ask"'
expect_grep "apply --json answer" out '"question": "continue", "reason": "This file is not the version that the upgrade expects, so it cannot be updated.", "answer": "no"}'
expect_grep "apply --json, no commit" out '"commit": null,'
expect_grep "apply --json outcome" out '"outcome": "declined",'
if command -v python3 >/dev/null; then
  python3 -m json.tool out >/dev/null && ok || bad "apply --json prints one valid JSON document"
fi
expect_grep "apply --log answer" run.log 'question continue about readme.txt: "This file is not the version that the upgrade expects, so it cannot be updated.": answered No'
expect_grep "apply --log outcome" run.log "outcome: declined"
# A log that cannot be written is skipped without a word; the apply goes on.
install_copy inst
upg apply p.upg --target inst --yes --json --log nothere/run.log > out 2> err; expect_rc "apply --json, log not writable" 0 $?
expect_grep "apply --json step" out '{"step": "backup", "name": "readme.txt", "ok": true, "reason": null}'
expect_grep "apply --json commit" out '"commit": {"result": "done", "failures": []},'
expect_grep "apply --json applied" out '"outcome": "applied",'
if [ "$(tree inst)" = "$(tree new)" ] && ! grep -qi "log" err; then ok; else bad "apply with an unwritable log"; cat err; fi
upg apply m.upg --target inst --json > out 2> err; expect_rc "apply --json, invalid package" 2 $?
expect_grep "apply --json, invalid package" out '"outcome": "invalid"'

# --- bundles: checked whole before anything is written; three files together or none
fake_pe() {   # file subsystem: the headers of a 32-bit Windows program (2 windowed, 3 console)
  { printf 'MZ'; head -c 58 /dev/zero; printf '\100\000\000\000PE\000\000\114\001'; head -c 18 /dev/zero
    printf '\013\001'; head -c 66 /dev/zero; printf "\\00$2\\000\\000\\000"; } > "$1"
}
fake_pe setup.exe 2
fake_pe console.exe 3
upg build old new --bundle dist --name Product --setup-exe setup.exe -q > out 2>&1; expect_rc "bundle" 0 $?
if cmp -s dist/Product.exe setup.exe && [ -s dist/Product.upg ] && [ -s dist/Product.uui ] &&
   [ "$(ls dist | tr '\n' ' ')" = "Product.exe Product.upg Product.uui " ]; then ok; else bad "bundle files"; ls -la dist; fi
if [ "$MODE" = native ]; then
  cmp -s dist/Product.uui "$SOURCES/resources/upgsetup.uui" && ok || bad "bundle wording is the default"
fi
install_copy inst
upg apply dist/Product.upg --target inst --yes --quiet > out 2>&1; expect_rc "bundled package applies" 0 $?
head -n 12 custom.uui > short.uui
upg build old new --bundle dist2 --wording short.uui --setup-exe setup.exe > out 2>&1; expect_rc "wording without line 13" 2 $?
expect_grep "wording without line 13" out "line 13 (a missing file): missing"
upg build old new --bundle dist2 --setup-exe console.exe > out 2>&1; expect_rc "console program refused" 2 $?
expect_grep "console program refused" out "is a console program"
upg build old new --bundle dist2 --setup-exe setup.exe --title "$(printf '%090d' 0)" > out 2>&1
expect_rc "failed build" 1 $?
[ ! -e dist2 ] && ok || { bad "a failed bundle left its folder"; ls -la dist2; }
mkdir -p dist3/Product.exe; printf 'keep\n' > dist3/other.txt
before=$(ls -R dist3)
upg build old new --bundle dist3 --name Product --setup-exe setup.exe > out 2>&1; expect_rc "program not movable" 1 $?
if [ "$before" = "$(ls -R dist3)" ]; then ok; else bad "a failed bundle left files"; ls -R dist3; fi

# --- a bundle for every earlier release: one package straight from each, the one that fits applied
rm -rf rel && mkdir -p rel/1.0 rel/1.1 rel/1.2
for v in 1.0 1.1 1.2; do
  printf 'Example product\nversion %s\nshared tail line\n' "$v" > rel/$v/readme.txt
  printf 'core %s\n' "$v" > rel/$v/core.dat
done
printf 'only in 1.0\n' > rel/1.0/legacy.txt
touch -d '2001-02-03 04:05:06' rel/*/*
upg build rel/1.0 rel/1.1 new --bundle multi --name Product --setup-exe setup.exe -q > out 2>&1
expect_rc "bundle from two releases" 0 $?
upg build rel/1.0 rel/1.1 rel/1.2 new --bundle multi --name Product --setup-exe setup.exe -q > out 2>&1
expect_rc "bundle from three releases" 0 $?
# The second build replaced the first's siblings: 1.1's package is now -from-02-.
expect_same "bundle files" <(ls multi) "$(printf '%s\n' Product-from-01-1.0.upg Product-from-02-1.1.upg Product.exe Product.upg Product.uui)"
upg inspect multi/Product-from-01-1.0.upg > out 2>&1; expect_grep "sibling title" out "Upgrade from 1.0 to new"
for v in 1.0 1.1 1.2; do
  rm -rf inst && cp -a rel/$v inst
  upg verify multi --target inst > out 2>&1
  expect_grep "verify names the package for $v" out "fits the installation"
  upg apply multi --target inst --yes > out 2> err; expect_rc "bundle folder applies to $v" 0 $?
  if [ "$(tree inst)" = "$(tree new)" ]; then ok; else bad "bundle applied to $v"; cat err; fi
done
expect_grep "apply names the package" err "Using Product.upg"
rm -rf inst && cp -a rel/1.1 inst
upg apply multi/Product.upg multi/Product-from-02-1.1.upg multi/Product-from-01-1.0.upg --target inst --yes \
  > out 2> err; expect_rc "several packages given" 0 $?
expect_grep "several packages: the fitting one" err "Using Product-from-02-1.1.upg"
mkdir -p inst2 && printf 'other\n' > inst2/readme.txt
upg verify multi --target inst2 > out 2>&1; expect_rc "nothing fits" 1 $?
expect_grep "nothing fits: the base package" out "none fits the installation as it is; checked against the base package Product.upg"

if [ "$MODE" = native ]; then
  # Without --setup-exe, the program comes from share/upg beside the bin folder upg runs from.
  mkdir -p usr/bin usr/share/upg
  cp "$UPG" usr/bin/upg; cp setup.exe usr/share/upg/upgsetup.exe
  usr/bin/upg build old new --bundle dist4 -q > out 2>&1; expect_rc "bundle, installed layout" 0 $?
  cmp -s dist4/upgsetup.exe setup.exe && ok || bad "bundle took the installed program"

  # Local time follows TZ.
  TZ=JST-9 "$UPG" fingerprint abc.txt > out 2>&1
  expect_same "fingerprint in another zone" out "206FBBCD 3 6202 abc.txt"

  # Read-only installed file under hard policy Ask answered Yes: skipped, the rest applied.
  install_copy inst
  chmod a-w inst/readme.txt
  upg apply p.upg --target inst --yes > out 2> err; expect_rc "read-only file skipped" 0 $?
  expect_grep "read-only question" err "This file is read-only, so it cannot be changed."
  expect_same "read-only file kept" inst/readme.txt "$(cat old/readme.txt)"
  chmod u+w inst/readme.txt

  # A missing target folder is refused before anything happens.
  upg apply p.upg --target nothere --yes > out 2> err; expect_rc "missing target" 1 $?
  expect_grep "missing target" err "does not exist"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
