#include "emulator/win32/win32.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/win32/internal.h"
#include "platform/host/wdm.h"

namespace win32 {

namespace {

// NT create dispositions, carried in the top byte of the create options.
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileOverwriteIf = 5;
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileOpenIf = 3;
constexpr ULONG kFileOverwrite = 4;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;

emu::IoManager &Io() { return emu::Machine::current().service<emu::IoManager>(); }

struct Object {
    enum class Kind { File, Event } kind;
    PFILE_OBJECT file = nullptr;  // NULL once the machine is going down
    bool overlapped = false;
    bool cleanedUp = false;  // the handle is closed; only the close is left
    KEVENT serial;  // synchronous file: held by the request in progress
    KEVENT event;   // event object

    explicit Object(Kind k) : kind(k) {}
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    // The last reference of a file closes it, so a request still running on another thread keeps
    // the file object alive, as the object manager's reference would.
    ~Object() {
        if (file) Io().closeFile(file, cleanedUp);
    }
};

class HandleTable {
public:
    ~HandleTable() {
        // The machine is stopping: no IRP can be sent any more, and the pool goes with it.
        for (auto &[value, object] : objects_) object->file = nullptr;
    }

    HANDLE insert(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> g(lock_);
        next_ += 4;  // multiples of four, never reused: a stale handle fails instead of aliasing
        objects_[next_] = std::move(object);
        return reinterpret_cast<HANDLE>(next_);
    }

