// The simulated USB bus below the port: the physical device object (PDO) a hub creates for one
// device, the URBs it accepts through IOCTL_INTERNAL_USB_SUBMIT_URB, and the host controller that
// moves them in 1 ms full-speed frames.
//
// Timing. A URB is accepted at once (STATUS_PENDING) and completes on an emulated processor at
// DISPATCH_LEVEL, at a frame boundary: control transfers in the frame after submission; the
// interrupt endpoint is polled in frames that are multiples of its interval (bInterval rounded
// down to a power of two); bulk endpoints share a budget of 64-byte packets per frame in
// round-robin, one packet per endpoint per turn, an endpoint that NAKs giving up its turn; a bulk
// OUT endpoint that NAKed is retried later in the frame once the device has room, each packet
// taking its share (1 ms / budget) of the frame. An IN
// transfer ends with its length filled or with a short packet (which without
// USBD_SHORT_TRANSFER_OK fails with USBD_STATUS_ERROR_SHORT_TRANSFER). When every pending transfer
// is NAKing, no frames run until the device says it can move (UsbHostPort::wake), which gives the
// same timing as polling every frame without spending events on idle frames.
//
// Failures. A URB sent after the device was unplugged fails at once with
// STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE, and URBs pending at the unplug complete
// that way. A STALL handshake gives USBD_STATUS_STALL_PID / STATUS_UNSUCCESSFUL. A cancelled URB
// completes STATUS_CANCELLED / USBD_STATUS_CANCELED. Malformed URBs (unknown function, bad pipe
// handle, header length smaller than the function's body) fail at once with STATUS_INVALID_PARAMETER.
// Each SELECT_CONFIGURATION hands out new pipe handles; the previous ones stop working.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "emulator/usbdevice/usb_function.h"
#include "emulator/usbdevice/world.h"
#include "platform/host/usb.h"

namespace emu::usb {

struct BusConfig {
    int bulkPacketsPerFrame = 19;  // full-speed bulk bandwidth left after periodic and control traffic
    ULONG portNumber = 1;          // DEVICE_CAPABILITIES Address and UINumber
    size_t urbLogCap = 100000;     // urbLog() keeps the last this many URBs; 0 keeps none
};

// One URB as the bus saw it.
struct UrbRecord {
    uint64_t serial = 0;
    USHORT function = 0;
    int64_t submitted = 0;
    int64_t completed = -1;  // -1 while pending
    bool hasSetup = false;
    SetupPacket setup;       // control transfers (SELECT_CONFIGURATION: the SET_CONFIGURATION sent)
    uint8_t endpoint = 0;    // bulk and interrupt transfers
    USBD_PIPE_TYPE pipeType = UsbdPipeTypeControl;  // of `endpoint`
    ULONG transferFlags = 0;
    ULONG requested = 0;     // TransferBufferLength at submission
    ULONG length = 0;        // TransferBufferLength at completion
    // OUT: as submitted; IN: as delivered. Bulk and interrupt data only while a sink listens:
    // copying every packet into the log cost more than moving it.
    std::vector<uint8_t> data;
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    bool fault = false;      // a fault rule decided the outcome
};

// Sees every URB as the bus records it, under the world lock: at submission (setup and OUT data
// filled in) and when it ends (status, length, IN data). Captures stream from here.
class UrbSink {
public:
    virtual ~UrbSink() = default;
    virtual void urbSubmitted(const UrbRecord &r) = 0;
    virtual void urbCompleted(const UrbRecord &r) = 0;
};

// A fault injected into the bus. A URB matches when every field that is set matches. The first
// `skip` matches pass untouched; the next `count` (-1: all) get the action.
struct FaultRule {
    enum class Action { Fail, Stall, PendForever, Disconnect };
    std::optional<USHORT> function;   // URB_FUNCTION_*
    std::optional<uint8_t> endpoint;  // bulk/interrupt transfers on this endpoint address
    std::optional<uint8_t> request;   // bRequest of control transfers
    std::optional<uint16_t> value;    // wValue of control transfers
    int skip = 0;
    int count = 1;
    Action action = Action::Fail;
    USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;  // Fail
    NTSTATUS status = STATUS_UNSUCCESSFUL;                    // Fail

