#!/bin/bash
# Checks that windows/miravo.inf names exactly the hardware IDs of platform/miravo_ids.h and puts
# ExtBaudrate in the service key.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
inf=$root/windows/miravo.inf
ids=$root/platform/miravo_ids.h

vendor=$(awk '$2 == "MIRAVO_VENDOR_ID" { print $3 }' "$ids")
expected=$(awk '$2 ~ /^MIRAVO_PRODUCT_ID_TYPE/ { print $3 }' "$ids" |
    while read -r pid; do printf 'USB\\VID_%04X&PID_%04X\n' "$vendor" "$pid"; done | sort)
listed=$(grep -o 'USB\\VID_[0-9A-F]*&PID_[0-9A-F]*' "$inf" | sort)
if [ "$expected" != "$listed" ]; then
    echo "check-inf: hardware IDs differ from platform/miravo_ids.h:" >&2
    diff <(echo "$expected") <(echo "$listed") >&2 || true
    exit 1
fi
grep -q '^HKR,,ExtBaudrate,0x00000000,""' "$inf" || { echo "check-inf: no empty ExtBaudrate string" >&2; exit 1; }
echo "check-inf: $(wc -l <<<"$listed") hardware IDs match platform/miravo_ids.h; ExtBaudrate in the service key"
