#!/bin/sh
# Installs what building and testing need on a Debian 12 machine, only when something is missing.
set -e
need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# "native" asks only for what the native build needs (make demo), "bench" for that and the
# benchmark's peers, "dist" for the release artifacts; the default is everything the tests need
# on either Windows path: both mingw compilers, 32-bit Wine (natively or under qemu-i386) and
# wine64, and what the release artifacts are made and checked with.
pkgs="cmake make g++ libssl-dev"
if [ "${1:-all}" = bench ]; then
  pkgs="$pkgs xdelta3 zstd bsdiff time gnuplot-nox"
elif [ "${1:-all}" = dist ]; then
  pkgs="$pkgs googletest g++-mingw-w64-i686-posix dpkg-dev groff-base unzip"
elif [ "${1:-all}" != native ]; then
  pkgs="$pkgs clang clang-format universal-ctags libclang-rt-14-dev googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 xvfb imagemagick x11-utils gcc-multilib g++-multilib libssl-dev:i386 dpkg-dev groff-base unzip"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    [ "$(id -u)" = 0 ] || { echo "run as root to add the i386 architecture for Wine"; exit 1; }
    dpkg --add-architecture i386
  fi
fi
for p in $pkgs; do have "$p" || need="$need $p"; done
if [ -n "$need" ]; then
  echo "installing:$need"
  [ "$(id -u)" = 0 ] || { echo "run as root (or with sudo) to install:$need"; exit 1; }
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
