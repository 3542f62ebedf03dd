// The Win32 side's own rules, which the port tests do not reach.

#include "tests/port/com_port.h"

namespace {

using namespace win32;
using port_test::ErrorOf;
using port_test::kMs;

using Win32 = port_test::ComPort;

TEST_F(Win32, SynchronousHandleRunsOneRequestAtATime) {
    h = Open(0);
    COMMTIMEOUTS timeouts{0, 0, 100, 0, 0};  // a read with nothing to read ends after 100 ms
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    emu::Thread reader([&] { char c; DWORD n; EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr)); }, "reader");
    Sleep(1);  // the clock moves only once the reader is blocked in its read
    SERIAL_BAUD_RATE rate{};
    DWORD n;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate, &n, nullptr));
    EXPECT_GE(bench->machine().now(), 100 * kMs) << "ran beside the read";
    reader.join();
}

TEST_F(Win32, PendingPollBadArgumentsAndTheLastErrorOfEachThread) {
    Start();
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    h = Open();
    char buffer[4];
    DWORD n;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(ErrorOf(ReadFile(h, nullptr, 4, &n, &ov)), ERROR_NOACCESS);
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &ov));  // no time-outs: it waits for data
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(ErrorOf(GetOverlappedResult(h, &ov, &n, FALSE)), ERROR_IO_INCOMPLETE);
    CancelIo(h);
    EXPECT_EQ(ErrorOf(GetOverlappedResult(h, &ov, &n, TRUE)), ERROR_OPERATION_ABORTED);

    const HANDLE stale = ov.hEvent;
    EXPECT_TRUE(CloseHandle(stale));
    EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(stale, buffer, 1, &n, nullptr));
    EXPECT_EQ(ErrorOf(CloseHandle(stale)), ERROR_INVALID_HANDLE);

    SetLastError(ERROR_BUSY);
    emu::Thread([] { EXPECT_EQ(GetLastError(), 0u); SetLastError(ERROR_CRC); }).join();
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
}

// What Windows does with an overlapped handle: no ReadFile or WriteFile without an OVERLAPPED, a request failed at
// once leaves its OVERLAPPED and event as they were, and both ends of a loopback can be waited for together.
TEST_F(Win32, OverlappedHandleRulesAndFailuresAtOnce) {
    h = Open();
    char c = 'x';
    DWORD n = 7;
    EXPECT_EQ(ErrorOf(ReadFile(h, &c, 1, &n, nullptr)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOf(WriteFile(h, &c, 1, &n, nullptr)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(n, 0u);
    SERIAL_BAUD_RATE rate{115200};
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0, &n, nullptr));

    OVERLAPPED rd{}, wr{};
    rd.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const ULONG badMask = 0x2000;
    for (HANDLE event : {rd.hEvent, HANDLE(nullptr)}) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_SET_WAIT_MASK, const_cast<ULONG *>(&badMask), 4, nullptr, 0, &n, &ov));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ov.Internal, ULONG_PTR(STATUS_PENDING));
        EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
        EXPECT_EQ(WaitForSingleObject(event ? event : h, 0), WAIT_TIMEOUT) << "cleared, then never set";
    }

    char back = 0;
    const int64_t start = Now();
    ASSERT_FALSE(ReadFile(h, &back, 1, nullptr, &rd));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    WriteFile(h, &c, 1, nullptr, &wr);
    const HANDLE both[] = {rd.hEvent, wr.hEvent};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 1000), WAIT_OBJECT_0);
    EXPECT_LT(Now() - start, 10 * kMs);
    EXPECT_TRUE(GetOverlappedResult(h, &rd, &n, FALSE));
    EXPECT_EQ(back, 'x');
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
}

// Events 0 (manual reset), 1 and 2 (auto reset): which wait ends how and when, and what it takes.
TEST_F(Win32, WaitForMultipleObjectsAnyAllAndTimeOut) {
    emu::Machine machine;
    struct Row {
        const char *name;
        unsigned signalled;  // at the start, bit per event
        int later;           // set 10 ms in, or -1
        BOOL all;
        DWORD ms;
        DWORD result;
        int64_t at;          // ms
        unsigned left;       // signalled afterwards
    } rows[] = {
        {"any: the lowest signalled", 0b110, -1, FALSE, 0, WAIT_OBJECT_0 + 1, 0, 0b100},
        {"any: the one set later", 0, 2, FALSE, 50, WAIT_OBJECT_0 + 2, 10, 0},
        {"any: none", 0, -1, FALSE, 30, WAIT_TIMEOUT, 30, 0},
        {"all: the last one set later", 0b011, 2, TRUE, INFINITE, WAIT_OBJECT_0, 10, 0b001},
        {"all: one missing takes none", 0b101, -1, TRUE, 20, WAIT_TIMEOUT, 20, 0b101},
        {"all: one set while one is missing stays set", 0b001, 1, TRUE, 30, WAIT_TIMEOUT, 30, 0b011},
        {"all: a manual one set later", 0b110, 0, TRUE, 50, WAIT_OBJECT_0, 10, 0b001},
    };
    for (const Row &row : rows) {
        HANDLE e[3];
        for (int i = 0; i < 3; i++) e[i] = CreateEventA(nullptr, i == 0, (row.signalled >> i) & 1, nullptr);
        const int64_t start = machine.now();
        emu::Thread setter([&] {
            if (row.later < 0) return;
            Sleep(10);
            SetEvent(e[row.later]);
        });
        EXPECT_EQ(WaitForMultipleObjects(3, e, row.all, row.ms), row.result) << row.name;
        EXPECT_EQ(machine.now() - start, row.at * kMs) << row.name;
        setter.join();
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(WaitForSingleObject(e[i], 0) == WAIT_OBJECT_0, bool((row.left >> i) & 1)) << row.name << " " << i;
            CloseHandle(e[i]);
        }
    }

    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const HANDLE twice[] = {e, e}, stale[] = {e, reinterpret_cast<HANDLE>(0x1234)};
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
    const struct {
        DWORD count;
        const HANDLE *handles;
        BOOL all;
        DWORD error;
    } refused[] = {{0, twice, FALSE, ERROR_INVALID_PARAMETER},
                   {DWORD(many.size()), many.data(), FALSE, ERROR_INVALID_PARAMETER},
                   {2, twice, TRUE, ERROR_INVALID_PARAMETER},
                   {2, stale, FALSE, ERROR_INVALID_HANDLE}};
    for (auto [count, handles, all, error] : refused) {
        EXPECT_EQ(WaitForMultipleObjects(count, handles, all, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), error) << count;
    }
    CloseHandle(e);
}

// The driver's statuses whose errors no port test sees.
TEST_F(Win32, DriverStatusesBecomeTheErrorsWindowsGives) {
    const std::pair<NTSTATUS, DWORD> rows[] = {
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED}, {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},             {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    };
    for (auto [status, error] : rows) EXPECT_EQ(RtlNtStatusToDosError(status), error) << std::hex << status;
}

}  // namespace
