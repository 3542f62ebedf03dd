// The Win32 side as an application sees it, against the test driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/win32/win32.h"
#include "tests/emulator/testdriver.h"

namespace {

using namespace win32;

constexpr int64_t kMs = 10000;

class Win32Test : public ::testing::Test {
protected:
    Win32Test() {
        auto &io = machine.service<emu::IoManager>();
        EXPECT_EQ(io.loadDriver(TestDevDriverEntry, u"TestDev", TESTDEV_POOL_TAG, &driver), STATUS_SUCCESS);
    }
    ~Win32Test() override {
        machine.service<emu::IoManager>().unloadDriver(driver);
        EXPECT_EQ(machine.service<emu::Pool>().bytesInUse(TESTDEV_POOL_TAG), 0u);
    }

    HANDLE open(DWORD flags = 0) {
        HANDLE h = CreateFileA("\\\\.\\TESTDEV", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        return h;
    }

    // Bytes the device delivers after `ms`.
    void deliverLater(HANDLE h, DWORD ms, const std::string &data) {
        TESTDEV_DELAYED d{};
        d.DelayMs = ms;
        d.Length = static_cast<ULONG>(data.size());
        std::memcpy(d.Data, data.data(), data.size());
        DWORD returned;
        EXPECT_TRUE(DeviceIoControl(h, IOCTL_TESTDEV_DELAYED, &d, sizeof(d), nullptr, 0, &returned, nullptr));
    }

    emu::Machine machine{emu::MachineConfig{}};
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(Win32Test, OpeningFailsWithTheDocumentedErrors) {
    struct Case {
        const char *name;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {"\\\\.\\NOSUCHDEV", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"COM3", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},     // a reserved name, but nothing links it here
        {"TESTDEV", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},  // not a reserved name: a disk path
        {"\\\\.\\TESTDEV", 0, ERROR_INVALID_PARAMETER},
    };
    for (auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(c.name, GENERIC_READ, 0, nullptr, c.disposition, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD n;
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x1234), &n, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE h = open();
    EXPECT_FALSE(ReadFile(h, nullptr, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    CloseHandle(h);
}

TEST_F(Win32Test, SynchronousCallsRoundTripAndWaitOnTheEmulatedClock) {
    HANDLE h = CreateFileW(u"\\\\.\\testdev", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    char buffer[16];
    std::memset(buffer, '.', sizeof(buffer));
    EXPECT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer, 6), "hello.");  // only the bytes read come back

    deliverLater(h, 2500, "abc");
    auto realStart = std::chrono::steady_clock::now();
    DWORD ticks = GetTickCount();
    int64_t start = machine.now();
    EXPECT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "abc");
    EXPECT_GE(machine.now() - start, 2500 * kMs);
    EXPECT_LT(machine.now() - start, 2500 * kMs + 156250);  // the timer's tick
    EXPECT_GE(GetTickCount() - ticks, 2500u);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(500));
    EXPECT_TRUE(CloseHandle(h));
}

// Overlapped requests with events and waiting results are what the port tests use throughout;
// here, the polling result and a request without an event, which signals the handle.
TEST_F(Win32Test, OverlappedResultPollsIncompleteAndWithoutAnEventTheHandleIsSignalled) {
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    char buffer[8];
    DWORD n = 77;
    deliverLater(h, 30, "later");
    EXPECT_FALSE(ReadFile(h, buffer, sizeof(buffer), nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    int64_t start = machine.now();
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_GE(machine.now() - start, 30 * kMs);
    EXPECT_EQ(std::string(buffer, n), "later");
    EXPECT_EQ(ov.InternalHigh, 5u);
    CloseHandle(h);
}

TEST_F(Win32Test, SynchronousHandleRunsOneRequestAtATime) {
    HANDLE sync = open();
    HANDLE async = open(FILE_FLAG_OVERLAPPED);
    deliverLater(async, 100, "z");
    emu::Thread reader([&] {
        char c;
        DWORD n;
        EXPECT_TRUE(ReadFile(sync, &c, 1, &n, nullptr));
        EXPECT_EQ(c, 'z');
    }, "reader");
    Sleep(1);  // the reader is blocked in its read by now: the clock moved only once it was
    char echo[4] = "abc", back[4] = {};
    DWORD n;
    int64_t start = machine.now();
    EXPECT_TRUE(DeviceIoControl(async, IOCTL_TESTDEV_ECHO, echo, 3, back, 4, &n, nullptr));
    EXPECT_EQ(machine.now(), start);
    EXPECT_TRUE(DeviceIoControl(sync, IOCTL_TESTDEV_ECHO, echo, 3, back, 4, &n, nullptr));
    EXPECT_GE(machine.now(), 100 * kMs);  // waited behind the read
    EXPECT_EQ(std::string(back, n), "abc");
    reader.join();
    CloseHandle(sync);
    CloseHandle(async);
}

TEST_F(Win32Test, DriverStatusesReachGetLastErrorAsWindowsMapsThem) {
    HANDLE h = open();
    struct Case {
        NTSTATUS status;
        DWORD error;  // 0: the call succeeds
    } cases[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_TIMEOUT, 0},
        {STATUS_SERIAL_COUNTER_TIMEOUT, 0},
        {STATUS_SERIAL_MORE_WRITES, 0},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    };
    for (auto &c : cases) {
        SetLastError(12345);
        DWORD n;
        BOOL ok = DeviceIoControl(h, IOCTL_TESTDEV_FAIL, const_cast<NTSTATUS *>(&c.status), sizeof(NTSTATUS), nullptr,
                                  0, &n, nullptr);
        EXPECT_EQ(ok, c.error == 0) << std::hex << c.status;
        EXPECT_EQ(ok ? 0 : GetLastError(), c.error) << std::hex << c.status;
    }

    // A short output buffer: what fits, FALSE and ERROR_MORE_DATA.
    char out[4];
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_TESTDEV_ECHO, const_cast<char *>("abcdefgh"), 8, out, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");

    // The last error belongs to the thread.
    SetLastError(ERROR_BUSY);
    emu::Thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(ERROR_CRC);
    });
    other.join();
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    CloseHandle(h);
}

TEST_F(Win32Test, EventsWaitsAndTimeFollowTheEmulatedClock) {
    HANDLE autoReset = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "named");
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);  // the wait consumed it
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    int64_t start = machine.now();
    EXPECT_EQ(WaitForSingleObject(manual, 260), WAIT_TIMEOUT);
    EXPECT_EQ(machine.now() - start, 260 * kMs);

    EXPECT_EQ(GetTickCount(), 250u);  // whole 15.625 ms ticks: 16 of them
    Sleep(0);
    Sleep(20);
    EXPECT_EQ(machine.now() - start, 280 * kMs);
    EXPECT_EQ(GetTickCount(), 265u);

    emu::Thread setter([&] {
        Sleep(1000);
        SetEvent(autoReset);
    });
    EXPECT_EQ(WaitForSingleObject(autoReset, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(machine.now() - start, 1280 * kMs);
    setter.join();

    EXPECT_TRUE(CloseHandle(autoReset));
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(autoReset));
    CloseHandle(manual);
}

}  // namespace
