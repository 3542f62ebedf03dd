// The comm API as Windows builds it from the serial requests, against a stand-in port that keeps
// what each request carried and answers the GETs from what the SETs left.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/win32/comm.h"
#include "platform/host/ntddser.h"
#include "platform/kernel.h"
#include "tests/port/com_port.h"

namespace {

using namespace win32;
using port_test::ErrorOf;

struct Request { ULONG code; std::vector<UCHAR> in; };

struct FakePort {
    std::vector<Request> log;
    ULONG refuse = 0;  // a code answered with STATUS_INVALID_PARAMETER
    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0, 0, 0x7F, 0, 0x11, 0x13};
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 64, 64};
    SERIAL_STATUS status{};
    ULONG modemStatus = 0;
    ULONG mask = 0;
    ULONG configSize = 0;  // a configuration of the driver's own, answered by GET_COMMCONFIG
    SERIAL_COMMPROP props{};
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
    else if (code == IOCTL_SERIAL_SET_WAIT_MASK) status = Keep(port.mask, stack, buffer);
    else if (code == IOCTL_SERIAL_GET_WAIT_MASK) status = Give(port.mask, irp, stack);
    else if (code == IOCTL_SERIAL_GET_PROPERTIES) status = Give(port.props, irp, stack);
    else if (code == IOCTL_SERIAL_CONFIG_SIZE) status = Give(port.configSize, irp, stack);
    else if (code == IOCTL_SERIAL_GET_COMMCONFIG && port.configSize) {
        std::memset(buffer, 0xC5, port.configSize);
        irp->IoStatus.Information = port.configSize;
    } else if (code == IOCTL_SERIAL_GET_COMMCONFIG || code == IOCTL_SERIAL_SET_COMMCONFIG)
        status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

constexpr ULONG kFakeSerialTag = 0x53466B61;  // "akFS"
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
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) driver->MajorFunction[major] = Succeed;
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
        port.props.CurrentRxQueue = 1024;
        EXPECT_EQ(machine.service<emu::IoManager>().loadDriver(Entry, u"fakeserial", kFakeSerialTag, &driver), STATUS_SUCCESS);
        h = CreateFileA("\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        port.log.clear();
    }
    ~CommTest() override {
        CloseHandle(h);
        machine.service<emu::IoManager>().unloadDriver(driver);
    }
    // The requests that change something: the GETs a call makes first are its own business.
    std::vector<ULONG> SetCodes() const {
        static constexpr ULONG kReads[] = {IOCTL_SERIAL_GET_BAUD_RATE,  IOCTL_SERIAL_GET_LINE_CONTROL,
                                           IOCTL_SERIAL_GET_CHARS,      IOCTL_SERIAL_GET_HANDFLOW,
                                           IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_CONFIG_SIZE};
        std::vector<ULONG> codes;
        for (const Request &r : port.log)
            if (std::find(std::begin(kReads), std::end(kReads), r.code) == std::end(kReads)) codes.push_back(r.code);
        return codes;
    }

    emu::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(CommTest, DcbBecomesTheFourLineRequestsAndComesBack) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 115200, dcb.ByteSize = 7, dcb.Parity = EVENPARITY, dcb.StopBits = TWOSTOPBITS;
    dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutX = dcb.fTXContinueOnXoff = dcb.fNull = dcb.fAbortOnError = TRUE;
    dcb.XonLim = 100, dcb.XoffLim = 200, dcb.EvtChar = '\n';
    // Each DTR and RTS mode to its bits and back.
    const std::pair<DWORD, ULONG> dtr[] = {{DTR_CONTROL_DISABLE, 0}, {DTR_CONTROL_ENABLE, SERIAL_DTR_CONTROL},
                                           {DTR_CONTROL_HANDSHAKE, SERIAL_DTR_HANDSHAKE}, {DTR_CONTROL_HANDSHAKE, SERIAL_DTR_HANDSHAKE}};
    const ULONG rts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
    for (DWORD mode = 0; mode < 4; mode++) {
        dcb.fDtrControl = dtr[mode].first;
        dcb.fRtsControl = mode;
        port.log.clear();
        ASSERT_TRUE(SetCommState(h, &dcb)) << mode;
        // Lines under the application's control are set as the modes say, whatever happened to them before.
        std::vector<ULONG> codes{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                 IOCTL_SERIAL_SET_HANDFLOW};
        if (mode < 2) codes.push_back(mode ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR);
        if (mode < 2) codes.push_back(mode ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
        EXPECT_EQ(SetCodes(), codes) << mode;
        EXPECT_EQ(port.flow.ControlHandShake, dtr[mode].second | SERIAL_CTS_HANDSHAKE | SERIAL_ERROR_ABORT) << mode;
        EXPECT_EQ(port.flow.FlowReplace, rts[mode] | SERIAL_AUTO_TRANSMIT | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE);
        DCB back{};
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(std::memcmp(&back.BaudRate, &dcb.BaudRate, sizeof(DCB) - sizeof(DWORD)), 0) << mode;
    }
    EXPECT_EQ(port.baud.BaudRate, 115200u);
    EXPECT_EQ(std::vector<UCHAR>({port.line.WordLength, port.line.Parity, port.line.StopBits}),
              std::vector<UCHAR>({7, EVEN_PARITY, STOP_BITS_2}));
    EXPECT_EQ(port.chars.EventChar, '\n');
    EXPECT_EQ(port.chars.BreakChar, 0x7F) << "the break character is not in the DCB and is kept";
    EXPECT_EQ(std::pair(port.flow.XonLimit, port.flow.XoffLimit), (std::pair<LONG, LONG>(100, 200)));

    // A limit beyond a WORD reads as 0xFFFF and, left so, keeps its value.
    port.props.CurrentRxQueue = 200000;
    port.flow.XonLimit = 150000;
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.XonLim, 0xFFFF);
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(port.flow.XonLimit, 150000);
}

