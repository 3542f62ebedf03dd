// The per-port state and the driver-wide state, shared by every folder of the driver. Each folder
// adds the fields its routines own; fields start zeroed when the device object is created.
#pragma once

#include "platform/kernel.h"
#include "platform/serial.h"
#include "platform/usb.h"
#include "platform/wmi.h"

// Pool tag 'COMX' as the kernel stores it: the first character in the low byte.
#define MIRAVO_POOL_TAG ((ULONG)'C' | ((ULONG)'O' << 8) | ((ULONG)'M' << 16) | ((ULONG)'X' << 24))

#define EXTENDED_RATE_ROWS 10

struct ExtendedRate {
    LONG RequestedRate;
    ULONG ChipRateValue;
};

// Written at driver entry only (NextPortNumber also by AddDevice, which the platform serialises).
struct GlobalState {
    UNICODE_STRING RegistryPath;
    PVOID PagingLockHandle;
    ExtendedRate ExtendedRateTable[EXTENDED_RATE_ROWS];
    LONG ExtendedRateCount;
    ULONG NextPortNumber;
};

extern GlobalState DriverGlobals;

// The transfer engine's records (usb/transfer.cpp, usb/transfer.h).
struct UsbTransfer;
struct TransferHandoffs;
// Transfer slots: the interrupt IN and bulk IN chains, then every bulk OUT transfer in flight.
#define TRANSFER_SLOT_INTERRUPT_IN 0
#define TRANSFER_SLOT_BULK_IN 1
#define TRANSFER_SLOT_FIRST_BULK_OUT 2
#define TRANSFER_BULK_OUT_SLOTS 16
#define TRANSFER_SLOTS (TRANSFER_SLOT_FIRST_BULK_OUT + TRANSFER_BULK_OUT_SLOTS)

// The chip variants, as identification classifies them from the descriptors.
enum ChipVariant : LONG { ChipUnclassified = -1, ChipType0, ChipType1, ChipType2, ChipType3, ChipType4 };

// TxHoldReasons bits: why transmission is held.
#define TX_HOLD_CTS 0x1
#define TX_HOLD_DSR 0x2
#define TX_HOLD_XOFF 0x8
#define TX_HOLD_BREAK 0x10
// RxHoldReasons bits: the receive holds in force. XOFF and RTS keep the bulk IN pipe idle.
#define RX_HOLD_DTR 0x1
#define RX_HOLD_XOFF 0x2
#define RX_HOLD_RTS 0x4
#define RX_HOLD_DSR 0x8

// A DPC of the port as the counted-DPC operations see it: its routine, the timer that queues it
// (if any), and how many of its runs are counted in PendingDpcCount with no one yet settling them.
// A run is settled once, by the run itself as it starts or by a drain that removes it.
#define PORT_COUNTED_DPCS 16
struct CountedDpc {
    PKDPC Dpc;
    PKDEFERRED_ROUTINE Routine;
    PKTIMER Timer;
    LONG Unsettled;
};

struct PortExtension {
    // Identity and device stack.
    PDEVICE_OBJECT DeviceObject;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;

    // Plug and Play and request accounting.
    ULONG PnpState;
    ULONG DeviceFlags;
    ULONG PnpAcceptState;
    KSPIN_LOCK FlagsLock;
    FAST_MUTEX OpenMutex;
    KEVENT StartEvent;
    LONG PendingRequestCount;
    KEVENT RequestsDrainedEvent;
    LONG PendingDpcCount;
    KEVENT DpcsDrainedEvent;
    LIST_ENTRY HeldRequests;
    LIST_ENTRY ReadQueue;
    LIST_ENTRY WriteQueue;
    LIST_ENTRY MaskQueue;
    LIST_ENTRY PurgeQueue;
    PIRP CurrentRead;
    PIRP CurrentWrite;
    PIRP CurrentMask;
    PIRP CurrentPurge;
    PIRP CurrentWait;
    PIRP CurrentImmediate;
    PIRP CurrentXoff;
    ULONG TxCharsQueued;

