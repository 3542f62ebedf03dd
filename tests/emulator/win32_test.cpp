// The Win32 side's own rules, which the port tests do not reach: a synchronous handle runs one
// request at a time, a result polled while pending, the last error per thread, the errors of bad
// handles, buffers and dispositions, and how the driver's statuses become errors.
#include <gtest/gtest.h>

#include "emulator/win32/comm.h"
#include "emulator/win32/win32.h"
#include "platform/host/ntddser.h"
#include "tools/miravo/lab.h"

namespace {

using namespace win32;

constexpr int64_t kMs = 10000;

HANDLE OpenCom3(lab::Bench &bench, DWORD flags) {
    EXPECT_TRUE(bench.ready());
    return CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

TEST(Win32, SynchronousHandleRunsOneRequestAtATime) {
    lab::Bench bench;
    HANDLE h = OpenCom3(bench, 0);
    COMMTIMEOUTS timeouts{0, 0, 100, 0, 0};  // a read with nothing to read ends after 100 ms
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    emu::Thread reader([&] {
        char c;
        DWORD n;
        EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    }, "reader");
    Sleep(1);  // the clock moves only once the reader is blocked in its read
    SERIAL_BAUD_RATE rate{};
    DWORD n;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate, &n, nullptr));
    EXPECT_GE(bench.machine().now(), 100 * kMs) << "ran beside the read";
    reader.join();
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(bench.shutDown(), 0u);
}

TEST(Win32, PendingPollBadArgumentsAndTheLastErrorOfEachThread) {
    lab::Bench bench;
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE h = OpenCom3(bench, FILE_FLAG_OVERLAPPED);
    char buffer[4];
    DWORD n;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(h, nullptr, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &ov));  // no time-outs: it waits for data
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    CancelIo(h);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    const HANDLE stale = ov.hEvent;
    EXPECT_TRUE(CloseHandle(stale));
    EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(stale, buffer, 1, &n, nullptr));
    EXPECT_FALSE(CloseHandle(stale));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    SetLastError(ERROR_BUSY);
    emu::Thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(ERROR_CRC);
    }).join();
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(bench.shutDown(), 0u);
}

// The driver's statuses whose errors no port test sees.
TEST(Win32, DriverStatusesBecomeTheErrorsWindowsGives) {
    const std::pair<NTSTATUS, DWORD> rows[] = {
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED}, {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},             {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    };
    for (auto [status, error] : rows) EXPECT_EQ(RtlNtStatusToDosError(status), error) << std::hex << status;
}

}  // namespace
