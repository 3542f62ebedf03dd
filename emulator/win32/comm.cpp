#include "emulator/win32/comm.h"

#include <algorithm>

#include "emulator/win32/internal.h"
#include "platform/host/ntddser.h"

namespace win32 {

namespace {

BOOL Ioctl(HANDLE h, DWORD code, const void *in = nullptr, DWORD inSize = 0, void *out = nullptr,
           DWORD outSize = 0, LPOVERLAPPED overlapped = nullptr) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void *>(in), inSize, out, outSize, &returned, overlapped);
}

template <class T>
BOOL Set(HANDLE h, DWORD code, const T &value) { return Ioctl(h, code, &value, sizeof(T)); }
template <class T>
BOOL Get(HANDLE h, DWORD code, T &value) { return Ioctl(h, code, nullptr, 0, &value, sizeof(T)); }

struct LineState {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW flow{};
};

BOOL GetLine(HANDLE h, LineState &s) {
    return Get(h, IOCTL_SERIAL_GET_BAUD_RATE, s.baud) && Get(h, IOCTL_SERIAL_GET_LINE_CONTROL, s.line) &&
           Get(h, IOCTL_SERIAL_GET_CHARS, s.chars) && Get(h, IOCTL_SERIAL_GET_HANDFLOW, s.flow);
}

BOOL SetLine(HANDLE h, const LineState &s) {
    return Set(h, IOCTL_SERIAL_SET_BAUD_RATE, s.baud) && Set(h, IOCTL_SERIAL_SET_LINE_CONTROL, s.line) &&
           Set(h, IOCTL_SERIAL_SET_CHARS, s.chars) && Set(h, IOCTL_SERIAL_SET_HANDFLOW, s.flow);
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The DCB as the driver's SERIAL_HANDFLOW words carry it; limits are the caller's.
SERIAL_HANDFLOW HandFlow(const DCB &dcb) {
    static constexpr ULONG kDtr[] = {0, SERIAL_DTR_CONTROL, SERIAL_DTR_HANDSHAKE, 0};
    static constexpr ULONG kRts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
    ULONG hs = kDtr[dcb.fDtrControl], fr = kRts[dcb.fRtsControl];
    if (dcb.fOutxCtsFlow) hs |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) hs |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) hs |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) hs |= SERIAL_ERROR_ABORT;
    if (dcb.fOutX) fr |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) fr |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) fr |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) fr |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) fr |= SERIAL_XOFF_CONTINUE;
    return {hs, fr, dcb.XonLim, dcb.XoffLim};
}

// What no port takes, whatever it is.
bool ValidDcb(const DCB &dcb) {
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
    if (dcb.ByteSize == 5 ? dcb.StopBits == TWOSTOPBITS : dcb.StopBits == ONE5STOPBITS) return false;
    return dcb.XonChar != dcb.XoffChar && dcb.fDtrControl != 3;
}

// A WORD limit as GetCommState gave it for a larger one keeps the larger one.
LONG Limit(WORD asked, LONG old) { return asked == std::clamp<LONG>(old, 0, 0xFFFF) ? old : asked; }

}  // namespace

