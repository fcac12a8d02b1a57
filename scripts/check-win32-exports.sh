#!/usr/bin/env bash
# Checks the Windows products: VUZORUR.dll exports QelMain undecorated and
# nothing else of the driver's, imports err from KESTAN.dll, and needs no
# runtime DLL beside the system's.
set -euo pipefail
bin=${1:?usage: check-win32-exports.sh BUILD/bin}
dump=$(i686-w64-mingw32-objdump -p "$bin/VUZORUR.dll")
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}')
echo "VUZORUR.dll exports: $exports"
[ "$exports" = "QelMain" ] || { echo "FAIL: VUZORUR.dll must export QelMain and nothing else"; exit 1; }
dlls=$(printf '%s\n' "$dump" | grep 'DLL Name:' | awk '{print $3}')
echo "VUZORUR.dll imports from: $(echo $dlls)"
printf '%s\n' "$dlls" | grep -qx 'KESTAN.dll' || { echo "FAIL: no import from KESTAN.dll"; exit 1; }
printf '%s\n' "$dump" | sed -n '/DLL Name: KESTAN.dll/,/^$/p' | grep -qw 'err' || { echo "FAIL: err is not imported from KESTAN.dll"; exit 1; }
if printf '%s\n' "$dlls" | grep -qiE 'libstdc|libgcc|libwinpthread'; then
  echo "FAIL: the runtime is not linked in statically"; exit 1
fi
kexports=$(i686-w64-mingw32-objdump -p "$bin/KESTAN.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}')
printf '%s\n' "$kexports" | grep -qx err || { echo "FAIL: KESTAN.dll does not export err"; exit 1; }
echo "win32 exports: ok"
