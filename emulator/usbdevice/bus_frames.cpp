// The host controller's frame scheduler: 1 ms frames, the interrupt endpoint polled at its
// interval, bulk packets round-robin within the frame's budget, and NAKed bulk OUT retried in the
// rest of the frame.
#include <algorithm>
#include <limits>

#include "emulator/usbdevice/bus.h"

namespace emu::usb {

int64_t UsbBus::nextFrameAfter(int64_t t, uint32_t interval) const {
    int64_t frame = t / kFrame + 1;
    frame = (frame + interval - 1) / interval * interval;
    return frame * kFrame;
}

// The frame in which `pipe` can move next; max when it has nothing the device would take now.
int64_t UsbBus::pipeFrame(Pipe &pipe, int64_t now) {
    if (pipe.queue.empty()) return std::numeric_limits<int64_t>::max();
    auto head = pipe.queue.begin();
    if (head->cancelling) head = std::find_if(head, pipe.queue.end(), [](const Pending &p) { return !p.cancelling; });
    if (head == pipe.queue.end() || head->serial == pipe.nakedHead) return std::numeric_limits<int64_t>::max();
    size_t size = std::min<size_t>(pipe.maxPacket, head->requested - head->done);
    return head->fault || device_.ready(pipe.address, size) ? nextFrameAfter(now, pipe.interval)
                                                            : std::numeric_limits<int64_t>::max();
}

void UsbBus::armFrame(int64_t at) {
    if (at == std::numeric_limits<int64_t>::max()) return;
    if (frameAt_ != -1 && frameAt_ <= at) return;
    frameAt_ = at;
    frameEvent_.arm(at);
}

void UsbBus::scheduleFrame() {
    if (!plugged_ || suspended_) return;
    const int64_t now = Now();
    // Nothing can run sooner than the next frame.
    if (frameAt_ != -1 && frameAt_ <= nextFrameAfter(now, 1)) return;
    int64_t best = std::numeric_limits<int64_t>::max();
    for (const Pending &p : control_)
        if (!p.cancelling) best = nextFrameAfter(now, 1);
    for (Pipe &pipe : pipes_) best = std::min(best, pipeFrame(pipe, now));
    armFrame(best);
}

// A URB just queued on `pipe`: every other pipe's answer is as the last look left it (the device
// wakes the bus when it can move more), so only this one needs asking.
void UsbBus::scheduleFrameFor(Pipe &pipe) {
    if (!plugged_ || suspended_) return;
    const int64_t now = Now();
    if (frameAt_ != -1 && frameAt_ <= nextFrameAfter(now, 1)) return;
    armFrame(pipeFrame(pipe, now));
}

// A device answers NAK again until it wakes the bus (the bus sleeps on that when nothing else
// moves), so an endpoint that NAKed is not asked again, frame after frame, until then.
void UsbBus::forgetNaks() {
    for (Pipe &pipe : pipes_) pipe.nakedHead = 0;
}

void UsbBus::wake() {
    wakes_++;
    forgetNaks();
    scheduleFrame();
    scheduleBulkOutRetry();
}

// Data arrived at an IN endpoint: its pipe is the only new candidate, and bulk OUT retries do not
// depend on it.
void UsbBus::wake(uint8_t address) {
    if (!(address & 0x80)) return wake();
    wakes_++;
    for (Pipe &pipe : pipes_)
        if (pipe.address == address) {
            pipe.nakedHead = 0;
            scheduleFrameFor(pipe);
        }
}

// One packet on a pipe: true when it moved data (or ended the transfer), false on NAK.
bool UsbBus::runPacket(Pipe &pipe, Completions &done) {
    Pending &p = pipe.queue.front();
    auto complete = [&](USBD_STATUS s) {
        if (take(p)) {
            finish(p, s, done);
            pipe.queue.pop_front();
        }
        return true;
    };
    if (p.fault) return complete(p.fault->first);
    size_t size = std::min<size_t>(pipe.maxPacket, p.requested - p.done);
    const uint64_t wakes = wakes_;
    Handshake h = p.in ? device_.in(pipe.address, std::span<uint8_t>(p.buffer + p.done, size))
                       : device_.out(pipe.address, std::span<const uint8_t>(p.buffer + p.done, size));
    if (h.kind == Handshake::Nak) {
        if (wakes == wakes_) pipe.nakedHead = p.serial;
        return false;
    }
    if (h.kind == Handshake::Stall) return complete(USBD_STATUS_STALL_PID);
    size_t n = p.in ? std::min(h.length, size) : size;
    p.done += ULONG(n);
    if (p.done == p.requested) return complete(USBD_STATUS_SUCCESS);
    if (p.in && n < pipe.maxPacket) {
        bool shortOk = p.urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK;
        return complete(shortOk ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
    }
    return true;
}

void UsbBus::runFrame(Completions &done) {
    frameAt_ = -1;
    if (!plugged_ || suspended_) return;
    const int64_t frameTime = Now();
    const uint32_t frame = uint32_t(frameTime / kFrame);
    // Only what was submitted before the frame began takes part in it.
    auto eligible = [&](const Pending &p) { return !p.cancelling && p.submitted < frameTime; };

    if (!control_.empty()) {
        std::deque<Pending> waiting;
        while (!control_.empty()) {
            Pending p = control_.front();
            control_.pop_front();
            if (!eligible(p) || !take(p)) {
                waiting.push_back(p);
            } else {
                runControl(p, done);
                forgetNaks();  // a request may change what any endpoint answers
            }
        }
        control_.swap(waiting);
    }

    for (Pipe &pipe : pipes_)
        if (pipe.type == UsbdPipeTypeInterrupt && frame % pipe.interval == 0 && !pipe.queue.empty() &&
            eligible(pipe.queue.front()) && !stillNaking(pipe))
            runPacket(pipe, done);

    frameStart_ = frameTime;
    const int moved = runBulk(config_.bulkPacketsPerFrame, false, done);
    bulkLeft_ = config_.bulkPacketsPerFrame - moved;
    bulkFreeAt_ = frameTime + moved * bulkSlot();
    scheduleFrame();
}

// Bulk packets of transfers that were there when the frame began, round-robin, one per endpoint
// per turn; returns how many moved.
int UsbBus::runBulk(int budget, bool outOnly, Completions &done) {
    // Packets only move data: the endpoints stay as they are while this runs.
    const size_t endpoints = bulkOrder_.size();
    if (endpoints == 0) return 0;
    const size_t first = bulkTurn_++ % endpoints;
    int moved = 0;
    for (bool any = true; any && moved < budget;) {
        any = false;
        for (size_t i = 0, at = first; i < endpoints && moved < budget; i++, at = at + 1 == endpoints ? 0 : at + 1) {
            Pipe &pipe = *bulkOrder_[at];
            if (!bulkEligible(pipe, outOnly) || stillNaking(pipe)) continue;
            if (runPacket(pipe, done)) {
                any = true;
                moved++;
            }
        }
    }
    return moved;
}

bool UsbBus::bulkEligible(const Pipe &pipe, bool outOnly) const {
    if (pipe.queue.empty()) return false;
    const Pending &head = pipe.queue.front();
    return !head.cancelling && head.submitted < frameStart_ && !(outOnly && head.in);
}

// A host controller keeps retrying a NAKed bulk OUT packet for the rest of the frame, so a transmit
// FIFO that drains more than a packet within the frame takes more than it had room for at its start.
// Bulk IN keeps frame-start timing: received data is polled once per frame.
void UsbBus::scheduleBulkOutRetry() {
    if (retryPending_ || bulkLeft_ == 0 || !plugged_ || suspended_) return;
    const int64_t at = std::max(Now(), bulkFreeAt_);
    if (at + bulkSlot() > frameStart_ + kFrame) return;
    const bool ready = std::any_of(pipes_.begin(), pipes_.end(), [&](const Pipe &pipe) {
        if (pipe.type != UsbdPipeTypeBulk || !bulkEligible(pipe, true)) return false;
        const Pending &head = pipe.queue.front();
        return head.fault || device_.ready(pipe.address, std::min<size_t>(pipe.maxPacket, head.requested - head.done));
    });
    if (!ready) return;
    retryPending_ = true;
    retryEvent_.arm(at);
}

void UsbBus::retryBulkOut(Completions &done) {
    retryPending_ = false;
    if (!plugged_ || suspended_) return;
    const int64_t now = Now();
    const int slots = std::min<int>(bulkLeft_, int((frameStart_ + kFrame - now) / bulkSlot()));
    if (slots <= 0) return;
    const int moved = runBulk(slots, true, done);
    bulkLeft_ -= moved;
    bulkFreeAt_ = now + moved * bulkSlot();
    scheduleFrame();
}

UsbBus::Completions &UsbBus::ProcessorCompletions() {
    thread_local Completions done;
    return done;
}

void UsbBus::DeliverProcessorCompletions() {
    // Taken out first: a completion routine may start another delivery on this thread.
    Completions done;
    done.swap(ProcessorCompletions());
    for (PIRP irp : done) IoCompleteRequest(irp, IO_NO_INCREMENT);
    done.clear();
    if (ProcessorCompletions().empty()) done.swap(ProcessorCompletions());
}

}  // namespace emu::usb
