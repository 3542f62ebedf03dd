// The user side of the emulated machine: the Win32 file, event, wait, time and error functions an
// application calls, with Windows' documented semantics, over the emulated I/O manager. Handles
// live in a per-machine table; the last error is per thread. Application code does
// `using namespace win32;` and reads as it would on Windows. The comm API (DCB, SetCommState...)
// sits on top of DeviceIoControl in its own file.
#pragma once

#include "platform/host/ntdef.h"

namespace win32 {

typedef int BOOL, *PBOOL, *LPBOOL;
typedef DWORD *PDWORD, *LPDWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef const char *LPCSTR;
typedef const WCHAR *LPCWSTR;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Internal and InternalHigh are the request's I/O status block (status, then information).
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// dwDesiredAccess, dwShareMode
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
// dwCreationDisposition
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
// dwFlagsAndAttributes
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;

// System error codes (GetLastError).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_CRC = 23;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_MORE_WRITES = 1120;
constexpr DWORD ERROR_COUNTER_TIMEOUT = 1121;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_WMI_GUID_NOT_FOUND = 4200;
constexpr DWORD ERROR_WMI_INSTANCE_NOT_FOUND = 4201;
constexpr DWORD ERROR_WMI_ITEMID_NOT_FOUND = 4202;
constexpr DWORD ERROR_WMI_READ_ONLY = 4213;
constexpr DWORD ERROR_WMI_SET_FAILURE = 4214;

// ---- Files and devices ----------------------------------------------------------------------------------
// "\\.\NAME" (and "\\?\NAME") open \??\NAME; a bare reserved device name ("COM3", "NUL") does too.
// Without FILE_FLAG_OVERLAPPED the handle is synchronous: each call waits for its request, and
// requests on the handle are serialized.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// The names without A or W are the ANSI calls, as windows.h has them without UNICODE.
inline HANDLE CreateFile(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                         DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

// Overlapped (handle opened with FILE_FLAG_OVERLAPPED and lpOverlapped given): TRUE when the
// request completed at once; FALSE with ERROR_IO_PENDING while it runs, its status and byte count
// then arriving in Internal/InternalHigh and hEvent (or the handle itself when hEvent is NULL)
// being signalled. A request the driver fails at once leaves both alone: Internal stays
// STATUS_PENDING and the event unsignalled. Such a handle takes ReadFile and WriteFile only with
// an OVERLAPPED (ERROR_INVALID_PARAMETER otherwise); DeviceIoControl without one waits for its
// request.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL FlushFileBuffers(HANDLE hFile);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL HasOverlappedIoCompleted(const OVERLAPPED *lpOverlapped);
// Cancels the requests the calling thread issued on the handle; they complete with
// ERROR_OPERATION_ABORTED.
BOOL CancelIo(HANDLE hFile);
// A file: IRP_MJ_CLEANUP then IRP_MJ_CLOSE, once no other call on the handle is still running.
BOOL CloseHandle(HANDLE hObject);

// ---- Events and waits --------------------------------------------------------------------------------------
// Names are accepted and ignored: every event is private to its handle.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
inline HANDLE CreateEvent(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                          LPCSTR lpName) {
    return CreateEventA(lpEventAttributes, bManualReset, bInitialState, lpName);
}
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// Events and files (a file is signalled when an overlapped request without an event completes).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// WAIT_OBJECT_0 + the lowest index signalled (any), WAIT_OBJECT_0 once all are signalled together
// (all), WAIT_TIMEOUT, or WAIT_FAILED: nCount 0 or above MAXIMUM_WAIT_OBJECTS, or a handle twice
// in a wait for all (ERROR_INVALID_PARAMETER); a handle that is not an event or a file
// (ERROR_INVALID_HANDLE).
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

// ---- Time (the machine's clock) -------------------------------------------------------------------------------
VOID Sleep(DWORD dwMilliseconds);
// Milliseconds since boot, advancing by whole clock ticks as on Windows.
DWORD GetTickCount();

// ---- Errors -------------------------------------------------------------------------------------------------------
DWORD GetLastError();
VOID SetLastError(DWORD dwErrCode);
// As Windows maps a driver's final status for the application; ERROR_MR_MID_NOT_FOUND when the
// status has no equivalent.
ULONG RtlNtStatusToDosError(NTSTATUS Status);

}  // namespace win32
