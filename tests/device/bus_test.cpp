// The bus below the port, driven by a client of its own.
#include "emulator/kernel/pnpmgr.h"
#include "tests/device/usb_client.h"

namespace devtest {
namespace {

// The records keep their last N entries, and a URB that left the log while pending still ends in
// its sink (where captures read it) and in the counts.
TEST(Bus, RecordsKeepTheLastEntriesAndTheSinkSeesEveryUrbToItsEnd) {
    emu::Machine machine;
    struct Sink : UrbSink {
        std::vector<uint64_t> submitted, completed;
        void urbSubmitted(const UrbRecord &r) override { submitted.push_back(r.serial); }
        void urbCompleted(const UrbRecord &r) override { completed.push_back(r.serial); }
    } sink;
    ChipConfig chip = ChipConfig::Variant(2);
    chip.lineLogCap = 3;
    BusConfig bus;
    bus.urbLogCap = 4;
    SimulatedDevice device(chip, bus);
    device.bus().setUrbSink(&sink);
    Client client(device.pdo());
    auto pipes = client.configure(2);  // URBs 1-3
    Loopback plug(device.chip());
    auto first = client.read(pipes.interruptIn, 10, USBD_TRANSFER_DIRECTION_IN);
    ASSERT_EQ(client.call(*first), STATUS_SUCCESS);  // 4: the status at configuration
    auto status = client.read(pipes.interruptIn, 10, USBD_TRANSFER_DIRECTION_IN);
    client.start(*status);  // 5, pending: nothing changes
    ASSERT_EQ(client.lineCoding(115200, 0, 0, 8), STATUS_SUCCESS);            // 6
    auto out = client.transfer(pipes.bulkOut, 0, {0x10, 0x11, 0x12, 0x13});  // 7
    ASSERT_EQ(client.call(*out), STATUS_SUCCESS);
    ASSERT_EQ(client.lineCoding(9600, 0, 0, 8), STATUS_SUCCESS);  // 8
    ASSERT_EQ(client.lineCoding(9600, 0, 0, 8), STATUS_SUCCESS);  // 9: the pending one leaves the log
    Delay(5 * kMillisecond);
    ASSERT_EQ(client.controlLines(0x01), STATUS_SUCCESS);  // 10: DSR, DCD, RI and a status packet follow
    ASSERT_TRUE(client.wait(*status));

    std::vector<uint64_t> kept;
    for (const UrbRecord &r : device.bus().urbLog()) kept.push_back(r.serial);
    EXPECT_EQ(kept, (std::vector<uint64_t>{7, 8, 9, 10}));
    EXPECT_EQ(device.bus().urbsSubmitted(), 10u);
    EXPECT_EQ(device.bus().urbsCompleted(), 10u);
    EXPECT_EQ(sink.submitted, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    ASSERT_EQ(sink.completed.size(), 10u);
    EXPECT_EQ(sink.completed.back(), 5u) << "the status read ends last, after it left the log";

    // The line: characters sent and looped back, then the inputs DTR raised; the last three events.
    auto line = device.chip().lineLog();
    ASSERT_EQ(line.size(), 3u);
    EXPECT_EQ(std::tuple(line[0].kind, line[0].wire.data, line[2].kind),
              std::tuple(LineEvent::Received, 0x13, LineEvent::Inputs));
    device.bus().setUrbSink(nullptr);
}

TEST(Bus, BulkPacketsShareAPerFrameBudget) {
    emu::Machine machine;
    ChipConfig config = ChipConfig::Variant(2);
    config.txFifoSize = 1 << 16;  // the bus, not the chip, sets the pace
    BusConfig bus;
    bus.bulkPacketsPerFrame = 19;
    SimulatedDevice device(config, bus);
    Client client(device.pdo());
    auto pipes = client.configure(2);
    Delay(kFrame + kFrame / 3);  // mid-frame: completion still waits for a boundary
    auto r = client.transfer(pipes.bulkOut, 0, std::vector<UCHAR>(4096, 0x42));
    const int64_t submitted = machine.now();
    ASSERT_EQ(client.call(*r), STATUS_SUCCESS);
    EXPECT_EQ(r->length(), 4096u);
    // 64 packets at 19 per frame: frames 1 to 4 after submission, completed there at DISPATCH_LEVEL.
    EXPECT_EQ(r->completedAt, (submitted / kFrame + 4) * kFrame);
    EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(device.bus().urbLog().back().submitted, submitted);
    EXPECT_EQ(device.bus().urbLog().back().completed, r->completedAt);
    EXPECT_EQ(device.chip().txFifoLevel(), 4096u);
}

TEST(Bus, ShortTransfersEndInTransfersAndFaultRulesFailTheRequestsTheyMatch) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(2));
    Client client(device.pdo());
    auto pipes = client.configure(2);
    ASSERT_EQ(client.lineCoding(115200, 0, 0, 8), STATUS_SUCCESS);

