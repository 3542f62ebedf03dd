// Modem status through UpdateModemStatus itself, on a port device with its start defaults and an
// open-time ring: one table of status words and settings.
#include <vector>

#include "requests/requests.h"
#include "tests/driver/driver_test_support.h"

namespace {

class ModemStatusTest : public dt::RingPortTest {
protected:
    void SetUp() override {
        RingPortTest::SetUp();
        port->IsOpen = TRUE;
    }
    UCHAR Evaluate(USHORT status) {
        return Locked([&] { port->UartStatus = status; return UpdateModemStatus(port); });
    }
    std::vector<UCHAR> RingContent() {
        return Locked([&] { return std::vector<UCHAR>(port->RxTakeSlot, port->RxTakeSlot + port->RxRingCount); });
    }
};

constexpr USHORT kDcd = 0x01, kDsr = 0x02, kRi = 0x08, kCts = 0x80;

// Each row evaluates `first` then `second`; what the second evaluation gives is checked. An escape
// character 0xFF is set in every row, so the ring shows the status sequences the second inserts.
TEST_F(ModemStatusTest, StatusWordsBecomeStateHoldsEventsAndSequences) {
    struct Row {
        const char *what;
        LONG chipType;
        USHORT first, second;
        UCHAR ctsFlow, dsrFlow;
        ULONG handshake;
        UCHAR state;               // what the second evaluation returns
        LONG events;               // HistoryMask after it, with every modem event waited for
        ULONG txHolds, rxHolds;    // after it
        std::vector<UCHAR> ring;   // inserted by it
    };
    const Row rows[] = {
        {"lines on at the first look count as changed", 2, 0xFFFF, kCts | kDsr | kDcd, 0, 0, 0, 0xB0,
         SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD, 0, 0, {0xFF, SERIAL_LSRMST_MST, 0xB0}},
        {"a repeated word raises nothing", 2, kCts, kCts, 0, 0, 0, 0x10, 0, 0, 0, {}},
        {"older chips report a ring on every look", 1, kRi, kRi, 0, 0, 0, 0x40, SERIAL_EV_RING, 0, 0,
         {0xFF, SERIAL_LSRMST_MST, 0x40}},
        {"newer chips report a ring once", 2, kRi, kRi, 0, 0, 0, 0x40, 0, 0, 0, {}},
        {"RI going off is a change on newer chips only", 2, kRi, 0, 0, 0, 0, 0x00, SERIAL_EV_RING, 0, 0,
         {0xFF, SERIAL_LSRMST_MST, 0x00}},
        {"... and not on older ones", 0, kRi, 0, 0, 0, 0, 0x00, 0, 0, 0, {}},
        {"CTS falling holds with the chip's CTS flow", 2, kCts, 0, 1, 0, 0, 0x00, SERIAL_EV_CTS, TX_HOLD_CTS, 0,
         {0xFF, SERIAL_LSRMST_MST, 0x00}},
        {"... and without it only raises the event", 2, kCts, 0, 0, 0, 0, 0x00, SERIAL_EV_CTS, 0, 0,
         {0xFF, SERIAL_LSRMST_MST, 0x00}},
        {"DSR falling holds with the chip's DSR flow", 2, kDsr | kCts, kCts, 0, 1, 0, 0x10, SERIAL_EV_DSR,
         TX_HOLD_DSR, 0, {0xFF, SERIAL_LSRMST_MST, 0x10}},
        {"DSR low under DSR sensitivity holds reception", 2, kDsr, 0, 0, 0, SERIAL_DSR_SENSITIVITY, 0x00,
         SERIAL_EV_DSR, 0, RX_HOLD_DSR, {}},  // the sequence itself is dropped
        {"lines rising lift the holds", 2, 0, kCts | kDsr, 1, 1, SERIAL_DSR_SENSITIVITY, 0x30,
         SERIAL_EV_CTS | SERIAL_EV_DSR, 0, 0, {0xFF, SERIAL_LSRMST_MST, 0x30}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Locked([&] {
            port->ChipType = row.chipType;
            port->ChipCtsFlowOn = row.ctsFlow;
            port->ChipDsrFlowOn = row.dsrFlow;
            port->HandFlow.ControlHandShake = row.handshake;
            port->EscapeChar = 0;
            port->WaitMask = 0;
            port->TxHoldReasons = row.ctsFlow ? TX_HOLD_CTS : 0;  // a hold a rising line must lift
            port->TxHoldReasons |= row.dsrFlow ? TX_HOLD_DSR : 0;
            port->UartStatus = row.first;
            return UpdateModemStatus(port);
        });
        if (row.first == 0xFFFF) Locked([&] { return port->LastUartStatus = 0; });  // as a new device
        PurgeRing(port);
        Locked([&] {
            port->EscapeChar = 0xFF;
            port->WaitMask = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;
            return InterlockedExchange(&port->HistoryMask, 0);
        });
        EXPECT_EQ(Evaluate(row.second), row.state);
        EXPECT_EQ(std::tuple(port->HistoryMask, port->TxHoldReasons, port->RxHoldReasons),
                  std::tuple(row.events, row.txHolds, row.rxHolds));
        EXPECT_EQ(RingContent(), row.ring);
        EXPECT_EQ(port->LastUartStatus, row.second);
    }
}

}  // namespace