    // FaultRule::ForRequest(0x20).stall(), FaultRule::ForEndpoint(0x02).after(2).disconnect() ...
    static FaultRule Any() { return {}; }
    static FaultRule ForFunction(USHORT f) { return Any().withFunction(f); }
    static FaultRule ForEndpoint(uint8_t address) { return Any().withEndpoint(address); }
    static FaultRule ForRequest(uint8_t bRequest) { return Any().withRequest(bRequest); }
    FaultRule &withFunction(USHORT f) { return function = f, *this; }
    FaultRule &withEndpoint(uint8_t address) { return endpoint = address, *this; }
    FaultRule &withRequest(uint8_t bRequest) { return request = bRequest, *this; }
    FaultRule &withValue(uint16_t wValue) { return value = wValue, *this; }
    FaultRule &after(int n) { return skip = n, *this; }
    FaultRule &times(int n) { return count = n, *this; }
    FaultRule &fail(USBD_STATUS usbd, NTSTATUS nt) { return action = Action::Fail, usbdStatus = usbd, status = nt, *this; }
    FaultRule &stall() { return action = Action::Stall, *this; }
    FaultRule &pendForever() { return action = Action::PendForever, *this; }
    FaultRule &disconnect() { return action = Action::Disconnect, *this; }
};

class UsbBus : public UsbHostPort {
public:
    // Creates the PDO (\Device\USBPDO-n) for `device`, as a hub does when the device appears.
    // PASSIVE_LEVEL, on a machine thread. Without memory for it the hub never reports the device:
    // pdo() is NULL and the bus is unplugged.
    explicit UsbBus(UsbFunction &device, BusConfig config = {});
    ~UsbBus() override;
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    PDEVICE_OBJECT pdo() const { return pdo_; }

    // Pulls the device out now: pending URBs fail with DEVICE_GONE (completed on an emulated
    // processor), later ones fail at once. The PnP side (surprise removal) is the caller's.
    void unplug();
    void unplugAt(int64_t when);
    bool plugged() const;
    // A WAIT_WAKE request is held, ready for a remote wake-up to complete it.
    bool waitWakeArmed() const;

    void addFault(FaultRule rule);
    void clearFaults();
    // Serves these bytes for GET_DESCRIPTOR(type, index) instead of the device's own (any
    // language unless given), whatever they claim about themselves.
    void serveDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t> bytes,
                         std::optional<uint16_t> language = std::nullopt);

    // The last BusConfig::urbLogCap URBs, oldest first; a pending one shows completed == -1.
    std::vector<UrbRecord> urbLog() const;
    void clearUrbLog();
    // URBs submitted and completed since the bus was made, whatever the log kept.
    uint64_t urbsSubmitted() const;
    uint64_t urbsCompleted() const;
    void setUrbSink(UrbSink *sink);  // nullptr: none
    size_t pendingUrbs() const;
    uint32_t frameNumber() const;
    DEVICE_POWER_STATE powerState() const;
    // While on, the next device set-power request waits at the bus (a power transition caught
    // half-way); turning it off, or pulling the device out, lets it finish.
    void holdDevicePower(bool hold);
    bool holdingDevicePower() const;

    // UsbHostPort (called by the device under the world lock).
    void wake() override;
    void wake(uint8_t address) override;
    void remoteWake() override;

    // Dispatch entry points of the bus driver (public for its dispatch table).
    NTSTATUS internalDeviceControl(PIRP irp);
    NTSTATUS pnp(PIRP irp);
    NTSTATUS power(PIRP irp);
    void cancelUrb(PIRP irp);
    void cancelWaitWake(PIRP irp);

private:
    struct Pending {
        PIRP irp = nullptr;
        PURB urb = nullptr;
        uint64_t serial = 0;  // of its record
        int64_t submitted = 0;
        SetupPacket setup;
        bool select = false;
        bool in = false;
        PUCHAR buffer = nullptr;
        ULONG *length = nullptr;  // the URB's TransferBufferLength
        ULONG requested = 0;
        ULONG done = 0;
        bool cancelling = false;  // its cancel routine owns it now
        std::optional<std::pair<USBD_STATUS, NTSTATUS>> fault;
    };
    struct Pipe {
        uintptr_t handle = 0;
        uint8_t address = 0;
        USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
        uint16_t maxPacket = 64;
        uint32_t interval = 1;  // frames between interrupt polls
        std::deque<Pending> queue;
        uint64_t nakedHead = 0;  // serial of the head URB that NAKed, until the device wakes the pipe
    };
    using Completions = std::vector<PIRP>;  // to complete once the world lock is released

