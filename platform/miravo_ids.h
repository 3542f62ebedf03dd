// USB identifiers and wire facts of the Miravo bridge chips, shared by the driver, the simulated
// chip and the INF. Plain macros: included by kernel code on both targets.
#pragma once

// The chip maker's USB vendor ID: in the device descriptor and in the chip's EEPROM.
#define MIRAVO_VENDOR_ID 0x1209

// Test product IDs, one per chip variant (the driver classifies by descriptors, not by these).
#define MIRAVO_PRODUCT_ID_TYPE0 0x7A30
#define MIRAVO_PRODUCT_ID_TYPE1 0x7A31
#define MIRAVO_PRODUCT_ID_TYPE2 0x7A32
#define MIRAVO_PRODUCT_ID_TYPE3 0x7A33
#define MIRAVO_PRODUCT_ID_TYPE4 0x7A34

// The chip's status word, bytes 8 and 9 (little-endian) of its 10-byte status packet.
#define UART_DCD 0x01
#define UART_DSR 0x02
#define UART_BREAK 0x04
#define UART_RING 0x08
#define UART_FRAMING 0x10
#define UART_PARITY 0x20
#define UART_OVERRUN 0x40
#define UART_CTS 0x80
