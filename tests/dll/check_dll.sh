#!/usr/bin/env bash
# Reads the DLL's (and the tool's) import and export tables: the library needs
# nothing but Windows' own DLLs (the tool nothing but those and the library),
# and exports every plain function under its exact undecorated name, and the
# listeners' protected thread bodies under the names that a host deriving from
# them declares.
#   check_dll.sh OBJDUMP DLL [EXE...]
set -euo pipefail
objdump=$1
dll=$2
shift 2

system_dlls=" kernel32.dll msvcrt.dll ws2_32.dll netapi32.dll version.dll advapi32.dll user32.dll ntdll.dll iphlpapi.dll shell32.dll "
exports=(KesInitInstance KesExitInstance KesSend KesListen KesStopListen
         KesGetHostName KesGetCompName VantixGetHostIP KesGetHostIP CorGetHostIP
         KesGetNetCard KesLanWakeUp RegReadDWORD RegReadString RegWriteDWORD RegWriteString
         SFGetCatalogSize SIsFileBmp SIsFileWav KesGetDllVersion KesCreateObject)
# CKesListen::ThreadProc() and CKesListen3::ThreadProc(int), as g++ names them.
members=(_ZN10CKesListen10ThreadProcEv _ZN11CKesListen310ThreadProcEi)

status=0
for file in "$dll" "$@"; do
    while read -r name; do
        lower=$(echo "$name" | tr 'A-Z' 'a-z')
        [ "$lower" = kesnet.dll ] && [ "$file" != "$dll" ] && continue
        case "$system_dlls" in
            *" $lower "*) ;;
            *) echo "FAIL: $(basename "$file") imports $name, which is not a Windows system DLL"; status=1 ;;
        esac
    done < <("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done

table=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in "${exports[@]}" "${members[@]}"; do
    if ! grep -qE "\] $name\$" <<<"$table"; then
        echo "FAIL: $(basename "$dll") does not export $name"
        status=1
    fi
done
[ $status -eq 0 ] && echo "ok: imports are Windows system DLLs only; ${#exports[@]} plain functions and ${#members[@]} thread bodies exported by name"
exit $status