    NTSTATUS submit(PIRP irp, PURB urb);
    bool prepareControl(PURB urb, Pending &p, USBD_STATUS &error);
    std::optional<FaultRule> matchFault(USHORT function, const Pending &p, uint8_t endpoint);
    void runControl(Pending &p, Completions &done);
    void runSelectConfiguration(Pending &p, Completions &done);
    bool runPacket(Pipe &pipe, Completions &done);
    void failQueue(std::deque<Pending> &queue, USBD_STATUS why, Completions &done);
    Handshake deviceControl(const SetupPacket &setup, std::span<uint8_t> data);
    bool take(Pending &p);
    void finish(Pending &p, USBD_STATUS usbd, Completions &done);
    void runFrame(Completions &done);
    void scheduleFrame();
    void scheduleFrameFor(Pipe &pipe);
    int64_t pipeFrame(Pipe &pipe, int64_t now);
    Pipe *pipeOf(USBD_PIPE_HANDLE handle);
    bool stillNaking(const Pipe &pipe) const { return pipe.queue.front().serial == pipe.nakedHead; }
    void forgetNaks();
    void armFrame(int64_t at);
    int runBulk(int budget, bool outOnly, Completions &done);
    bool bulkEligible(const Pipe &pipe, bool outOnly) const;
    void scheduleBulkOutRetry();
    void retryBulkOut(Completions &done);
    int64_t bulkSlot() const { return kFrame / std::max(1, config_.bulkPacketsPerFrame); }
    int64_t nextFrameAfter(int64_t t, uint32_t interval) const;
    void closePipes(USBD_STATUS why, Completions &done);
    void failEverything(USBD_STATUS why, Completions &done);
    std::function<void()> disconnect();
    std::vector<uint8_t> descriptor(uint8_t type, uint8_t index, uint16_t language);
    static std::function<void()> Deliver(Completions done);
    // The recurring events fill the running processor's list under the world lock and complete
    // it after releasing the lock, without a heap allocation once the list has grown.
    static Completions &ProcessorCompletions();
    static void DeliverProcessorCompletions();
    void applyPowerLocked(DEVICE_POWER_STATE state);
    std::function<void()> releasePowerLocked();
    UrbRecord &newRecord();
    UrbRecord &recordOf(uint64_t serial);
    void keepAside(UrbRecord &r);
    void recordCompleted(UrbRecord &r, USBD_STATUS usbd, NTSTATUS status, ULONG length);

    UsbFunction &device_;
    BusConfig config_;
    EventOwner events_;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool plugged_ = true;
    bool started_ = false;
    bool suspended_ = false;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;
    PIRP waitWake_ = nullptr;
    bool holdPower_ = false;
    PIRP heldPower_ = nullptr;

    std::deque<Pending> control_;
    std::deque<Pending> parked_;
    std::vector<Pipe> pipes_;  // in the order of their handles
    uintptr_t nextHandle_ = 0;
    std::vector<Pipe *> bulkOrder_;  // into pipes_, which stays as it is until cleared with it
    size_t bulkTurn_ = 0;
    int64_t frameAt_ = -1;
    TimedEvent frameEvent_;
    // The frame that ran last: bulk packets it has left, and when the bus is free for the next.
    int64_t frameStart_ = 0;
    int bulkLeft_ = 0;
    int64_t bulkFreeAt_ = 0;
    bool retryPending_ = false;
    TimedEvent retryEvent_;
    uint64_t wakes_ = 0;  // wake() calls: a NAK answered across one may not hold

    std::vector<FaultRule> faults_;
    struct Override {
        std::optional<uint16_t> language;
        std::vector<uint8_t> bytes;
    };
    std::map<std::pair<uint8_t, uint8_t>, std::vector<Override>> overrides_;
    // The log: a ring of the last urbLogCap records, the oldest at logHead_ once it is full, its
    // serials consecutive from logFirst_. A pending URB whose record left it keeps it aside.
    std::vector<UrbRecord> log_;
    size_t logHead_ = 0;
    uint64_t logFirst_ = 1;
    std::unordered_map<uint64_t, UrbRecord> aside_;
    uint64_t serial_ = 0;
    uint64_t completedCount_ = 0;
    UrbSink *sink_ = nullptr;
};

}  // namespace emu::usb
