// A small legacy driver for exercising the I/O manager and the Win32 side: \Device\TestDev0 with
// the DOS name TESTDEV, buffered I/O. Writes fill a byte ring; reads drain it or wait in a
// cancelable queue; a timer can deliver bytes to waiting reads later.
// Kernel subset: plain structures and routines only.
#pragma once

#include "platform/kernel.h"

// "TDev"
#define TESTDEV_POOL_TAG ((ULONG)'T' | ((ULONG)'D' << 8) | ((ULONG)'e' << 16) | ((ULONG)'v' << 24))
#define TESTDEV_RING_SIZE 256
#define TESTDEV_DELAYED_MAX 64

// Echoes the input into the output; a short output gets what fits and STATUS_BUFFER_OVERFLOW.
#define IOCTL_TESTDEV_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input TESTDEV_DELAYED: after DelayMs the data enters the ring and waiting reads are served.
#define IOCTL_TESTDEV_DELAYED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input an NTSTATUS: the request completes with it.
#define IOCTL_TESTDEV_FAIL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _TESTDEV_DELAYED {
    ULONG DelayMs;
    ULONG Length;
    UCHAR Data[TESTDEV_DELAYED_MAX];
} TESTDEV_DELAYED, *PTESTDEV_DELAYED;

extern "C" NTSTATUS NTAPI TestDevDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