    // Read by the error-abort test of every data request; owned by the receive path, which
    // accumulates line errors here and clears them on IOCTL_SERIAL_GET_COMMSTATUS.
    ULONG CommErrors;

    // USB state.
    LONG ChipType;  // a ChipVariant

    // Names.
    UNICODE_STRING DeviceName;
    UNICODE_STRING WmiPortName;
    UNICODE_STRING SymbolicLinkName;
    UNICODE_STRING DosName;
    UNICODE_STRING InterfaceName;
    ULONG SkipExternalNaming;
    BOOLEAN CreatedSymbolicLink;
    BOOLEAN CreatedSerialCommEntry;

    // Power.
    ULONG DevicePowerState;
    PIRP PendingSystemPower;  // the system set-power request waiting for its device request

    // Settings.
    KSPIN_LOCK ControlLock;
    KSPIN_LOCK RxLock;
    ULONG CurrentBaud;
    UCHAR LineCoding[7];  // wire layout: rate (LE u32), stop-bit code, parity code, data bits
    UCHAR LineControl;    // UART line-control register layout
    UCHAR ValidDataMask;
    UCHAR LastLineControl[3];
    ULONG MaxWriteChunk;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    ULONG RxBufferSize;
    ULONG RxEightyPercent;
    ULONG SettableBauds;
    LARGE_INTEGER ShortIntervalStep;
    LARGE_INTEGER LongIntervalStep;
    LARGE_INTEGER IntervalCutOver;
    UCHAR RxFifoTrigger;
    ULONG TxFifoDepth;
    BOOLEAN IsOpen;

    // WMI.
    SERIAL_WMI_COMM_DATA WmiCommData;
    SERIAL_WMI_HW_DATA WmiHwData;
    WMILIB_CONTEXT WmiLibContext;
    BOOLEAN WmiRegistered;

    // Timers.
    KTIMER ReadTotalTimer;
    KTIMER ReadIntervalTimer;
    KTIMER WriteTotalTimer;
    KTIMER ImmediateTotalTimer;
    KTIMER XoffCountTimer;
    KTIMER RtsDropTimer;

    // DPCs.
    KDPC CompleteWriteDpc;
    KDPC CompleteReadDpc;
    KDPC ReadTimeoutDpc;
    KDPC ReadIntervalTimeoutDpc;
    KDPC WriteTimeoutDpc;
    KDPC ErrorAbortDpc;
    KDPC CompleteImmediateDpc;
    KDPC ImmediateTimeoutDpc;
    KDPC CompleteWaitDpc;
    KDPC XoffCountTimeoutDpc;
    KDPC XoffCountDoneDpc;
    KDPC ArmRtsDropDpc;
    KDPC RtsDropDpc;
    // One for each DPC above (requests/deferred.cpp): who settles each counted run of it.
    CountedDpc CountedDpcs[PORT_COUNTED_DPCS];

    // ---- Receive ring and character processing (receive/) ----
    // ControlLock guards the ring's content (RxTakeSlot, RxRingCount); RxLock guards where PutChar
    // stores (RxTarget, RxPutSlot, RxTargetLast, RxDirectCount).
    // RxTarget is RxRingStart in ring mode, the current read's buffer in direct mode.
    PUCHAR RxRingStart;  // nonpaged, NULL while closed; RxBufferSize is its size
    ULONG RxRingCount;
    PUCHAR RxTakeSlot;
    PUCHAR RxTarget;
    PUCHAR RxPutSlot;
    PUCHAR RxTargetLast;
    ULONG RxDirectCount;          // stored into the current read since the read path last looked
    ULONG ReadNeeded;             // characters the current read still lacks (read path)
    PULONG MaskResultLocation;    // the armed wait's result word; taken only by atomic exchange
    // Which raw byte values the receive rules must take one at a time (RX_SPECIAL_* bits), for the
    // settings packed in RxSpecialKey (0: never built). Both under ControlLock, like the settings.
    UCHAR RxSpecial[256];
    ULONGLONG RxSpecialKey;

