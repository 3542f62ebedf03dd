// A test that drives COM3 as an application does: the lab's machine, a handle opened through the
// Win32 side, and helpers for the calls most tests make. Checks at the end that the handle's
// requests all finished and no 'COMX' pool is left once the port is gone.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "emulator/kernel/pool.h"
#include "emulator/win32/comm.h"
#include "emulator/win32/win32.h"
#include "platform/host/ntddser.h"
#include "tools/miravo/lab.h"

namespace port_test {

using namespace win32;

constexpr int64_t kMs = 10000;  // the machine's clock counts 100 ns
constexpr uint8_t kBulkIn = 0x83;
constexpr uint8_t kXon = 0x11, kXoff = 0x13;
using Ended = std::pair<DWORD, DWORD>;  // a request's Win32 error and bytes

// What a Win32 call that returns BOOL told its caller.
inline DWORD ErrorOf(BOOL ok) { return ok ? ERROR_SUCCESS : GetLastError(); }

// COM3 opened as an application opens it.
inline HANDLE OpenCom3(DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Chip `type`; without its line record where a run moves too much for one to be kept.
inline emu::usb::ChipConfig Chip(int type, bool lineLog = true) {
    emu::usb::ChipConfig chip = emu::usb::ChipConfig::Variant(type);
    chip.keepLineLog = lineLog;
    return chip;
}

// One overlapped request with an event of its own.
struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
    bool done() const { return HasOverlappedIoCompleted(&ov); }
    NTSTATUS status() const { return NTSTATUS(ov.Internal); }
};

class ComPort : public ::testing::Test {
protected:
    // Starts the machine; tests that need other options call it themselves before Open().
    void Start(lab::Options options = {}) {
        bench = std::make_unique<lab::Bench>(std::move(options));
        ASSERT_TRUE(bench->ready());
    }

    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        if (!bench) Start();
        return OpenCom3(flags);
    }

    // Opens COM3 into `h` at `baud` 8N1 with the given time-outs.
    void OpenAt(DWORD baud, COMMTIMEOUTS timeouts = {}, DWORD flags = FILE_FLAG_OVERLAPPED) {
        h = Open(flags);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        SERIAL_BAUD_RATE rate{baud};
        SERIAL_LINE_CONTROL control{STOP_BIT_1, NO_PARITY, 8};
        ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate)));
        ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &control, sizeof(control)));
        ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    }

    // ReadFile or WriteFile waited for, as on a synchronous handle (the handle is overlapped).
    BOOL SyncIo(bool read, const void *data, DWORD length, DWORD *n) {
        Overlapped o;
        const BOOL done = read ? ReadFile(h, const_cast<void *>(data), length, nullptr, &o.ov)
                               : WriteFile(h, data, length, nullptr, &o.ov);
        if (!done && GetLastError() != ERROR_IO_PENDING) return FALSE;
        return GetOverlappedResult(h, &o.ov, n, TRUE);
    }

    // An overlapped ReadFile or WriteFile into `o`, which must not fail at once.
    void Begin(Overlapped &o, bool read, const void *data, DWORD length) {
        if (!(read ? ReadFile(h, const_cast<void *>(data), length, nullptr, &o.ov)
                   : WriteFile(h, data, length, nullptr, &o.ov))) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        }
    }
    // A DeviceIoControl on `h`, waited for.
    BOOL Ioctl(DWORD code, const void *in = nullptr, DWORD inLength = 0, void *out = nullptr, DWORD outLength = 0) {
        DWORD n = 0;
        return DeviceIoControl(h, code, const_cast<void *>(in), inLength, out, outLength, &n, nullptr);
    }
    // SetCommState with one change to the port's DCB, as an application makes it.
    template <class F> bool ChangeDcb(F change) {
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!GetCommState(h, &dcb)) return false;
        change(dcb);
        return SetCommState(h, &dcb);
    }
    // `f` on the port's extension under its ControlLock, as the driver changes it.
    template <class F> auto Locked(F f) {
        KIRQL irql;
        KeAcquireSpinLock(&bench->port()->ControlLock, &irql);
        auto r = f(*bench->port());
        KeReleaseSpinLock(&bench->port()->ControlLock, irql);
        return r;
    }

    // What `call` tells its caller while the driver can have no pool.
    template <class F> DWORD WithoutPool(F call) {
        auto &pool = bench->machine().service<emu::Pool>();
        pool.failTag(MIRAVO_POOL_TAG, 1);
        const DWORD error = ErrorOf(call());
        pool.clearFaults();
        return error;
    }
    COMSTAT Stat(DWORD *errors = nullptr) {
        COMSTAT s{};
        EXPECT_TRUE(ClearCommError(h, errors, &s));
        return s;
    }
    emu::usb::ScriptedPeer &Peer() { return *bench->peer(); }
    void SleepFor(int64_t t) { bench->machine().sleepFor(t); }
    int64_t Now() { return bench->machine().now(); }
    // A timer expires on the first clock tick at or after its due time.
    int64_t Tick(int64_t t) {
        const int64_t tick = bench->machine().config().tickIncrement;
        return (t + tick - 1) / tick * tick;
    }
    // Waits for `o` and gives the Win32 error of its final status (ERROR_SUCCESS for success).
    DWORD Finish(Overlapped &o, DWORD *bytes = nullptr) {
        DWORD n = 0;
        GetOverlappedResult(h, &o.ov, &n, TRUE);
        if (bytes) *bytes = n;
        return RtlNtStatusToDosError(o.status());
    }
    Ended End(Overlapped &o) {
        DWORD n = 0, error = Finish(o, &n);
        return {error, n};
    }

    // Closes `h`, which the checks at the end then leave alone.
    BOOL Close() { return CloseHandle(std::exchange(h, INVALID_HANDLE_VALUE)); }

    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE) { EXPECT_TRUE(Close()); }
        if (bench) { EXPECT_EQ(bench->shutDown(), 0u) << "bytes of 'COMX' pool left"; }
        bench.reset();
    }

    // A table row on a machine of its own: the last one's checks as at the end, then COM3 opened
    // into `h` on a new one.
    void Restart(lab::Options options) {
        TearDown();
        Start(std::move(options));
        h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }

    std::unique_ptr<lab::Bench> bench;
    HANDLE h = INVALID_HANDLE_VALUE;
};

}  // namespace port_test
