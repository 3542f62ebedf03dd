// The private chip-access requests on every chip type, as a service tool sends them, and what the
// chip model saw of each.
#include <functional>

#include "tests/port/com_port.h"
#include "usb/transfer.h"

namespace port_test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr ULONG Code(int n) { return 0x222000u + 4u * unsigned(n); }

// A synchronous handle's view: a request that fails at once reports its status only, as on Windows.
struct Answer { DWORD error; ULONG information; Bytes out; };

class PrivateRequests : public ComPort {
protected:
    void StartOn(int type) {
        TearDown();
        lab::Options options;
        options.chip = emu::usb::ChipConfig::Variant(type);
        Start(std::move(options));
        OpenAt(115200, {}, 0);
    }
    Answer Ask(ULONG code, const Bytes &in, DWORD outLength) {
        Answer a{ERROR_SUCCESS, 0, Bytes(outLength, 0xEE)};
        DWORD n = 0;
        if (!DeviceIoControl(h, code, in.empty() ? nullptr : const_cast<uint8_t *>(in.data()), DWORD(in.size()),
                             outLength ? a.out.data() : nullptr, outLength, &n, nullptr))
            a.error = GetLastError();
        a.information = n;
        return a;
    }
    size_t Urbs() { return bench->device().bus().urbLog().size(); }
};

constexpr ULONG kVaries = ~0u;

struct Row {
    const char *what;
    ULONG code;
    Bytes in;
    DWORD out;
    int minType;        // below it: STATUS_NOT_SUPPORTED
    ULONG information;  // on success; kVaries: the check looks at it
    std::function<void(const Answer &)> check;
};

TEST_F(PrivateRequests, EveryCodeOnEveryChipTypeItAppliesTo) {
    int type = 0;
    auto none = [](const Answer &) {};
    auto starts = [](Bytes b) { return [b](const Answer &a) { EXPECT_EQ(Bytes(a.out.begin(), a.out.begin() + b.size()), b); }; };
    auto chip = [&]() -> emu::usb::BridgeChip & { return bench->chip(); };
    const std::vector<Row> rows = {
        {"device descriptor", Code(0), {}, 18, 0, 18, [&](const Answer &a) { EXPECT_EQ(a.out, chip().deviceDescriptor()); }},
        {"configuration header", Code(1), {}, 9, 0, 9,
         [&](const Answer &a) {
             const Bytes whole = chip().configurationDescriptor();
             EXPECT_EQ(a.out, Bytes(whole.begin(), whole.begin() + 9));
         }},
        {"string 2", Code(2), {2}, 64, 0, kVaries, [](const Answer &a) { EXPECT_TRUE(a.out[1] == 3 && a.information == a.out[0]); }},
        {"raw write of register 2", Code(3), {0x02, 0x00, 0x5A, 0x00}, 0, 0, 0, [&](const Answer &) { EXPECT_EQ(chip().reg(2), 0x5A); }},
        {"raw read of register 2", Code(4), {0x82, 0x00}, 1, 0, 1, starts({0x5A})},
        {"raw control lines", Code(8), {0x03, 0x00}, 0, 0, 0, [&](const Answer &) { EXPECT_TRUE(chip().dtr() && chip().rts()); }},
        {"communication feature", Code(9), {0x34, 0x12}, 0, 0, 0,
         [&](const Answer &) {
             auto last = bench->device().bus().urbLog().back();
             EXPECT_TRUE(last.setup.bmRequestType == 0x21 && last.setup.bRequest == 0x02 && last.setup.wValue == 1);
             EXPECT_EQ(last.data, (Bytes{0x34, 0x12}));
         }},
        {"EEPROM write", Code(10), {0x20, 0xAA, 0xBB}, 0, 0, 0,
         [&](const Answer &) { EXPECT_TRUE(chip().eeprom()[0x20] == 0xAA && chip().eeprom()[0x21] == 0xBB); }},
        {"EEPROM read back", Code(11), {0x20, 0x00}, 2, 0, 2, starts({0xAA, 0xBB})},
        {"nothing", Code(12), {}, 0, 0, 0, none},
        {"registry open, answered without one", Code(13), {}, 0, 0, 0, none},
        {"set register-1 bit 0x80", Code(23), {1}, 0, 0, 0, [&](const Answer &) { EXPECT_TRUE(chip().reg(1) & 0x80); }},
        {"read register-1 bit 0x80", Code(25), {}, 1, 0, 1, starts({1})},
        {"clear register-1 bit 0x80", Code(23), {0}, 0, 0, 0, [&](const Answer &) { EXPECT_FALSE(chip().reg(1) & 0x80); }},
        {"chip type", Code(26), {}, 1, 0, 1, [&](const Answer &a) { EXPECT_EQ(a.out[0], type); }},
        {"type-4 option bit set", Code(42), {1}, 0, 0, 0,
         [&](const Answer &) { EXPECT_EQ(bool(chip().reg(1) & 0x08), type == 4); }},
        {"type-4 option bit read", Code(43), {}, 1, 0, 1, [&](const Answer &a) { EXPECT_EQ(a.out[0], type == 4 ? 1 : 0); }},
        {"word write 0x0606", Code(31), {0x34, 0x12}, 2, 2, 2, [&](const Answer &) { EXPECT_EQ(chip().wordRegister(0x06), 0x1234); }},
        {"word read 0x8686", Code(32), {}, 2, 2, 2, starts({0x34, 0x12})},
        {"word write 0x0C0C", Code(35), {0x78, 0x56}, 2, 3, 2, [&](const Answer &) { EXPECT_EQ(chip().wordRegister(0x0C), 0x5678); }},
        {"byte write 0x0E0E", Code(28), {0x9A, 0x00}, 4, 3, 2, [&](const Answer &) { EXPECT_EQ(chip().wordRegister(0x0E), 0x9A); }},
        // The byte it read, not the output's length.
        {"byte read 0x8E8E", Code(27), {}, 4, 3, 1, starts({0x9A})},
    };

    for (type = 0; type <= 4; type++) {
        SCOPED_TRACE(type);
        StartOn(type);
        for (const Row &row : rows) {
            SCOPED_TRACE(row.what);
            size_t before = Urbs();
            const USHORT modemControl = bench->port()->ModemControl;
            Answer a = Ask(row.code, row.in, row.out);
            // Straight to the chip: the port's own line word stays what it last set.
            EXPECT_EQ(bench->port()->ModemControl, modemControl);
            if (type < row.minType) {
                EXPECT_EQ(a.error, RtlNtStatusToDosError(STATUS_NOT_SUPPORTED));
                EXPECT_EQ(Urbs(), before) << "nothing sent";
                continue;
            }
            ASSERT_EQ(a.error, ERROR_SUCCESS);
            if (row.information != kVaries) { EXPECT_EQ(a.information, row.information); }
            row.check(a);
        }

        // Stop and restart of the continuous transfers, then the raw pipes while they are stopped.
        PortExtension *port = bench->port();
        Answer stop = Ask(Code(41), {1, 0}, 2);
        EXPECT_TRUE(stop.error == ERROR_SUCCESS && stop.information == 2u);
        EXPECT_FALSE(TransferOutstanding(port, InterruptIn) || TransferOutstanding(port, BulkIn));
        EXPECT_EQ(Ask(Code(6), {'h', 'i'}, 0).error, ERROR_SUCCESS);
        bench->machine().sleepFor(20 * kMs);
        Answer in = Ask(Code(7), {}, 64);
        EXPECT_EQ(Bytes(in.out.begin(), in.out.begin() + in.information), (Bytes{'h', 'i'})) << in.error;
        EXPECT_EQ(Ask(Code(41), {0, 0}, 2).error, ERROR_SUCCESS);
        EXPECT_TRUE(TransferOutstanding(port, InterruptIn) && TransferOutstanding(port, BulkIn));
    }
}