    // ---- Read requests and read time-outs (receive/read.cpp) ----
    // Timeouts is set by IOCTL_SERIAL_SET_TIMEOUTS under ControlLock; the read and write paths take
    // a copy under it. The rest describes the current read's interval check, under the cancel lock.
    SERIAL_TIMEOUTS Timeouts;
    LARGE_INTEGER ReadIntervalTime;    // ReadIntervalTimeout in 100 ns units
    PLARGE_INTEGER IntervalStepToUse;  // ShortIntervalStep, or LongIntervalStep from IntervalCutOver on
    LARGE_INTEGER LastReadTime;        // system time of the last check that saw new characters
    LONG ReadIntervalMark;             // characters seen at the last check, or how the read ended (< 0)

    // ---- Write path, immediate character, XOFF counter (requests/write*, immediate*, xoff*) ----
    // Under the cancel lock, except XoffCounter (interlocked: the receive path counts it down under
    // its own locks). WriteHeld (below) is the engine's hint, kept under ControlLock; WriteState is
    // the truth (its states and transitions: requests/write.cpp).
    LONG WriteLength;          // current write's bytes not yet confirmed, the chunk in flight included
    PUCHAR WriteCurrentChar;   // next byte to send
    ULONG InFlightChunk;       // size of the chunk in flight; 0 for none (or the time-out's empty transfer)
    UCHAR WriteState;
    LONG XoffCounter;          // characters still to receive for CurrentXoff

    // ---- USB configuration, chip identity and Plug and Play bring-up ----
    ULONG UsbConfigured;                             // set by the first identification, never cleared
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;         // 18 bytes, nonpaged, as read at the last start
    PUSBD_INTERFACE_INFORMATION FirstInterfaceInfo;  // nonpaged copies, pipe handles current
    PUSBD_INTERFACE_INFORMATION SecondInterfaceInfo; // two-interface layout only
    BOOLEAN SingleInterfaceLayout;                   // never cleared once set
    UCHAR RegisterShadow[3];                         // chip registers 0..2
    BOOLEAN CountedAsSerialPort;                     // holds one of the platform's SerialCount
    DEVICE_POWER_STATE DeviceStateMap[7];            // by system state, from the capabilities
    DEVICE_POWER_STATE DeviceWake;

    // ---- USB transfer engine ----
    // Each outstanding transfer sits in one slot from submission until its completion or a
    // canceller takes it out, by atomic exchange only.
    UsbTransfer *volatile TransferSlot[TRANSFER_SLOTS];
    UsbTransfer *ChunksToSend, *LastChunkToSend;  // write chunks to send in order, under the cancel lock
    BOOLEAN ChunkSenderActive;                     // a thread is sending them (under the cancel lock)
    LONG TransfersActive;   // submitted, completion routine not yet finished
    LONG BulkOutInFlight;
    LONG WriteGeneration;   // bumped when the write path gives up on the chunk in flight
    USHORT UartStatus;      // status word of the latest interrupt packet
    UCHAR TxXoffHeld;
    const TransferHandoffs *Handoffs;  // the receive, modem-status and write paths' entries

    // Shared with the transfer engine, owned by the paths that set them: OpenCount (open/close),
    // WriteHeld (write path), TxHoldReasons, RxHoldReasons and RtsDropPending (modem status and
    // flow control), EscapeChar (control), WaitMask and HistoryMask (wait-on-mask), PerfStats and
    // WmiPerfData (receive path).
    LONG OpenCount;
    BOOLEAN WriteHeld;
    ULONG TxHoldReasons;
    ULONG RxHoldReasons;
    LONG RtsDropPending;
    UCHAR EscapeChar;
    ULONG WaitMask;
    LONG HistoryMask;
    SERIALPERF_STATS PerfStats;
    SERIAL_WMI_PERF_DATA WmiPerfData;

