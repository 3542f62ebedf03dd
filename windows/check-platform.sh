#!/bin/bash
# Checks that the host platform headers declare what the DDK declares: every macro value,
# enumerator, structure size and member offset of platform/host/{usb,ntddser,wmilib}.h is
# evaluated by the i386 compiler against our declarations and against mingw-w64's DDK headers.
# Usage: windows/check-platform.sh [work directory]   (run from anywhere)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build/windows/platform-check}
cxx=${MIRAVO_WINDOWS_CXX:-i686-w64-mingw32-g++}
objcopy=${MIRAVO_WINDOWS_OBJCOPY:-i686-w64-mingw32-objcopy}
ddk=$("$cxx" -print-sysroot 2>/dev/null || true)
[ -n "$ddk" ] || ddk=/usr/i686-w64-mingw32
mkdir -p "$work"

awk -f "$root/windows/platform-items.awk" \
    "$root/platform/host/usb.h" "$root/platform/host/ntddser.h" "$root/platform/host/wmilib.h" \
    > "$work/platform-items.inc"

for side in host ddk; do
    host=0; [ "$side" = host ] && host=1
    "$cxx" -std=c++20 -fno-exceptions -fno-rtti -I"$root" -I"$work" -isystem "$ddk/include/ddk" \
        -DPLATFORM_CHECK_HOST=$host -c "$root/windows/platform-check.cpp" -o "$work/$side.o"
    "$objcopy" -O binary --only-section=.pcheck "$work/$side.o" "$work/$side.bin"
done

# The section may be padded past the table.
items=$(wc -l < "$work/platform-items.inc")
for side in host ddk; do
    od -An -v -t u8 -w8 "$work/$side.bin" | tr -d ' ' | head -n "$items" > "$work/$side.values"
done
if [ "$(wc -l < "$work/host.values")" -ne "$items" ] || [ "$(wc -l < "$work/ddk.values")" -ne "$items" ]; then
    echo "check-platform: value tables do not have $items entries" >&2
    exit 1
fi
mismatches=$(paste <(sed 's/^X("\([^"]*\)".*/\1/' "$work/platform-items.inc") \
    "$work/host.values" "$work/ddk.values" | awk -F'\t' '$2 != $3 { printf "  %-60s host %s  ddk %s\n", $1, $2, $3 }')
if [ -n "$mismatches" ]; then
    echo "check-platform: host declarations differ from the DDK's:" >&2
    echo "$mismatches" >&2
    exit 1
fi
echo "check-platform: $items names, values and layouts agree with the DDK"
