// Reading a fuzzer's bytes as a script: integers and runs of bytes taken from the front, zeros
// once the input is used up, so that every input is a valid script. And the machine the targets
// load the driver into, which must give back every byte of 'COMX' pool at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "emulator/win32/comm.h"
#include "emulator/win32/win32.h"

namespace fuzz {

class Input {
public:
    Input(const uint8_t *data, size_t size) : at_(data), end_(data + size) {}
    bool empty() const { return at_ == end_; }
    uint8_t byte() { return empty() ? 0 : *at_++; }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> b;
        while (n-- && !empty()) b.push_back(byte());
        return b;
    }

private:
    const uint8_t *at_, *end_;
};

// A finding: libFuzzer keeps the input that led here.
[[noreturn]] inline void Finding(const char *what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// Gives a request `ms`, then takes it back; one that outlives its cancel is a finding.
inline void Settle(HANDLE h, HANDLE event, DWORD ms) {
    if (win32::WaitForSingleObject(event, ms) == win32::WAIT_TIMEOUT) win32::CancelIo(h);
    if (win32::WaitForSingleObject(event, 5000) == win32::WAIT_TIMEOUT) Finding("a request outlived its cancel");
}

struct Machine {
    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    emu::PnpManager &pnp = machine.service<emu::PnpManager>();
    emu::Registry &registry = machine.service<emu::Registry>();
    const std::u16string deviceKey = std::u16string(emu::Registry::kEnumPath) + u"\\USB\\Port";
    PDRIVER_OBJECT driver = nullptr;

    bool load() { return io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver) == STATUS_SUCCESS; }
    void unload() {
        io.unloadDriver(driver);  // the verifier stops the run on pool left under 'COMX'
        if (machine.service<emu::Pool>().bytesInUse(MIRAVO_POOL_TAG)) Finding("'COMX' pool left");
    }
};

}  // namespace fuzz
