#!/usr/bin/env bash
# Installs what building and testing kesnet needs on a Debian 12 machine, and
# nothing that is already there. Safe to run again; run as root or with sudo
# available.
#
# It also finds out whether this kernel executes 32-bit programs (some virtual
# machines cannot), says so in one line, and leaves the answer ("yes" or "no")
# in $KESNET_BUILD_ROOT/kernel-runs-win32 for the other scripts. The 32-bit
# Wine is installed only where it can run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${KESNET_BUILD_ROOT:-$root/build}
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Runs a 96-byte static i386 program that exits with status 42: a kernel
# without a 32-bit mode refuses it ("Exec format error"). It needs no 32-bit
# library, so it answers on a fresh machine too.
kernel_runs_32bit() {
    local probe status=0
    mkdir -p "$build_root"
    probe=$(mktemp "$build_root/probe32.XXXXXX")
    local elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'  # 32-bit, little-endian
    elf+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'                # executable, i386, entry
    elf+='\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00'
    elf+='\x01\x00\x00\x00\x00\x00\x00\x00'                                    # one program header
    elf+='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'  # load it all
    elf+='\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    elf+='\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'                    # exit(42)
    printf "$elf" >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 42 ]
}

if kernel_runs_32bit; then
    runs32=yes
    echo "setup: this kernel runs 32-bit programs: the 32-bit and the 64-bit DLL are both tested"
else
    runs32=no
    echo "setup: this kernel cannot execute 32-bit programs: only the 64-bit DLL's tests can run here"
fi

need_pkgs=()
want() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || need_pkgs+=("$1"); }

# Both DLLs are always built; the compilers and binutils of both come first.
# clang, lld and llvm name the exports for Microsoft-ABI hosts and build the
# test host of that ABI.
for p in cmake ninja-build g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 \
         g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
         googletest iproute2 util-linux wine wine64 python3 libasio-dev gnuplot-nox tcpdump tshark unzip \
         gcc g++ libc6-dev clang lld llvm libcli11-dev libssl-dev python3-cryptography nftables udpcast uftp; do
    want "$p"
done
if [ "$runs32" = yes ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    want wine32:i386
fi

if [ "${#need_pkgs[@]}" -gt 0 ]; then
    echo "setup: installing ${need_pkgs[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # tshark's package asks whether users who are not root may capture: no
    # (the tests capture as root, inside the private network only).
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
fi
# uftp's package starts its receiving daemon on the machine's own interfaces;
# the multicast benchmark starts its own, inside its private network only.
if [ -d /run/systemd/system ] && systemctl is-enabled --quiet uftp.service 2>/dev/null; then
    $SUDO systemctl disable --now uftp.service >/dev/null 2>&1 || true
fi
echo "$runs32" >"$build_root/kernel-runs-win32"
echo "setup: toolchains, Wine and test tools are present"