    // ---- Modem control, break and handshake (control/) ----
    // ModemControlLock guards ModemControl and the three line-sender fields; it is innermost, so
    // the receive path may change a line under its own locks. Changes made above PASSIVE_LEVEL
    // reach the chip through LineStateDpc, one sender at a time, each sending the word as it then is.
    KSPIN_LOCK ModemControlLock;
    KDPC LineStateDpc;
    BOOLEAN LineSenderActive; // a LineStateDpc is sending; later changes leave LineStatePending
    BOOLEAN LineStatePending; // ModemControl changed since a sender last took it
    LONG LineAsyncSends;      // asynchronous SET_CONTROL_LINE_STATE requests sent, ever
    USHORT ModemControl;      // SET_CONTROL_LINE_STATE's wValue: bit 0 DTR, bit 1 RTS
    UCHAR ChipRtsFlowOn;      // the chip does RTS (receive) handshaking
    UCHAR ChipCtsFlowOn;      // CTS output handshake on: TX_HOLD_CTS follows CTS
    UCHAR ChipDsrFlowOn;      // DSR output handshake on: TX_HOLD_DSR follows DSR
    UCHAR TxIdle;

    // ---- Modem status and receive flow control (receive/) ----
    USHORT LastUartStatus;    // UartStatus at the last modem-status evaluation; kept across opens
    // The far end hears of receive holds from RxFlowDpc, which sends without the port's locks;
    // RxFlowState (under ControlLock) is what it was last told and whether bulk IN may resume.
    KDPC RxFlowDpc;
    UCHAR RxFlowState;
    // Transmit toggle: when the last character the chip has taken ends on the line (system time,
    // under ControlLock), estimated from each bulk OUT completion.
    LONGLONG TxLineFreeAt;

    // ---- Open, close and the internal serial requests (requests/open.cpp, requests/fileinfo.cpp) ----
    BOOLEAN WaitWakeEnabled;  // set by IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE; cleared at open and close
};

// A word another processor changes while this one reads it without the lock that orders its writers.
inline LONG ReadLong(LONG volatile *Value) { return InterlockedCompareExchange(Value, 0, 0); }
inline ULONG ReadUlong(ULONG volatile *Value) { return (ULONG)ReadLong((LONG volatile *)Value); }

// WaitMask changes under no lock while the event sources read it on other processors.
inline ULONG CurrentWaitMask(PortExtension *Port) { return ReadUlong(&Port->WaitMask); }

// PnpAcceptState changes under FlagsLock; admission and the transfer completions read it without.
inline ULONG CurrentAcceptState(PortExtension *Port) { return ReadUlong(&Port->PnpAcceptState); }

// Types 2 and up: divisor codes, extended rates, larger write chunks, chip-side flow control.
inline BOOLEAN IsNewerChip(const PortExtension *Port) { return Port->ChipType >= ChipType2; }

// Lock order: a thread that holds several of these took them in this order, outermost first.
// The emulator's verifier reports any acquisition against it.
#define DECLARE_PORT_LOCK_ORDER(Port) \
    DECLARE_LOCK_ORDER(&(Port)->ControlLock, CANCEL_SPIN_LOCK, &(Port)->RxLock, &(Port)->ModemControlLock)

// For routines the engine and the paths call with none of the port's locks held.
#define REQUIRE_NO_PORT_LOCK(Port)                                                                \
    (REQUIRE_LOCK_NOT_HELD(&(Port)->ControlLock), REQUIRE_CANCEL_LOCK_NOT_HELD(),                 \
     REQUIRE_LOCK_NOT_HELD(&(Port)->RxLock))

inline PortExtension *PortOf(PDEVICE_OBJECT device) {
    return static_cast<PortExtension *>(device->DeviceExtension);
}