    auto strict = client.read(pipes.interruptIn, 20, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(client.call(*strict), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict->usbd(), USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(strict->length(), 10u);

    auto zero = client.transfer(pipes.bulkOut, 0, {});
    EXPECT_EQ(client.call(*zero), STATUS_SUCCESS);
    EXPECT_EQ(zero->length(), 0u);

    // Fault rules fail or disconnect the requests they match.
    device.bus().addFault(FaultRule::ForFunction(URB_FUNCTION_VENDOR_DEVICE)
                              .withValue(0x0002)
                              .after(1)
                              .times(2)
                              .fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_TIMEOUT));
    EXPECT_EQ(client.vendorWrite(0x0002, 1), STATUS_SUCCESS);
    EXPECT_EQ(client.vendorWrite(0x0002, 2), STATUS_IO_TIMEOUT);
    EXPECT_EQ(client.vendorWrite(0x0001, 3), STATUS_SUCCESS) << "another address";
    EXPECT_EQ(client.vendorWrite(0x0002, 4), STATUS_IO_TIMEOUT);
    EXPECT_EQ(client.vendorWrite(0x0002, 5), STATUS_SUCCESS);
    EXPECT_EQ(device.chip().reg(2), 5);
    auto log = device.bus().urbLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const UrbRecord &r) { return r.fault; }), 2);

    device.bus().addFault(FaultRule::ForEndpoint(0x02).after(2).disconnect());
    for (int i = 0; i < 2; i++) {
        auto w = client.transfer(pipes.bulkOut, 0, {UCHAR(i)});
        EXPECT_EQ(client.call(*w), STATUS_SUCCESS);
    }
    auto third = client.transfer(pipes.bulkOut, 0, {3});
    client.start(*third);
    EXPECT_EQ(third->returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(device.bus().plugged());
}

TEST(Bus, UnplugFailsPendingUrbsAndEveryLaterOne) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(0));
    Client client(device.pdo());
    auto pipes = client.configure(0);
    auto status = client.read(pipes.interruptIn, 10, USBD_TRANSFER_DIRECTION_IN);
    ASSERT_EQ(client.call(*status), STATUS_SUCCESS);  // the first report
    auto waiting = client.read(pipes.interruptIn, 10, USBD_TRANSFER_DIRECTION_IN);
    auto reading = client.read(pipes.bulkIn, 384);
    client.start(*waiting);
    client.start(*reading);
    const int64_t at = machine.now() + 7 * kMillisecond;
    device.bus().unplugAt(at);
    ASSERT_TRUE(client.wait(*waiting));
    ASSERT_TRUE(client.wait(*reading));
    for (Request *r : {waiting.get(), reading.get()}) {
        EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(r->usbd(), USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(std::tuple(r->completedAt, r->completionIrql), std::tuple(at, DISPATCH_LEVEL));
    }
    EXPECT_FALSE(device.bus().plugged());
    auto late = client.vendor(true, 0x0080, 0, 1);
    client.start(*late);
    EXPECT_EQ(late->returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(late->usbd(), USBD_STATUS_DEVICE_GONE);
}


TEST(Configuration, ReselectingHandsOutNewPipeHandlesAndRetiresTheOld) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(3));
    Client client(device.pdo());
    auto before = client.configure(3);
    auto after = client.configure(3);
    EXPECT_EQ(device.chip().setConfigurationCount(), 2);
    EXPECT_NE(before.bulkOut, after.bulkOut);
    auto stale = client.transfer(before.bulkOut, 0, {1, 2, 3});
    client.start(*stale);
    EXPECT_EQ(stale->returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
    auto fresh = client.transfer(after.bulkOut, 0, {1, 2, 3});
    EXPECT_EQ(client.call(*fresh), STATUS_SUCCESS);
    auto missing = client.descriptor(USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 64);
    EXPECT_EQ(client.call(*missing), STATUS_UNSUCCESSFUL);
}

// A configuration that claims 200 bytes and one interface with three endpoints, but holds one:
// served as it is, and its selection refused before SET_CONFIGURATION.
TEST(Bus, HostileConfigurationIsServedAsConfiguredAndItsSelectionRefused) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(2));
    std::vector<uint8_t> liar = {9, 2, 200, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0,
                                 7, 5, 0x81, 3, 10, 0, 1};
    device.bus().serveDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, liar);
    Client client(device.pdo());
    auto c = client.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 200);
    ASSERT_EQ(client.call(*c), STATUS_SUCCESS);
    EXPECT_EQ(c->urb.UrbControlDescriptorRequest.TransferBufferLength, liar.size());

    // The client's buffer holds 200 bytes, of which the tail is not descriptors.
    std::vector<uint8_t> config(200, 0);
    std::copy(liar.begin(), liar.end(), config.begin());
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    Request r;
    client.start(r, urb);
    ASSERT_TRUE(client.wait(r));
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    EXPECT_EQ(device.chip().setConfigurationCount(), 0);
    ExFreePool(urb);
}

TEST(BusPnp, SuspendedTheBusMovesNothingUntilD0) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(3));
    auto &pnp = machine.service<emu::PnpManager>();
    EXPECT_EQ(pnp.send(device.pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    // Suspended (D2), the bus moves nothing; back in D0 the waiting request completes.
    Client client(device.pdo());
    auto pipes = client.configure(3);
    Loopback plug(device.chip());
    ASSERT_EQ(client.lineCoding(9600, 0, 0, 8), STATUS_SUCCESS);
    EXPECT_EQ(pnp.sendPower(device.pdo(), IRP_MN_SET_POWER, DevicePowerState, {.DeviceState = PowerDeviceD2}), STATUS_SUCCESS);
    auto status = client.read(pipes.interruptIn, 10, USBD_TRANSFER_DIRECTION_IN);
    client.start(*status);
    EXPECT_FALSE(client.wait(*status, 20 * kMillisecond));
    EXPECT_EQ(pnp.sendPower(device.pdo(), IRP_MN_SET_POWER, DevicePowerState, {.DeviceState = PowerDeviceD0}), STATUS_SUCCESS);
    ASSERT_TRUE(client.wait(*status));
    EXPECT_EQ(status->status, STATUS_SUCCESS);
    EXPECT_EQ(pnp.send(device.pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

}  // namespace
}  // namespace devtest
