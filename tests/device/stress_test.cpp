// Cancels racing completions: bulk IN reads cancelled at random moments while data streams in
// under RTS handshaking, with schedule noise widening the windows. Every byte arrives exactly once
// and in order (a cancelled read reports what it had taken), and nothing is left pending.
#include <random>

#include "tests/device/usb_client.h"

namespace devtest {
namespace {

TEST(BusStress, RandomCancelsAgainstAStreamLoseNothingAndDuplicateNothing) {
    emu::Machine machine(emu::MachineConfig{.processors = 3, .noiseSeed = 0x5EED});
    SimulatedDevice device(ChipConfig::Variant(2));
    Client client(device.pdo());
    auto pipes = client.configure(2);
    ASSERT_EQ(client.lineCoding(921600, 0, 0, 8), STATUS_SUCCESS);
    ASSERT_EQ(client.vendorWrite(0x0000, 0x21), STATUS_SUCCESS);  // RTS follows the receive FIFO
    ScriptedPeer peer(device.chip(), WireFormat::Rate(921600));
    peer.followRts(true);
    std::vector<uint8_t> sent(20000);
    for (size_t i = 0; i < sent.size(); i++) sent[i] = uint8_t(i % 251);
    peer.send(sent);

    std::mt19937 random(42);
    std::vector<UCHAR> got;
    int cancelled = 0;
    while (got.size() < sent.size() && machine.now() < 2 * kSecond) {
        auto r = client.read(pipes.bulkIn, 384);
        client.start(*r);
        if (random() % 3 == 0 || !client.wait(*r, 5 * kMillisecond)) {
            Delay(int64_t(random() % (2 * kFrame)));
            IoCancelIrp(r->irp);
        }
        ASSERT_TRUE(client.wait(*r));
        if (r->status == STATUS_CANCELLED) {
            cancelled++;
            EXPECT_EQ(r->usbd(), USBD_STATUS_CANCELED);
        } else {
            ASSERT_EQ(r->status, STATUS_SUCCESS);
        }
        got.insert(got.end(), r->buffer.begin(), r->buffer.begin() + r->length());
    }
    EXPECT_GT(cancelled, 10);
    EXPECT_EQ(got, std::vector<UCHAR>(sent.begin(), sent.end()));
    EXPECT_EQ(device.bus().pendingUrbs(), 0u);
    for (auto &e : device.chip().lineLog()) ASSERT_NE(e.kind, LineEvent::Dropped);
}

}  // namespace
}  // namespace devtest