// Buffers shorter than a request's layout and ranges the EEPROM cannot take: refused, nothing sent,
// and no request claims more output than the caller has room for.
TEST_F(PrivateRequests, ShortBuffersAndBadRangesAreRefusedWithNothingSent) {
    StartOn(2);
    const auto eeprom = bench->chip().eeprom();
    const struct { const char *what; ULONG code; Bytes in; DWORD out; NTSTATUS status; } rows[] = {
        {"descriptor into 4 bytes", Code(0), {}, 4, STATUS_BUFFER_TOO_SMALL},
        {"word read into 1 byte", Code(32), {}, 1, STATUS_BUFFER_TOO_SMALL},
        {"raw write of half its input", Code(3), {0x02, 0x00}, 0, STATUS_BUFFER_TOO_SMALL},
        {"raw read without an output", Code(4), {0x82, 0x00}, 0, STATUS_BUFFER_TOO_SMALL},
        {"EEPROM write past address 0xFF", Code(10), {0xFF, 1, 2}, 0, STATUS_INVALID_PARAMETER},
        {"EEPROM write of 257 bytes", Code(10), Bytes(258, 0), 0, STATUS_INVALID_PARAMETER},
        {"EEPROM read past 0xFFFF", Code(11), {0xFF, 0xFF}, 2, STATUS_INVALID_PARAMETER},
        {"a code between the blocks", Code(14), {0}, 4, STATUS_INVALID_PARAMETER},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        size_t before = Urbs();
        Answer a = Ask(row.code, row.in, row.out);
        EXPECT_EQ(a.error, RtlNtStatusToDosError(row.status));
        EXPECT_EQ(Urbs(), before);
    }
    EXPECT_EQ(bench->chip().eeprom(), eeprom);
    // A register-1 bit whose register cannot be read is not written from a stale copy.
    const uint8_t reg1 = bench->chip().reg(1);
    emu::usb::FaultRule unreadable;
    unreadable.value = 0x81;
    bench->device().bus().addFault(unreadable.stall());
    EXPECT_NE(Ask(Code(23), {1}, 0).error, ERROR_SUCCESS);
    EXPECT_EQ(bench->chip().reg(1), reg1);
    // A word write without room for its echo still succeeds and reports no output.
    Answer a = Ask(Code(31), {0x01, 0x00}, 0);
    EXPECT_TRUE(a.error == ERROR_SUCCESS && a.information == 0u) << a.error;
}

}  // namespace
}  // namespace port_test
