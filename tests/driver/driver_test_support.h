// One port device with its start defaults and an open-time ring, driven through the routines
// themselves: no bus below it.
#pragma once

#include <gtest/gtest.h>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "receive/receive.h"

namespace dt {

inline NTSTATUS NTAPI NoDispatchEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class RingPortTest : public ::testing::Test {
protected:
    explicit RingPortTest(emu::MachineConfig config = {}) : machine(config) {}

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PortExtension *port = nullptr;

    void SetUp() override {
        ASSERT_EQ(io.loadDriver(NoDispatchEntry, u"ring", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        ASSERT_EQ(CreatePortDevice(driver, &device), STATUS_SUCCESS);
        port = PortOf(device);
        InitPortExtension(device);
        ASSERT_EQ(AllocateRing(port), STATUS_SUCCESS);
    }
    void TearDown() override {
        KeFlushQueuedDpcs();
        if (port) {
            FreeRing(port);
            FreePortNames(port);
            IoDeleteDevice(device);
        }
        if (driver) io.unloadDriver(driver);  // the verifier reports pool left under 'COMX'
    }
    // As the bulk IN branch and status processing run: ControlLock, then RxLock.
    template <class F> auto Locked(F fn) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&port->RxLock);
        auto result = fn();
        KeReleaseSpinLockFromDpcLevel(&port->RxLock);
        KeReleaseSpinLock(&port->ControlLock, irql);
        return result;
    }
};

}  // namespace dt
