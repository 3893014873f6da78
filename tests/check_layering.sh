#!/bin/sh
# Fails when <windows.h> appears outside the platform files of filelayer/ and the app/ shell, or
# when a source file includes a header of a folder that its own folder's library does not link,
# directly or through the libraries it links: every include edge must follow the CMake link graph.
top=${1:-.}
cd "$top" || exit 2
folders="filelayer package engine builder console app resources"

bad=$(grep -rliE '#\s*include\s*[<"]windows\.h[>"]' filelayer package engine console builder resources 2>/dev/null \
      | grep -v -E '^filelayer/[a-z]+_win32\.cpp$')
if [ -n "$bad" ]; then echo "windows.h outside the platform files: $bad"; exit 1; fi

# The folder whose CMakeLists.txt makes a target; nothing for system and third-party libraries.
folder_of() {
    case $1 in
    upg) echo console ;;
    upgsetup) echo app ;;
    wording) echo resources ;;
    *) for f in $folders; do [ "$f" = "$1" ] && echo "$f"; done ;;
    esac
}

# The folders a folder's targets link directly, read from its target_link_libraries lines.
links() {
    [ -f "$1/CMakeLists.txt" ] || return 0
    sed -n 's/^[[:space:]]*target_link_libraries([^ ]* \(.*\))[[:space:]]*$/\1/p' "$1/CMakeLists.txt" \
        | tr ' ' '\n' | while read -r t; do
            case $t in PUBLIC|PRIVATE|INTERFACE|'') ;; *) folder_of "$t" ;; esac
        done
}

# The folder itself and every folder it reaches through the link graph.
reach() {
    seen=" $1 "
    todo=$1
    while [ -n "$todo" ]; do
        set -- $todo
        current=$1
        shift
        todo=$*
        for d in $(links "$current"); do
            case $seen in *" $d "*) ;; *) seen="$seen$d "; todo="$todo $d" ;; esac
        done
    done
    echo "$seen"
}

status=0
edges=0
for f in $folders; do
    [ -d "$f" ] || continue
    allowed=$(reach "$f")
    for file in "$f"/*.cpp "$f"/*.h; do
        [ -f "$file" ] || continue
        for header in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
            owner=""
            for g in $folders; do
                if [ -f "$g/$header" ]; then owner=$g; break; fi
            done
            [ -n "$owner" ] || continue
            edges=$((edges + 1))
            case $allowed in
            *" $owner "*) ;;
            *) echo "$file includes $owner/$header, but $f does not link $owner"; status=1 ;;
            esac
        done
    done
done
if [ $edges -eq 0 ]; then echo "no include edges found: the check read nothing"; exit 1; fi
[ $status -eq 0 ] && echo "layering clean: $edges include edges follow the link graph"
exit $status