TEST_F(CommTest, InvalidDcbsAreRefusedWithNothingSent) {
    DCB good{};
    ASSERT_TRUE(GetCommState(h, &good));
    const struct Row { const char *name; std::function<void(DCB &)> change; bool valid; } rows[] = {
        {"4 data bits", [](DCB &d) { d.ByteSize = 4; }, false},
        {"9 data bits", [](DCB &d) { d.ByteSize = 9; }, false},
        {"parity 5", [](DCB &d) { d.Parity = 5; }, false},
        {"stop bits 3", [](DCB &d) { d.StopBits = 3; }, false},
        {"5 data bits, 2 stop bits", [](DCB &d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }, false},
        {"6 data bits, 1.5 stop bits", [](DCB &d) { d.ByteSize = 6, d.StopBits = ONE5STOPBITS; }, false},
        {"5 data bits, 1.5 stop bits", [](DCB &d) { d.ByteSize = 5, d.StopBits = ONE5STOPBITS; }, true},
        {"8 data bits, 2 stop bits, space", [](DCB &d) { d.StopBits = TWOSTOPBITS, d.Parity = SPACEPARITY; }, true},
        {"XON = XOFF without XON/XOFF", [](DCB &d) { d.XonChar = d.XoffChar = 0; }, false},
        {"XON = XOFF with XON/XOFF", [](DCB &d) { d.fInX = TRUE, d.XoffChar = d.XonChar; }, false},
        {"DTR control 3", [](DCB &d) { d.fDtrControl = 3; }, false},
        {"XonLim beyond the queue", [](DCB &d) { d.XonLim = 1025; }, false},
        {"XoffLim beyond the queue", [](DCB &d) { d.XoffLim = 1025; }, false},
        {"limits at the queue", [](DCB &d) { d.XonLim = d.XoffLim = 1024; }, true},
    };
    for (const Row &row : rows) {
        DCB dcb = good;
        row.change(dcb);
        port.log.clear();
        SetLastError(0);
        EXPECT_EQ(SetCommState(h, &dcb), row.valid) << row.name;
        EXPECT_EQ(GetLastError(), row.valid ? 0u : ERROR_INVALID_PARAMETER) << row.name;
        EXPECT_TRUE(row.valid || SetCodes().empty()) << row.name << ": nothing may be sent";
    }

    // Refused by the port: what went before is set back.
    ASSERT_TRUE(SetCommState(h, &good));
    DCB dcb = good;
    dcb.BaudRate = 57600;
    port.refuse = IOCTL_SERIAL_SET_HANDFLOW;
    EXPECT_EQ(ErrorOf(SetCommState(h, &dcb)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.baud.BaudRate, good.BaudRate);
}

// Each call's requests, with what the last one carried.
TEST_F(CommTest, CallsCarryTheirRequests) {
    const struct Row {
        const char *name;
        std::function<BOOL()> call;
        std::vector<ULONG> codes;
        std::vector<UCHAR> in;  // of the last request, when given
    } rows[] = {
        {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR | EV_CTS | EV_RX80FULL); }, {IOCTL_SERIAL_SET_WAIT_MASK}, {0x09, 0x04, 0, 0}},
        {"SETXOFF", [&] { return EscapeCommFunction(h, SETXOFF); }, {IOCTL_SERIAL_SET_XOFF}, {}},
        {"SETXON", [&] { return EscapeCommFunction(h, SETXON); }, {IOCTL_SERIAL_SET_XON}, {}},
        {"SETRTS", [&] { return EscapeCommFunction(h, SETRTS); }, {IOCTL_SERIAL_SET_RTS}, {}},
        {"CLRRTS", [&] { return EscapeCommFunction(h, CLRRTS); }, {IOCTL_SERIAL_CLR_RTS}, {}},
        {"SETDTR", [&] { return EscapeCommFunction(h, SETDTR); }, {IOCTL_SERIAL_SET_DTR}, {}},
        {"CLRDTR", [&] { return EscapeCommFunction(h, CLRDTR); }, {IOCTL_SERIAL_CLR_DTR}, {}},
        {"RESETDEV", [&] { return EscapeCommFunction(h, RESETDEV); }, {IOCTL_SERIAL_RESET_DEVICE}, {}},
        {"SETBREAK", [&] { return EscapeCommFunction(h, SETBREAK); }, {IOCTL_SERIAL_SET_BREAK_ON}, {}},
        {"CLRBREAK", [&] { return EscapeCommFunction(h, CLRBREAK); }, {IOCTL_SERIAL_SET_BREAK_OFF}, {}},
        {"escape 0", [&] { return EscapeCommFunction(h, 0); }, {}, {}},
        {"escape 10", [&] { return EscapeCommFunction(h, 10); }, {}, {}},
        {"TransmitCommChar", [&] { return TransmitCommChar(h, 'A'); }, {IOCTL_SERIAL_IMMEDIATE_CHAR}, {'A'}},
        {"SetupComm", [&] { return SetupComm(h, 4096, 512); }, {IOCTL_SERIAL_SET_QUEUE_SIZE}, {0, 16, 0, 0, 0, 2, 0, 0}},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_TXABORT | PURGE_RXCLEAR); }, {IOCTL_SERIAL_PURGE}, {9, 0, 0, 0}},
        {"SetCommConfig", [&] {
             COMMCONFIG cc{};
             GetCommState(h, &cc.dcb);
             cc.dcb.BaudRate = 1200;
             return SetCommConfig(h, &cc, sizeof cc);
         }, {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW,
             IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS}, {}},
    };
    for (const Row &row : rows) {
        port.log.clear();
        SetLastError(0);
        EXPECT_EQ(row.call(), !row.codes.empty()) << row.name;
        EXPECT_EQ(GetLastError(), row.codes.empty() ? ERROR_INVALID_PARAMETER : 0u) << row.name;
        EXPECT_EQ(SetCodes(), row.codes) << row.name;
        if (!row.in.empty() && !port.log.empty()) { EXPECT_EQ(port.log.back().in, row.in) << row.name; }
    }
    EXPECT_EQ(port.baud.BaudRate, 1200u);
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, EV_RXCHAR | EV_CTS | EV_RX80FULL);
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
    EXPECT_EQ(std::pair(stat.cbInQue, stat.cbOutQue), (std::pair<DWORD, DWORD>(17, 9)));
    DWORD lines = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &lines));
    EXPECT_EQ(lines, MS_CTS_ON | MS_RLSD_ON | SERIAL_MSR_DCTS) << "the driver's value as it gave it";
    EXPECT_EQ(ErrorOf(GetCommModemStatus(h, nullptr)), ERROR_NOACCESS);
}