    std::shared_ptr<Object> find(HANDLE h) const {
        std::lock_guard<std::mutex> g(lock_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(h) & ~uintptr_t(3));
        return it == objects_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Object> remove(HANDLE h) {
        std::lock_guard<std::mutex> g(lock_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(h));
        if (it == objects_.end()) return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    mutable std::mutex lock_;
    std::map<uintptr_t, std::shared_ptr<Object>> objects_;
    uintptr_t next_ = 0x40;
};

// The thread's last error, as the thread environment block holds it.
class LastErrors {
public:
    DWORD get(uint32_t thread) const {
        std::lock_guard<std::mutex> g(lock_);
        auto it = errors_.find(thread);
        return it == errors_.end() ? ERROR_SUCCESS : it->second;
    }
    void set(uint32_t thread, DWORD error) {
        std::lock_guard<std::mutex> g(lock_);
        errors_[thread] = error;
    }

private:
    mutable std::mutex lock_;
    std::unordered_map<uint32_t, DWORD> errors_;
};

HandleTable &Handles() { return emu::Machine::current().service<HandleTable>(); }

std::shared_ptr<Object> FindFile(HANDLE h) {
    auto object = Handles().find(h);
    if (!object || object->kind != Object::Kind::File || !object->file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

std::shared_ptr<Object> FindEvent(HANDLE h) {
    auto object = Handles().find(h);
    if (!object || object->kind != Object::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

void SetLastNtError(NTSTATUS status) { SetLastError(RtlNtStatusToDosError(status)); }

// The status the driver wrote last, read as the I/O manager delivers it (information first, the
// event with it).
NTSTATUS PublishedStatus(const OVERLAPPED *o) {
    return Io().deliveredStatus(reinterpret_cast<const IO_STATUS_BLOCK *>(&o->Internal));
}

static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status) &&
                  offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information) &&
                  sizeof(OVERLAPPED::Internal) == sizeof(IO_STATUS_BLOCK::Pointer),
              "OVERLAPPED begins with the request's I/O status block");

// Win32 names, as RtlDosPathNameToNtPathName resolves device names: "\\.\X" and "\\?\X" are
// \??\X, and so is a bare reserved device name. Anything else would be a disk path.
bool DevicePath(std::u16string name, std::u16string &nt) {
    if (name.size() > 4 && (name.compare(0, 4, u"\\\\.\\") == 0 || name.compare(0, 4, u"\\\\?\\") == 0)) {
        nt = u"\\??\\" + name.substr(4);
        return true;
    }
    if (!name.empty() && name.back() == u':') name.pop_back();
    std::u16string upper;
    for (char16_t c : name) upper += (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    bool reserved = upper == u"NUL" || upper == u"CON" || upper == u"PRN" || upper == u"AUX";
    if (upper.size() == 4 && (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0) &&
        upper[3] >= u'1' && upper[3] <= u'9')
        reserved = true;
    if (!reserved) return false;
    nt = u"\\??\\" + upper;
    return true;
}

emu::UserRequest Request(UCHAR major, ULONG code, const void *input, ULONG inputLength, void *output,
                         ULONG outputLength) {
    emu::UserRequest r;
    r.major = major;
    r.ioControlCode = code;
    r.input = input;
    r.inputLength = inputLength;
    r.output = output;
    r.outputLength = outputLength;
    return r;
}

// One request on a file, with ReadFile's and DeviceIoControl's rules for what the caller sees.
BOOL Transfer(HANDLE h, emu::UserRequest request, LPDWORD count, LPOVERLAPPED overlapped) {
    if (count) *count = 0;
    auto object = FindFile(h);
    if (!object) return FALSE;
    if ((!request.input && request.inputLength) || (!request.output && request.outputLength)) {
        SetLastError(ERROR_NOACCESS);  // the I/O manager's probe of the caller's buffers
        return FALSE;
    }
    // A read or write on an asynchronous file object needs the byte offset the OVERLAPPED carries.
    const bool transfer = request.major == IRP_MJ_READ || request.major == IRP_MJ_WRITE;
    if (object->overlapped && !overlapped && transfer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PFILE_OBJECT file = object->file;
    request.quietFailure = true;
    std::shared_ptr<Object> user;
    if (overlapped) {
        if (overlapped->hEvent && !(user = FindEvent(overlapped->hEvent))) return FALSE;
        overlapped->Internal = STATUS_PENDING;
        overlapped->InternalHigh = 0;
    }
    PKEVENT userEvent = user ? &user->event : &file->Event;

    NTSTATUS status;
    if (object->overlapped && overlapped) {
        KeClearEvent(userEvent);
        request.event = userEvent;
        request.ioStatus = reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal);
        request.hold = user;  // the event handle may be closed before the request completes
        status = Io().submit(file, request);
        if (status == STATUS_PENDING) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        if (count && !NT_ERROR(status)) *count = static_cast<DWORD>(overlapped->InternalHigh);
    } else {
        // Synchronous: the caller waits for the request. A synchronous handle runs one request at
        // a time. Each call waits on an event of its own, so that a request completing on the same
        // overlapped handle cannot end the wait early (Windows would wait on the handle).
        if (!object->overlapped) KeWaitForSingleObject(&object->serial, ::UserRequest, UserMode, FALSE, nullptr);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        request.event = &done;
        request.ioStatus = &iosb;
        status = Io().submit(file, request);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, ::UserRequest, UserMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (!object->overlapped) KeSetEvent(&object->serial, IO_NO_INCREMENT, FALSE);
        // A status the I/O manager delivered reaches the caller's OVERLAPPED and event as well.
        if (overlapped && iosb.Status != STATUS_PENDING) {
            overlapped->InternalHigh = iosb.Information;
            overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
            KeSetEvent(userEvent, IO_NO_INCREMENT, FALSE);
        }
        if (count && !NT_ERROR(status)) *count = static_cast<DWORD>(iosb.Information);
    }
    if (NT_SUCCESS(status)) return TRUE;
    if (status == STATUS_END_OF_FILE && request.major == IRP_MJ_READ) return TRUE;
    SetLastNtError(status);
    return FALSE;
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState) {
    auto object = std::make_shared<Object>(Object::Kind::Event);
    KeInitializeEvent(&object->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    SetLastError(ERROR_SUCCESS);
    return Handles().insert(std::move(object));
}

}  // namespace

namespace internal {

std::u16string Widen(LPCSTR s) {
    std::u16string wide;
    for (; s && *s; s++) wide += static_cast<char16_t>(static_cast<unsigned char>(*s));
    return wide;
}

bool DeviceExists(LPCWSTR name) {
    std::u16string nt;
    return name && DevicePath(name, nt) && emu::Machine::current().service<emu::Namespace>().Resolve(nt);
}

}  // namespace internal

// ---- Files and devices ----------------------------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE) {
    ULONG disposition;
    switch (dwCreationDisposition) {
    case CREATE_NEW: disposition = kFileCreate; break;
    case CREATE_ALWAYS: disposition = kFileOverwriteIf; break;
    case OPEN_EXISTING: disposition = kFileOpen; break;
    case OPEN_ALWAYS: disposition = kFileOpenIf; break;
    case TRUNCATE_EXISTING: disposition = kFileOverwrite; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string nt;
    if (!DevicePath(lpFileName, nt)) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // there is no disk on this machine
        return INVALID_HANDLE_VALUE;
    }
    bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    ULONG options = disposition << 24 | kFileNonDirectoryFile | (overlapped ? 0 : kFileSynchronousIoNonalert);
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = Io().openFile(nt, options, &file);
    if (!NT_SUCCESS(status)) {
        SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    auto object = std::make_shared<Object>(Object::Kind::File);
    object->file = file;
    object->overlapped = overlapped;
    KeInitializeEvent(&object->serial, SynchronizationEvent, TRUE);
    SetLastError(ERROR_SUCCESS);
    return Handles().insert(std::move(object));
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    const std::u16string wide = internal::Widen(lpFileName);
    return CreateFileW(lpFileName ? wide.c_str() : nullptr, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, Request(IRP_MJ_READ, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead), lpNumberOfBytesRead,
                    lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    return Transfer(hFile, Request(IRP_MJ_WRITE, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0), lpNumberOfBytesWritten,
                    lpOverlapped);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    return Transfer(hDevice,
                    Request(IRP_MJ_DEVICE_CONTROL, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize),
                    lpBytesReturned, lpOverlapped);
}

BOOL FlushFileBuffers(HANDLE hFile) {
    emu::UserRequest r;
    r.major = IRP_MJ_FLUSH_BUFFERS;
    return Transfer(hFile, r, nullptr, nullptr);
}

BOOL HasOverlappedIoCompleted(const OVERLAPPED *lpOverlapped) { return PublishedStatus(lpOverlapped) != STATUS_PENDING; }

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    NTSTATUS status = PublishedStatus(lpOverlapped);
    if (status == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::shared_ptr<Object> object = lpOverlapped->hEvent ? FindEvent(lpOverlapped->hEvent) : FindFile(hFile);
        if (!object) return FALSE;
        PKEVENT event = object->kind == Object::Kind::Event ? &object->event : &object->file->Event;
        KeWaitForSingleObject(event, ::UserRequest, UserMode, FALSE, nullptr);
        status = PublishedStatus(lpOverlapped);
    }
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (NT_SUCCESS(status)) return TRUE;
    SetLastNtError(status);
    return FALSE;
}

BOOL CancelIo(HANDLE hFile) {
    auto object = FindFile(hFile);
    if (!object) return FALSE;
    Io().cancelThreadRequests(object->file);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    auto object = Handles().remove(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Cleanup goes with the handle, even while a call on another thread still holds the file: the
    // driver cancels that call's request, and the close follows when the call lets go.
    if (object->kind == Object::Kind::File && object->file) {
        Io().cleanupFile(object->file);
        object->cleanedUp = true;
    }
    object.reset();  // outside the table's lock: closing a file sends IRPs
    return TRUE;
}

// ---- Events and waits ------------------------------------------------------------------------------------------

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    return NewEvent(bManualReset, bInitialState);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    return NewEvent(bManualReset, bInitialState);
}

BOOL SetEvent(HANDLE hEvent) {
    auto object = FindEvent(hEvent);
    if (!object) return FALSE;
    KeSetEvent(&object->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto object = FindEvent(hEvent);
    if (!object) return FALSE;
    KeResetEvent(&object->event);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<Object> held[MAXIMUM_WAIT_OBJECTS];  // the objects outlive a handle closed meanwhile
    void *events[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; i++) {
        held[i] = Handles().find(lpHandles[i]);
        if (!held[i] || (held[i]->kind == Object::Kind::File && !held[i]->file)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events[i] = held[i]->kind == Object::Kind::Event ? &held[i]->event : &held[i]->file->Event;
        // Waiting for all of one object twice could never be satisfied atomically.
        if (bWaitAll && std::find(events, events + i, events[i]) != events + i) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
    }
    const int64_t timeout = -static_cast<int64_t>(dwMilliseconds) * 10000;
    NTSTATUS status = emu::Machine::current().scheduler().waitForObjects(
        events, nCount, bWaitAll != FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout, "WaitForMultipleObjects");
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<DWORD>(status);
}

// ---- Time -------------------------------------------------------------------------------------------------------

VOID Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, ::UserRequest, UserMode, FALSE, nullptr);
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

DWORD GetTickCount() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return static_cast<DWORD>(static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000);
}

// ---- Errors ----------------------------------------------------------------------------------------------------------

DWORD GetLastError() { return emu::Machine::current().service<LastErrors>().get(emu::CurrentThreadId()); }

VOID SetLastError(DWORD dwErrCode) {
    emu::Machine::current().service<LastErrors>().set(emu::CurrentThreadId(), dwErrCode);
}

ULONG RtlNtStatusToDosError(NTSTATUS Status) {
    // A Win32 error carried as a status (FACILITY_NTWIN32) is itself.
    if ((static_cast<ULONG>(Status) & 0x3FFF0000u) == 0x00070000u && (NT_ERROR(Status) || NT_WARNING(Status)))
        return static_cast<ULONG>(Status) & 0xFFFF;
    switch (Status) {
    case STATUS_SUCCESS: return NO_ERROR;
    case STATUS_TIMEOUT: return WAIT_TIMEOUT;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_SERIAL_MORE_WRITES: return ERROR_MORE_WRITES;
    case STATUS_SERIAL_COUNTER_TIMEOUT: return ERROR_COUNTER_TIMEOUT;
    case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
    case STATUS_DEVICE_BUSY: return ERROR_BUSY;
    case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_INFO_CLASS: return ERROR_INVALID_PARAMETER;
    case STATUS_INFO_LENGTH_MISMATCH: return ERROR_BAD_LENGTH;
    case STATUS_ACCESS_VIOLATION: return ERROR_NOACCESS;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_NO_SUCH_FILE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_END_OF_FILE: return ERROR_HANDLE_EOF;
    case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_MORE_PROCESSING_REQUIRED: return ERROR_MORE_DATA;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_TYPE_MISMATCH: return ERROR_INVALID_HANDLE;
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_COLLISION: return ERROR_ALREADY_EXISTS;
    case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
    case STATUS_OBJECT_PATH_SYNTAX_BAD: return ERROR_BAD_PATHNAME;
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_DATA_ERROR: return ERROR_CRC;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_NOT_READY;
    case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_NOT_A_DIRECTORY: return ERROR_DIRECTORY;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_INVALID_DEVICE_STATE: return ERROR_BAD_COMMAND;
    case STATUS_INVALID_BUFFER_SIZE: return ERROR_INVALID_USER_BUFFER;
    case STATUS_DEVICE_REMOVED: return ERROR_DEV_NOT_EXIST;
    case STATUS_WMI_GUID_NOT_FOUND: return ERROR_WMI_GUID_NOT_FOUND;
    case STATUS_WMI_INSTANCE_NOT_FOUND: return ERROR_WMI_INSTANCE_NOT_FOUND;
    case STATUS_WMI_ITEMID_NOT_FOUND: return ERROR_WMI_ITEMID_NOT_FOUND;
    case STATUS_WMI_READ_ONLY: return ERROR_WMI_READ_ONLY;
    case STATUS_WMI_SET_FAILURE: return ERROR_WMI_SET_FAILURE;
    default: return ERROR_MR_MID_NOT_FOUND;
    }
}

}  // namespace win32
