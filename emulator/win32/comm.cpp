#include "emulator/win32/comm.h"

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

}  // namespace

BOOL GetCommState(HANDLE hFile, LPDCB dcb) {
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
    dcb->fDtrControl = (hs & SERIAL_DTR_HANDSHAKE)  ? DTR_CONTROL_HANDSHAKE
                       : (hs & SERIAL_DTR_CONTROL) ? DTR_CONTROL_ENABLE
                                                   : DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = (hs & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (hs & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (fr & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (fr & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (fr & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (fr & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (fr & SERIAL_NULL_STRIPPING) != 0;
    switch (fr & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case SERIAL_RTS_HANDSHAKE: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case SERIAL_TRANSMIT_TOGGLE: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb->XonLim = static_cast<WORD>(s.flow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.flow.XoffLimit);
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB dcb) {
    if (!dcb || ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The previous state comes back when a later step is refused, so a failed call changes nothing.
    LineState old;
    if (!GetLine(hFile, old)) return FALSE;

    LineState s = old;
    s.baud.BaudRate = dcb->BaudRate;
    s.line = {dcb->StopBits, dcb->Parity, dcb->ByteSize};
    s.chars.XonChar = static_cast<UCHAR>(dcb->XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb->XoffChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb->ErrorChar);
    s.chars.EofChar = static_cast<UCHAR>(dcb->EofChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb->EvtChar);

    ULONG hs = 0, fr = 0;
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE) hs |= SERIAL_DTR_CONTROL;
    if (dcb->fDtrControl == DTR_CONTROL_HANDSHAKE) hs |= SERIAL_DTR_HANDSHAKE;
    if (dcb->fOutxCtsFlow) hs |= SERIAL_CTS_HANDSHAKE;
    if (dcb->fOutxDsrFlow) hs |= SERIAL_DSR_HANDSHAKE;
    if (dcb->fDsrSensitivity) hs |= SERIAL_DSR_SENSITIVITY;
    if (dcb->fAbortOnError) hs |= SERIAL_ERROR_ABORT;
    if (dcb->fOutX) fr |= SERIAL_AUTO_TRANSMIT;
    if (dcb->fInX) fr |= SERIAL_AUTO_RECEIVE;
    if (dcb->fErrorChar) fr |= SERIAL_ERROR_CHAR;
    if (dcb->fNull) fr |= SERIAL_NULL_STRIPPING;
    if (dcb->fTXContinueOnXoff) fr |= SERIAL_XOFF_CONTINUE;
    static constexpr ULONG kRts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
    fr |= kRts[dcb->fRtsControl];
    s.flow = {hs, fr, dcb->XonLim, dcb->XoffLim};

    if (SetLine(hFile, s)) return TRUE;
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
    DWORD code = 0;
    switch (dwFunc) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    return Ioctl(hFile, code);
}

BOOL SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }
BOOL ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    ULONG msr = 0;
    if (!Get(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, msr)) return FALSE;
    *lpModemStat = msr & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return TRUE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    ULONG mask = 0;
    if (!Get(hFile, IOCTL_SERIAL_GET_WAIT_MASK, mask)) return FALSE;
    *lpEvtMask = mask;
    return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    const ULONG mask = dwEvtMask;
    return Set(hFile, IOCTL_SERIAL_SET_WAIT_MASK, mask);
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    return Ioctl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), lpOverlapped);
}

}  // namespace win32