TEST_F(CommTest, ConfigurationIsBuiltRoundTheDcbUnlessTheDriverKeepsOne) {
    COMMCONFIG cc{};
    DWORD size = sizeof(cc) - 1;
    EXPECT_EQ(ErrorOf(GetCommConfig(h, &cc, &size)), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, sizeof(COMMCONFIG));
    ASSERT_TRUE(GetCommConfig(h, &cc, &size));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(std::memcmp(&cc.dcb, &dcb, sizeof dcb), 0);
    EXPECT_EQ(std::vector<DWORD>({cc.dwSize, cc.wVersion, cc.dwProviderSubType}),
              std::vector<DWORD>({sizeof(COMMCONFIG), 1, PST_RS232}));
    EXPECT_EQ(cc.dwProviderOffset | cc.dwProviderSize, 0u);
    EXPECT_EQ(ErrorOf(SetCommConfig(h, &cc, sizeof(cc) - 1)), ERROR_INVALID_PARAMETER);

    port.configSize = 60;
    unsigned char own[64] = {};
    size = sizeof own;
    ASSERT_TRUE(GetCommConfig(h, reinterpret_cast<LPCOMMCONFIG>(own), &size));
    EXPECT_EQ(std::tuple(size, own[59]), std::tuple(60u, 0xC5));
    EXPECT_FALSE(SetCommConfig(h, &cc, sizeof cc)) << "the driver refuses its SET_COMMCONFIG";

    size = sizeof cc;
    ASSERT_TRUE(GetDefaultCommConfig("COM9", &cc, &size));
    EXPECT_EQ(std::vector<DWORD>({cc.dcb.BaudRate, cc.dcb.ByteSize, cc.dcb.Parity, cc.dcb.StopBits, cc.dcb.fRtsControl}),
              std::vector<DWORD>({9600, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_ENABLE}));
    EXPECT_EQ(ErrorOf(GetDefaultCommConfigW(u"COM7", &cc, &size)), ERROR_FILE_NOT_FOUND);
}

