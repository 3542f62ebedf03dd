#!/bin/bash
# Checks a kernel image: native subsystem, and imports only from the kernel, the HAL, USBD and the
# WMI library, only routines listed in allowed-imports.txt.
# Usage: windows/check-imports.sh <image.sys>
set -euo pipefail

image=${1:?usage: check-imports.sh <image.sys>}
allowed=$(dirname "$0")/allowed-imports.txt
objdump=${MIRAVO_WINDOWS_OBJDUMP:-i686-w64-mingw32-objdump}

headers=$("$objdump" -p "$image")
failures=()

subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$headers")
if [ "$((16#${subsystem:-0}))" -ne 1 ]; then
    failures+=("subsystem is ${subsystem:-missing}, not 1 (native)")
fi

# "DLL Name: X" opens a block; each following "<vma> <hint> <name>" line is one imported routine.
imports=$(awk '
    /^\tDLL Name: / { dll = $3; print "DLL " dll; next }
    /^$/ || /^ [0-9a-f]/ { if (dll != "" && /^ [0-9a-f]/) dll = ""; next }
    dll != "" && /^\t[0-9a-f]+\t/ { print "ROUTINE " dll " " $NF }
    /^The Export Tables/ || /^PE File Base Relocations/ { exit }
' <<<"$headers")

while read -r kind dll routine; do
    [ -n "$kind" ] || continue
    if [ "$kind" = DLL ]; then
        case "${dll,,}" in
        ntoskrnl.exe | hal.dll | usbd.sys | wmilib.sys) ;;
        *) failures+=("imports from $dll") ;;
        esac
    elif ! sed -e 's/[[:space:]]*#.*//' "$allowed" | grep -qxF -- "$routine"; then
        failures+=("imports $routine from $dll, which windows/allowed-imports.txt does not list")
    fi
done <<<"$imports"

if [ "${#failures[@]}" -ne 0 ]; then
    echo "check-imports: $image:" >&2
    printf '  %s\n' "${failures[@]}" >&2
    exit 1
fi
echo "check-imports: $(basename "$image"): native subsystem, $(grep -c '^ROUTINE' <<<"$imports") imports, all allowed"
