// The Win32 comm API over DeviceIoControl, built from the serial IOCTLs the way Windows builds
// each call, so that application code written for Windows serial ports reads the same here.
#pragma once

#include "emulator/win32/win32.h"

namespace win32 {

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;
static_assert(sizeof(DCB) == 28, "DCB has its published size");

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

typedef struct _COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WCHAR wcProviderData[1];
} COMMCONFIG, *LPCOMMCONFIG;
static_assert(sizeof(COMMCONFIG) == 52 && sizeof(COMMPROP) == 64 && sizeof(COMSTAT) == 12,
              "COMMCONFIG, COMMPROP and COMSTAT have their published sizes");

// DCB.Parity, DCB.StopBits
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
// DCB.fDtrControl, DCB.fRtsControl
constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2, RTS_CONTROL_TOGGLE = 3;
// DCB.BaudRate
constexpr DWORD CBR_110 = 110, CBR_300 = 300, CBR_600 = 600, CBR_1200 = 1200, CBR_2400 = 2400, CBR_4800 = 4800,
                CBR_9600 = 9600, CBR_14400 = 14400, CBR_19200 = 19200, CBR_38400 = 38400, CBR_56000 = 56000,
                CBR_57600 = 57600, CBR_115200 = 115200, CBR_128000 = 128000, CBR_256000 = 256000;
// PurgeComm
constexpr DWORD PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004, PURGE_RXCLEAR = 0x0008;
// ClearCommError errors
constexpr DWORD CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008, CE_BREAK = 0x0010,
                CE_TXFULL = 0x0100, CE_PTO = 0x0200, CE_IOE = 0x0400, CE_DNS = 0x0800, CE_OOP = 0x1000,
                CE_MODE = 0x8000;
// EscapeCommFunction
constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, RESETDEV = 7, SETBREAK = 8,
                CLRBREAK = 9;
// GetCommModemStatus
constexpr DWORD MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;
// SetCommMask / WaitCommEvent
constexpr DWORD EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008, EV_DSR = 0x0010,
                EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100, EV_PERR = 0x0200,
                EV_RX80FULL = 0x0400, EV_EVENT1 = 0x0800, EV_EVENT2 = 0x1000;
// COMMPROP
constexpr DWORD COMMPROP_INITIALIZED = 0xE73CF52E, SP_SERIALCOMM = 0x00000001;
constexpr DWORD PST_UNSPECIFIED = 0x0000, PST_RS232 = 0x0001, PST_PARALLELPORT = 0x0002, PST_RS422 = 0x0003,
                PST_RS423 = 0x0004, PST_RS449 = 0x0005, PST_MODEM = 0x0006, PST_FAX = 0x0021, PST_SCANNER = 0x0022,
                PST_NETWORK_BRIDGE = 0x0100, PST_LAT = 0x0101, PST_TCPIP_TELNET = 0x0102, PST_X25 = 0x0103;
constexpr DWORD PCF_DTRDSR = 0x0001, PCF_RTSCTS = 0x0002, PCF_RLSD = 0x0004, PCF_PARITY_CHECK = 0x0008,
                PCF_XONXOFF = 0x0010, PCF_SETXCHAR = 0x0020, PCF_TOTALTIMEOUTS = 0x0040, PCF_INTTIMEOUTS = 0x0080,
                PCF_SPECIALCHARS = 0x0100, PCF_16BITMODE = 0x0200;
constexpr DWORD SP_PARITY = 0x0001, SP_BAUD = 0x0002, SP_DATABITS = 0x0004, SP_STOPBITS = 0x0008,
                SP_HANDSHAKING = 0x0010, SP_PARITY_CHECK = 0x0020, SP_RLSD = 0x0040;
constexpr DWORD BAUD_075 = 0x00000001, BAUD_110 = 0x00000002, BAUD_134_5 = 0x00000004, BAUD_150 = 0x00000008,
                BAUD_300 = 0x00000010, BAUD_600 = 0x00000020, BAUD_1200 = 0x00000040, BAUD_1800 = 0x00000080,
                BAUD_2400 = 0x00000100, BAUD_4800 = 0x00000200, BAUD_7200 = 0x00000400, BAUD_9600 = 0x00000800,
                BAUD_14400 = 0x00001000, BAUD_19200 = 0x00002000, BAUD_38400 = 0x00004000, BAUD_56K = 0x00008000,
                BAUD_128K = 0x00010000, BAUD_115200 = 0x00020000, BAUD_57600 = 0x00040000, BAUD_USER = 0x10000000;
constexpr WORD DATABITS_5 = 0x0001, DATABITS_6 = 0x0002, DATABITS_7 = 0x0004, DATABITS_8 = 0x0008,
               DATABITS_16 = 0x0010, DATABITS_16X = 0x0020;
constexpr WORD STOPBITS_10 = 0x0001, STOPBITS_15 = 0x0002, STOPBITS_20 = 0x0004, PARITY_NONE = 0x0100,
               PARITY_ODD = 0x0200, PARITY_EVEN = 0x0400, PARITY_MARK = 0x0800, PARITY_SPACE = 0x1000;

// Invalid settings are refused with ERROR_INVALID_PARAMETER before any of them reaches the port:
// ByteSize outside 5..8, Parity above 4, StopBits above 2, 5 data bits with 2 stop bits or 6..8
// with 1.5, XonChar equal to XoffChar, fDtrControl 3, XonLim or XoffLim above the receive queue.
// A refusal by the port restores the previous settings.
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
// The mode command's forms: "COMx: baud=9600 parity=n data=8 stop=1 to=on xon=on odsr=on octs=on
// dtr=on|off|hs rts=on|off|hs|tg idsr=on" and "COMx: 96,n,8,1[,x|p]". Only what the string names
// changes, except that flow control is off unless named (DTR and RTS on), and 110 baud takes 2
// stop bits unless stop is named. A string that does not parse changes nothing
// (ERROR_INVALID_PARAMETER). "to=on" sets a 60 s write total time-out, "to=off" no time-outs;
// without "to" the COMMTIMEOUTS are left alone.
BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);
BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB);
BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts);
// The names without A or W are the ANSI calls, as windows.h has them without UNICODE.
inline BOOL BuildCommDCB(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBA(lpDef, lpDCB); }
inline BOOL BuildCommDCBAndTimeouts(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, lpCommTimeouts);
}
// A driver that reports no configuration of its own (IOCTL_SERIAL_CONFIG_SIZE 0) gets a
// COMMCONFIG built round its DCB; *lpdwSize says the size needed when the buffer is too small
// (ERROR_INSUFFICIENT_BUFFER).
BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize);
// A COM port's defaults: 9600 baud, 8 data bits, no parity, one stop bit, no flow control.
BOOL GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
inline BOOL GetDefaultCommConfig(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    return GetDefaultCommConfigA(lpszName, lpCC, lpdwSize);
}
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL TransmitCommChar(HANDLE hFile, char cChar);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);
// The driver's modem status as it reports it.
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
// Synchronous on a handle without FILE_FLAG_OVERLAPPED; with an OVERLAPPED, *lpEvtMask is written
// when the wait completes.
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);

}  // namespace win32
