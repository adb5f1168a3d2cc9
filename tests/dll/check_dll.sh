#!/usr/bin/env bash
# Reads the DLL's (and the tool's) headers and import and export tables: the
# library is a PE32 (win32) or PE32+ (win64) DLL, needs nothing but Windows' own
# DLLs (the tool nothing but those and the library), exports every plain
# function under its exact undecorated name, and exports the classes and the
# records' member functions under g++'s names and under those of the
# Microsoft ABI (every name of EXPORTS_DEF, the names a host imports). The
# 32-bit and the 64-bit DLL export the same plain names. Nothing here runs the
# DLL.
#   check_dll.sh win32|win64 OBJDUMP DLL EXPORTS_DEF [EXE...]
set -euo pipefail
arch=$1
objdump=$2
dll=$3
exports_def=$4
shift 4

system_dlls=" kernel32.dll msvcrt.dll ws2_32.dll netapi32.dll version.dll advapi32.dll user32.dll ntdll.dll iphlpapi.dll shell32.dll bcrypt.dll "
exports=(KesInitInstance KesExitInstance KesSend KesListen KesStopListen
         KesGetHostName KesGetCompName VantixGetHostIP KesGetHostIP CorGetHostIP
         KesGetNetCard KesLanWakeUp KesWakeUp KesGetInterfaces RegReadDWORD RegReadString RegWriteDWORD RegWriteString
         SFGetCatalogSize SIsFileBmp SIsFileWav KesGetDllVersion KesCreateObject
         KesCastOpen KesCastSendFile KesCastSendBuffer KesCastWait KesCastSendMessage KesCastGetStatus
         KesCastGetReceivers KesCastClose KesCastErrorText KesAuthSetKey KesAuthLoadKeyFile KesAuthSetOptions
         KesAuthClear KesAuthGetCounters KesAuthFromTeacher KesAuthSecureOnPassword KesAuthErrorText)
# Members of every exported class and record, by their g++ names, with the
# listeners' protected thread bodies under the names that a host deriving from
# them declares: CKesListen::ThreadProc() and CKesListen3::ThreadProc(int).
classes=(8CKesSend 10CKesListen 9CKesSend2 9CKesSend3 11CKesListen3)
records=(12tagParamSend 14tagParamListen 13tagParamSend3 15tagParamListen3 12tagParamWake)
members=(_ZN10CKesListen10ThreadProcEv _ZN11CKesListen310ThreadProcEi)
for c in "${classes[@]}"; do
    members+=("_ZN${c}C1Ev" "_ZN${c}C2Ev" "_ZN${c}D1Ev" "_ZN${c}aSERKS_" "_ZN${c}7ReleaseEv")
done
for r in "${records[@]}"; do
    members+=("_ZN${r}C1Ev" "_ZN${r}5ResetEv" "_ZN${r}aSERKS_")
done

# The Microsoft-ABI names, and one of them written out here: the default
# constructor of CKesSend, as that ABI names it for each architecture.
mapfile -t microsoft < <(sed -n 's/^ *"\(?[^"]*\)"$/\1/p' "$exports_def")
case "$arch" in
    win32) magic='Magic\s+010b\s+\(PE32\)' anchor='??0CKesSend@@QAE@XZ' ;;
    win64) magic='Magic\s+020b\s+\(PE32\+\)' anchor='??0CKesSend@@QEAA@XZ' ;;
    *) echo "usage: $0 win32|win64 OBJDUMP DLL EXPORTS_DEF [EXE...]" >&2; exit 2 ;;
esac
if [ "${#microsoft[@]}" -lt 60 ] || ! printf '%s\n' "${microsoft[@]}" | grep -qxF "$anchor"; then
    echo "FAIL: $exports_def lists ${#microsoft[@]} Microsoft-ABI names, without $anchor"
    exit 1
fi

status=0
for file in "$dll" "$@"; do
    headers=$("$objdump" -p "$file")
    if ! grep -qE "$magic" <<<"$headers"; then
        echo "FAIL: $(basename "$file") is not a $arch program (its header's Magic is not that of $arch)"
        status=1
    fi
    while read -r name; do
        lower=$(echo "$name" | tr 'A-Z' 'a-z')
        [ "$lower" = kesnet.dll ] && [ "$file" != "$dll" ] && continue
        case "$system_dlls" in
            *" $lower "*) ;;
            *) echo "FAIL: $(basename "$file") imports $name, which is not a Windows system DLL"; status=1 ;;
        esac
    done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
done

exported=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p')
for name in "${exports[@]}" "${members[@]}" "${microsoft[@]}"; do
    if ! grep -qxF -- "$name" <<<"$exported"; then
        echo "FAIL: $(basename "$dll") does not export $name"
        status=1
    fi
done
[ $status -eq 0 ] && echo "ok: $arch; imports are Windows system DLLs only; ${#exports[@]} plain functions exported" \
    "by name, ${#members[@]} members of the ${#classes[@]} classes and ${#records[@]} records by g++'s" \
    "names and ${#microsoft[@]} by the Microsoft ABI's"
exit $status
