# What this machine can execute, and which Wine runs which Windows build here (sourced by bash).
# shellcheck shell=bash
#
#   probe_machine DIR   runs a tiny -m32 program and starts 32-bit Wine; sets MACHINE_I386 (yes/no),
#                       MACHINE_NOTE (what was seen) and WINDOWS_ARCH: x86 where both ran, else x64.
#                       UPG_WINDOWS_ARCH=x86|x64 forces the choice (x86 fails where it cannot run).
#   qemu_wine DIR       32-bit Wine under a private static qemu-i386 for machines whose kernel runs
#                       no 32-bit programs; sets UPG_WINE32 to its loader, or QEMU_NOTE and fails.

probe_machine() {
    local dir=$1 seen rc
    mkdir -p "$dir"
    MACHINE_I386=no
    # Built and run, not guessed: kernels differ in whether they carry 32-bit support at all.
    if ! printf 'int main(void) { return 42; }\n' | gcc -m32 -x c - -o "$dir/m32" 2>"$dir/m32.log"; then
        MACHINE_NOTE="a -m32 program does not build ($(head -n1 "$dir/m32.log"))"
        seen=
    else
        seen=$("$dir/m32" 2>&1) && rc=0 || rc=$?
        if [ $rc != 42 ]; then
            MACHINE_NOTE="a -m32 program does not run (exit $rc: ${seen##*: })"
        else
            # The 32-bit loader and its ntdll are loaded before the version is printed.
            seen=$(timeout 60 /usr/lib/wine/wine --version 2>&1 </dev/null) && rc=0 || rc=$?
            if [ $rc != 0 ]; then
                MACHINE_NOTE="a -m32 program runs; 32-bit Wine does not start (exit $rc: ${seen##*: })"
            else
                MACHINE_I386=yes
                MACHINE_NOTE="a -m32 program runs; 32-bit Wine starts ($seen)"
            fi
        fi
    fi
    case "${UPG_WINDOWS_ARCH:-auto}" in
    auto) [ $MACHINE_I386 = yes ] && WINDOWS_ARCH=x86 || WINDOWS_ARCH=x64 ;;
    x86 | x64) WINDOWS_ARCH=$UPG_WINDOWS_ARCH ;;
    *) echo "UPG_WINDOWS_ARCH must be auto, x86 or x64, not '$UPG_WINDOWS_ARCH'"; return 1 ;;
    esac
    if [ "$WINDOWS_ARCH" = x86 ] && [ $MACHINE_I386 = no ]; then
        echo "UPG_WINDOWS_ARCH=x86, but $MACHINE_NOTE"
        return 1
    fi
}

# Debian 12's qemu-user cannot carry Wine; Debian 13's static qemu-i386 can. It is fetched from the
# machine's own Debian mirror through a private apt state, so the machine's sources, lists and
# installed packages stay as they are, and nothing is registered with the kernel.
qemu_wine() {
    local dir w qemu
    dir=$(mkdir -p "$1" && cd "$1" && pwd) || return 1
    w=$dir/wine
    qemu=$dir/qemu-i386
    if [ ! -x "$qemu" ]; then
        local apt=$dir/apt mirror
        mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
        [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) bookworm .*/\2/p' \
            /etc/apt/sources.list 2>/dev/null | head -n1)
        mirror=${mirror:-http://deb.debian.org/debian}
        rm -rf "$apt"
        mkdir -p "$apt/sources" "$apt/prefs" "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/deb"
        touch "$apt/state/status"
        printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' "$mirror" \
            /usr/share/keyrings/debian-archive-keyring.gpg >"$apt/sources/trixie.sources"
        local opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/sources"
            -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$apt/prefs"
            -o Dir::State="$apt/state" -o Dir::State::Status="$apt/state/status" -o Dir::Cache="$apt/cache"
            -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
        if ! apt-get "${opts[@]}" -qq update >"$apt/log" 2>&1 ||
            ! (cd "$apt/deb" && apt-get "${opts[@]}" -qq download qemu-user >>"$apt/log" 2>&1); then
            QEMU_NOTE="qemu-user from $mirror trixie could not be fetched ($(tail -n1 "$apt/log"))"
            return 1
        fi
        if ! dpkg-deb --fsys-tarfile "$apt"/deb/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$qemu.part"; then
            QEMU_NOTE="the qemu-user package holds no usr/bin/qemu-i386"
            rm -f "$qemu.part"
            return 1
        fi
        chmod +x "$qemu.part"
        mv "$qemu.part" "$qemu"
        rm -rf "$apt"
    fi
    # A private copy of Wine's layout whose loader is a script: Wine starts every new process with
    # "<folder of its loader>/<its name>", so each child goes through qemu as well.
    rm -rf "$w"
    mkdir -p "$w/lib/wine" "$w/share"
    cp /usr/lib/wine/wine "$w/lib/wine/wine.bin"
    for f in wine64 wineserver wineserver32 wineserver64; do ln -s "/usr/lib/wine/$f" "$w/lib/wine/$f"; done
    ln -s /usr/lib/i386-linux-gnu "$w/lib/i386-linux-gnu"
    ln -s /usr/share/wine "$w/share/wine"
    printf '#!/bin/sh\nexec "%s" -0 "%s" "%s" "$@"\n' "$qemu" "$w/lib/wine/wine" "$w/lib/wine/wine.bin" \
        >"$w/lib/wine/wine"
    chmod +x "$w/lib/wine/wine"
    local seen
    if ! seen=$(timeout 120 "$w/lib/wine/wine" --version 2>&1 </dev/null); then
        QEMU_NOTE="32-bit Wine under $("$qemu" --version | head -n1) does not start ($seen)"
        return 1
    fi
    UPG_WINE32=$w/lib/wine/wine
    QEMU_NOTE="32-bit Wine ($seen) under $("$qemu" --version | head -n1)"
}
