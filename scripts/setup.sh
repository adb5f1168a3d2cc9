#!/usr/bin/env bash
# Installs what building and testing kesnet needs on a Debian 12 machine, and nothing
# that is already there. Safe to run again; run as root or with sudo available.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

need_pkgs=()
want() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || need_pkgs+=("$1"); }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    added_arch=1
fi

for p in cmake ninja-build g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
         binutils-mingw-w64-i686 googletest iproute2 util-linux wine wine32:i386 \
         python3 libasio-dev gnuplot-nox tcpdump unzip; do
    want "$p"
done

if [ "${#need_pkgs[@]}" -gt 0 ]; then
    echo "setup: installing ${need_pkgs[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
fi
echo "setup: toolchain, Wine and test tools are present"
