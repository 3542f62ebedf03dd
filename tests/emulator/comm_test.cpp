// The comm API as Windows builds it from the serial requests, against a stand-in port that keeps
// what each request carried and answers the GETs from what the SETs left.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/win32/comm.h"
#include "platform/host/ntddser.h"
#include "platform/kernel.h"

namespace {

using namespace win32;

struct Request {
    ULONG code;
    std::vector<UCHAR> in;
};

struct FakePort {
    std::vector<Request> log;
    ULONG refuse = 0;  // a code answered with STATUS_INVALID_PARAMETER
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0, 0, 0x7F, 0, 0x11, 0x13};
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 64, 64};
    SERIAL_STATUS status{};
    ULONG modemStatus = 0;
} port;

template <class T>
NTSTATUS Keep(T &field, PIO_STACK_LOCATION stack, PVOID buffer) {
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(&field, buffer, sizeof(T));
    return STATUS_SUCCESS;
}

template <class T>
NTSTATUS Give(const T &field, PIRP irp, PIO_STACK_LOCATION stack) {
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &field, sizeof(T));
    irp->IoStatus.Information = sizeof(T);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    const auto *in = static_cast<const UCHAR *>(buffer);
    port.log.push_back({code, std::vector<UCHAR>(in, in + stack->Parameters.DeviceIoControl.InputBufferLength)});
    irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (code == port.refuse) status = STATUS_INVALID_PARAMETER;
    else if (code == IOCTL_SERIAL_SET_BAUD_RATE) status = Keep(port.baud, stack, buffer);
    else if (code == IOCTL_SERIAL_SET_LINE_CONTROL) status = Keep(port.line, stack, buffer);
    else if (code == IOCTL_SERIAL_SET_CHARS) status = Keep(port.chars, stack, buffer);
    else if (code == IOCTL_SERIAL_SET_HANDFLOW) status = Keep(port.flow, stack, buffer);
    else if (code == IOCTL_SERIAL_GET_BAUD_RATE) status = Give(port.baud, irp, stack);
    else if (code == IOCTL_SERIAL_GET_LINE_CONTROL) status = Give(port.line, irp, stack);
    else if (code == IOCTL_SERIAL_GET_CHARS) status = Give(port.chars, irp, stack);
    else if (code == IOCTL_SERIAL_GET_HANDFLOW) status = Give(port.flow, irp, stack);
    else if (code == IOCTL_SERIAL_GET_COMMSTATUS) status = Give(port.status, irp, stack);
    else if (code == IOCTL_SERIAL_GET_MODEMSTATUS) status = Give(port.modemStatus, irp, stack);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

constexpr ULONG kTag = 0x53466B61;  // "akFS"
const WCHAR kDeviceName[] = PLATFORM_WIDE("\\Device\\FakeSerial0");
const WCHAR kLinkName[] = PLATFORM_WIDE("\\DosDevices\\COM9");

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kDeviceName);
    RtlInitUnicodeString(&link, kLinkName);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoCreateSymbolicLink(&link, &name);
    driver->MajorFunction[IRP_MJ_CREATE] = Succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = Succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->DriverUnload = Unload;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

class CommTest : public ::testing::Test {
protected:
    CommTest() {
        port = FakePort{};
        EXPECT_EQ(machine.service<emu::IoManager>().loadDriver(Entry, u"fakeserial", kTag, &driver), STATUS_SUCCESS);
        h = CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        port.log.clear();
    }
    ~CommTest() override {
        CloseHandle(h);
        machine.service<emu::IoManager>().unloadDriver(driver);
    }
    std::vector<ULONG> Codes() const {
        std::vector<ULONG> codes;
        for (const Request &r : port.log) codes.push_back(r.code);
        return codes;
    }
    template <class T>
    static T As(const Request &r) {
        T value{};
        EXPECT_EQ(r.in.size(), sizeof(T));
        std::memcpy(&value, r.in.data(), std::min(sizeof(T), r.in.size()));
        return value;
    }

