// USB identifiers of the Miravo bridge chips, shared by the driver (its EEPROM probe), the
// simulated chip and the INF. Plain macros: included by kernel code on both targets.
#pragma once

// The chip maker's USB vendor ID: in the device descriptor and in the chip's EEPROM.
#define MIRAVO_VENDOR_ID 0x1209

// Test product IDs, one per chip variant (the driver classifies by descriptors, not by these).
#define MIRAVO_PRODUCT_ID_TYPE0 0x7A30
#define MIRAVO_PRODUCT_ID_TYPE1 0x7A31
#define MIRAVO_PRODUCT_ID_TYPE2 0x7A32
#define MIRAVO_PRODUCT_ID_TYPE3 0x7A33
#define MIRAVO_PRODUCT_ID_TYPE4 0x7A34