BOOL GetCommState(HANDLE hFile, LPDCB dcb) {
    if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
    LineState s;
    if (!GetLine(hFile, s)) return FALSE;
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->fParity = s.line.Parity != NO_PARITY;
    dcb->fBinary = TRUE;

    const ULONG hs = s.flow.ControlHandShake, fr = s.flow.FlowReplace;
    dcb->fOutxCtsFlow = (hs & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (hs & SERIAL_DSR_HANDSHAKE) != 0;
    static constexpr DWORD kDtr[] = {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE, DTR_CONTROL_DISABLE};
    dcb->fDtrControl = kDtr[hs & SERIAL_DTR_MASK];
    dcb->fDsrSensitivity = (hs & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (hs & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (fr & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (fr & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (fr & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (fr & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (fr & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (fr & SERIAL_RTS_MASK) >> 6;  // RTS_CONTROL_* in the same order
    dcb->XonLim = static_cast<WORD>(std::clamp<LONG>(s.flow.XonLimit, 0, 0xFFFF));
    dcb->XoffLim = static_cast<WORD>(std::clamp<LONG>(s.flow.XoffLimit, 0, 0xFFFF));
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
    return TRUE;
}

static BOOL SetLinesOfModes(HANDLE h, const DCB &dcb) {
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE && !Ioctl(h, IOCTL_SERIAL_SET_DTR)) return FALSE;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE && !Ioctl(h, IOCTL_SERIAL_CLR_DTR)) return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE && !Ioctl(h, IOCTL_SERIAL_SET_RTS)) return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE && !Ioctl(h, IOCTL_SERIAL_CLR_RTS)) return FALSE;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB dcb) {
    if (!dcb || !ValidDcb(*dcb)) return Fail(ERROR_INVALID_PARAMETER);
    // The previous state comes back when a later step is refused, so a failed call changes nothing.
    LineState old;
    SERIAL_COMMPROP props{};
    if (!GetLine(hFile, old) || !Get(hFile, IOCTL_SERIAL_GET_PROPERTIES, props)) return FALSE;

    LineState s = old;
    s.baud.BaudRate = dcb->BaudRate;
    s.line = {dcb->StopBits, dcb->Parity, dcb->ByteSize};
    s.chars.XonChar = static_cast<UCHAR>(dcb->XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb->XoffChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb->ErrorChar);
    s.chars.EofChar = static_cast<UCHAR>(dcb->EofChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb->EvtChar);
    s.flow = HandFlow(*dcb);
    s.flow.XonLimit = Limit(dcb->XonLim, old.flow.XonLimit);
    s.flow.XoffLimit = Limit(dcb->XoffLim, old.flow.XoffLimit);
    const int64_t queue = props.CurrentRxQueue;
    if (queue && (s.flow.XonLimit > queue || s.flow.XoffLimit > queue)) return Fail(ERROR_INVALID_PARAMETER);

    // The handshake request changes a line only when its mode changes; a line the application
    // set or cleared by hand since then is brought back to what the DCB asks for.
    if (SetLine(hFile, s) && SetLinesOfModes(hFile, *dcb)) return TRUE;
    const DWORD error = GetLastError();
    SetLine(hFile, old);
    SetLastError(error);
    return FALSE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS t) {
    SERIAL_TIMEOUTS st{};
    if (!Get(hFile, IOCTL_SERIAL_GET_TIMEOUTS, st)) return FALSE;
    *t = {st.ReadIntervalTimeout, st.ReadTotalTimeoutMultiplier, st.ReadTotalTimeoutConstant,
          st.WriteTotalTimeoutMultiplier, st.WriteTotalTimeoutConstant};
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS t) {
    const SERIAL_TIMEOUTS st{t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
                             t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant};
    return Set(hFile, IOCTL_SERIAL_SET_TIMEOUTS, st);
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    return Set(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{dwInQueue, dwOutQueue});
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    const ULONG mask = dwFlags;  // PURGE_* and SERIAL_PURGE_* share their values
    return Set(hFile, IOCTL_SERIAL_PURGE, mask);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS st{};
    if (!Get(hFile, IOCTL_SERIAL_GET_COMMSTATUS, st)) return FALSE;
    if (lpErrors) {
        DWORD e = 0;
        if (st.Errors & SERIAL_ERROR_QUEUEOVERRUN) e |= CE_RXOVER;
        if (st.Errors & SERIAL_ERROR_OVERRUN) e |= CE_OVERRUN;
        if (st.Errors & SERIAL_ERROR_PARITY) e |= CE_RXPARITY;
        if (st.Errors & SERIAL_ERROR_FRAMING) e |= CE_FRAME;
        if (st.Errors & SERIAL_ERROR_BREAK) e |= CE_BREAK;
        *lpErrors = e;
    }
    if (lpStat) {
        *lpStat = COMSTAT{};
        lpStat->fCtsHold = (st.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (st.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (st.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (st.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (st.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = st.EofReceived != 0;
        lpStat->fTxim = st.WaitForImmediate != 0;
        lpStat->cbInQue = st.AmountInInQueue;
        lpStat->cbOutQue = st.AmountInOutQueue;
    }
    return TRUE;
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));
    return Ioctl(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

BOOL TransmitCommChar(HANDLE hFile, char cChar) {
    const UCHAR c = static_cast<UCHAR>(cChar);
    return Set(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, c);
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    static constexpr DWORD kCodes[] = {0,
                                       IOCTL_SERIAL_SET_XOFF,
                                       IOCTL_SERIAL_SET_XON,
                                       IOCTL_SERIAL_SET_RTS,
                                       IOCTL_SERIAL_CLR_RTS,
                                       IOCTL_SERIAL_SET_DTR,
                                       IOCTL_SERIAL_CLR_DTR,
                                       IOCTL_SERIAL_RESET_DEVICE,
                                       IOCTL_SERIAL_SET_BREAK_ON,
                                       IOCTL_SERIAL_SET_BREAK_OFF};
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) return Fail(ERROR_INVALID_PARAMETER);
    return Ioctl(hFile, kCodes[dwFunc]);
}

BOOL SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }
BOOL ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    return Ioctl(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return Ioctl(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    const ULONG mask = dwEvtMask;
    return Set(hFile, IOCTL_SERIAL_SET_WAIT_MASK, mask);
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    return Ioctl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), lpOverlapped);
}

// ---- Configurations --------------------------------------------------------------------------------------

namespace {

// The configuration Windows builds round a DCB when the driver keeps none of its own.
BOOL PutConfig(const DCB &dcb, LPCOMMCONFIG cc, LPDWORD size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD needed = sizeof(COMMCONFIG);
    if (!cc || *size < needed) {
        *size = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    *cc = COMMCONFIG{};
    cc->dwSize = needed;
    cc->wVersion = 1;
    cc->dcb = dcb;
    cc->dwProviderSubType = PST_RS232;
    *size = needed;
    return TRUE;
}

BOOL DefaultConfig(LPCWSTR name, LPCOMMCONFIG cc, LPDWORD size) {
    if (!internal::DeviceExists(name)) return Fail(ERROR_FILE_NOT_FOUND);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!BuildCommDCBA("9600,n,8,1", &dcb)) return FALSE;
    return PutConfig(dcb, cc, size);
}

}  // namespace

BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    ULONG own = 0;
    if (!lpdwSize) return Fail(ERROR_INVALID_PARAMETER);
    if (!Get(hCommDev, IOCTL_SERIAL_CONFIG_SIZE, own)) return FALSE;
    if (own) {
        if (!lpCC || *lpdwSize < own) {
            *lpdwSize = own;
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        DWORD returned = 0;
        if (!DeviceIoControl(hCommDev, IOCTL_SERIAL_GET_COMMCONFIG, nullptr, 0, lpCC, own, &returned, nullptr))
            return FALSE;
        *lpdwSize = returned;
        return TRUE;
    }
    DCB dcb{};
    if (lpCC && *lpdwSize >= sizeof(COMMCONFIG) && !GetCommState(hCommDev, &dcb)) return FALSE;
    return PutConfig(dcb, lpCC, lpdwSize);
}

BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!lpCC || dwSize < sizeof(COMMCONFIG)) return Fail(ERROR_INVALID_PARAMETER);
    ULONG own = 0;
    if (!Get(hCommDev, IOCTL_SERIAL_CONFIG_SIZE, own)) return FALSE;
    if (own && !Ioctl(hCommDev, IOCTL_SERIAL_SET_COMMCONFIG, lpCC, dwSize)) return FALSE;
    return SetCommState(hCommDev, &lpCC->dcb);
}

BOOL GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpszName) return Fail(ERROR_INVALID_PARAMETER);
    const std::u16string name = internal::Widen(lpszName);
    return DefaultConfig(name.c_str(), lpCC, lpdwSize);
}

BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpszName) return Fail(ERROR_INVALID_PARAMETER);
    return DefaultConfig(lpszName, lpCC, lpdwSize);
}

}  // namespace win32