    emu::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(CommTest, DcbBecomesTheFourLineRequestsAndComesBack) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);

    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.fParity = TRUE;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutX = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fNull = TRUE;
    dcb.fAbortOnError = TRUE;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.EvtChar = '\n';
    port.log.clear();
    ASSERT_TRUE(SetCommState(h, &dcb));

    const std::vector<ULONG> codes = Codes();
    ASSERT_GE(codes.size(), 4u);
    const std::vector<ULONG> sets(codes.end() - 4, codes.end());
    EXPECT_EQ(sets, (std::vector<ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                        IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW}));
    EXPECT_EQ(port.baud.BaudRate, 115200u);
    EXPECT_EQ(port.line.WordLength, 7);
    EXPECT_EQ(port.line.Parity, EVEN_PARITY);
    EXPECT_EQ(port.line.StopBits, STOP_BITS_2);
    EXPECT_EQ(port.chars.EventChar, '\n');
    EXPECT_EQ(port.chars.BreakChar, 0x7F) << "the break character is not in the DCB and is kept";
    EXPECT_EQ(port.flow.ControlHandShake, ULONG(SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT));
    EXPECT_EQ(port.flow.FlowReplace,
              ULONG(SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_TRANSMIT | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE));
    EXPECT_EQ(port.flow.XonLimit, 100);
    EXPECT_EQ(port.flow.XoffLimit, 200);

    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(std::memcmp(&back.BaudRate, &dcb.BaudRate, sizeof(DCB) - sizeof(DWORD)), 0);
}

TEST_F(CommTest, RefusedLineRequestLeavesThePreviousStateAndItsError) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 57600;
    port.refuse = IOCTL_SERIAL_SET_HANDFLOW;
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.baud.BaudRate, 9600u);

    dcb.fOutX = TRUE;
    dcb.XonChar = dcb.XoffChar = 0x11;
    port.log.clear();
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(port.log.empty()) << "equal XON and XOFF characters never reach the driver";
}

// Time-outs, queue sizes, purges and the immediate character are shown by their effect on the port.
TEST_F(CommTest, MaskAndEscapesCarryTheirRequests) {
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS));
    ASSERT_TRUE(EscapeCommFunction(h, SETBREAK));
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    ASSERT_EQ(port.log.size(), 3u);
    EXPECT_EQ(port.log[0].code, ULONG(IOCTL_SERIAL_SET_WAIT_MASK));
    EXPECT_EQ(As<ULONG>(port.log[0]), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
    EXPECT_EQ(port.log[1].code, ULONG(IOCTL_SERIAL_SET_BREAK_ON));
    EXPECT_EQ(port.log[2].code, ULONG(IOCTL_SERIAL_CLR_DTR));
    EXPECT_FALSE(EscapeCommFunction(h, 7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.log.size(), 3u);
}

TEST_F(CommTest, StatusAndModemLinesAreTranslated) {
    port.status = {SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_FRAMING | SERIAL_ERROR_BREAK,
                   SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_XOFF_SENT, 17, 9, TRUE, FALSE};
    port.modemStatus = SERIAL_MSR_CTS | SERIAL_MSR_DCD | SERIAL_MSR_DCTS;
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, CE_RXOVER | CE_FRAME | CE_BREAK);
    EXPECT_TRUE(stat.fCtsHold && stat.fXoffSent && stat.fEof);
    EXPECT_FALSE(stat.fDsrHold || stat.fXoffHold || stat.fTxim);
    EXPECT_EQ(stat.cbInQue, 17u);
    EXPECT_EQ(stat.cbOutQue, 9u);
    DWORD lines = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &lines));
    EXPECT_EQ(lines, MS_CTS_ON | MS_RLSD_ON) << "the delta bits are not modem status";
}

}  // namespace