TEST_F(CommTest, BuildCommDcbParsesBothModeFormsAndRefusesTheRest) {
    DCB base{};
    base.BaudRate = 1234, base.ByteSize = 7, base.Parity = ODDPARITY, base.StopBits = ONE5STOPBITS;
    base.fInX = base.fOutX = base.fOutxCtsFlow = base.fOutxDsrFlow = base.fDsrSensitivity = TRUE;
    base.fDtrControl = DTR_CONTROL_HANDSHAKE, base.fRtsControl = RTS_CONTROL_TOGGLE;
    base.XonChar = 0x11, base.XoffChar = 0x13;
    constexpr int E = DTR_CONTROL_ENABLE, H = DTR_CONTROL_HANDSHAKE, T = RTS_CONTROL_TOGGLE;
    const struct Row { const char *def; DWORD baud; int parity, data, stop, xon, cts, dsr, dtr, rts, idsr; } rows[] = {
        {"baud=9600 parity=n data=8 stop=1", 9600, NOPARITY, 8, ONESTOPBIT, 0, 0, 0, E, E, 1},
        {"COM1: BAUD=12 parity=E data=5 stop=1.5 xon=on odsr=on octs=on dtr=hs rts=tg idsr=off", 1200, EVENPARITY,
         5, ONE5STOPBITS, 1, 1, 1, H, T, 0},
        {"com3 baud=115200 dtr=off rts=hs", 115200, ODDPARITY, 7, ONE5STOPBITS, 0, 0, 0, 0, RTS_CONTROL_HANDSHAKE, 1},
        {"baud=110", 110, ODDPARITY, 7, TWOSTOPBITS, 0, 0, 0, E, E, 1},
        {"96,n,8,1", 9600, NOPARITY, 8, ONESTOPBIT, 0, 0, 0, E, E, 1},
        {"COM1: 19,m,6,2,x", 19200, MARKPARITY, 6, TWOSTOPBITS, 1, 0, 0, E, E, 1},
        {"com12:4800 , s , 8 , 1 , p", 4800, SPACEPARITY, 8, ONESTOPBIT, 0, 1, 1, H, RTS_CONTROL_HANDSHAKE, 1},
        {"11,,8,1", 110, ODDPARITY, 8, ONESTOPBIT, 0, 0, 0, E, E, 1},
    };
    for (const Row &row : rows) {
        DCB d = base;
        ASSERT_TRUE(BuildCommDCBA(row.def, &d)) << row.def;
        const int got[] = {int(d.Parity), d.ByteSize, d.StopBits, int(d.fInX), int(d.fOutxCtsFlow),
                           int(d.fOutxDsrFlow), int(d.fDtrControl), int(d.fRtsControl), int(d.fDsrSensitivity)};
        const int want[] = {row.parity, row.data, row.stop, row.xon, row.cts, row.dsr, row.dtr, row.rts, row.idsr};
        EXPECT_EQ(d.BaudRate, row.baud) << row.def;
        EXPECT_TRUE(std::equal(std::begin(got), std::end(got), std::begin(want))) << row.def;
        EXPECT_EQ(d.fOutX, d.fInX) << row.def;
        EXPECT_EQ(d.XonChar, 0x11) << row.def;
    }
    const char *refused[] = {"",           "COM1:",        "baud=",         "baud=9600,n",  "96,n,8,1,q",
                             "parity=x",   "data=9",       "stop=3",        "xon=maybe",    "speed=9600",
                             "96,n,8,1,x,y", "baud=0",     "96 n 8 1",      "dtr=tg",       "baud=96k"};
    for (const char *def : refused) {
        DCB d = base;
        SetLastError(0);
        EXPECT_EQ(ErrorOf(BuildCommDCBA(def, &d)), ERROR_INVALID_PARAMETER) << def;
        EXPECT_EQ(std::memcmp(&d, &base, sizeof d), 0) << def << ": changed";
    }

    COMMTIMEOUTS t{1, 2, 3, 4, 5};
    DCB d = base;
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(u"96,n,8,1", &d, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 1u) << "no \"to\": the time-outs stay";
    ASSERT_TRUE(BuildCommDCBAndTimeouts("baud=9600 to=on", &d, &t));
    EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
              std::vector<DWORD>({0, 0, 0, 0, 60000}));
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("to=off", &d, &t));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    EXPECT_FALSE(BuildCommDCBW(u"baud=96\u00e9", &d));
}

}  // namespace
