// URBs: each one checked as it arrives (function, header length, pipe handle, buffers), the
// control transfers and SELECT_CONFIGURATION run against the device, and how a URB ends
// (completed, failed, cancelled).
#include <algorithm>
#include <cstring>
#include <memory>

#include "emulator/usbdevice/bus.h"
#include "emulator/usbdevice/bus_internal.h"

namespace emu::usb {

namespace {

VOID NTAPI CancelUrbRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusOf(device)->cancelUrb(irp);
}

NTSTATUS ToNtStatus(USBD_STATUS s) {
    switch (s) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_BANDWIDTH:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_UNSUCCESSFUL;
    }
}

bool EndpointIn(uint8_t address) { return address & 0x80; }

// Interrupt polling at full speed: the interval rounded down to a power of two, at most 32 frames.
uint32_t PollInterval(uint8_t bInterval) {
    uint32_t i = 1;
    while (i * 2 <= bInterval && i < 32) i *= 2;
    return i;
}

}  // namespace

// ---- Descriptors ---------------------------------------------------------------------------------------

Handshake UsbBus::deviceControl(const SetupPacket &s, std::span<uint8_t> data) {
    if (s.bmRequestType == 0x80 && s.bRequest == 0x06) {
        auto it = overrides_.find({uint8_t(s.wValue >> 8), uint8_t(s.wValue)});
        if (it != overrides_.end()) {
            for (const Override &o : it->second) {
                if (o.language && *o.language != s.wIndex) continue;
                size_t n = std::min(o.bytes.size(), data.size());
                if (n) std::memcpy(data.data(), o.bytes.data(), n);  // an empty override has no buffer
                return Handshake::Data(n);
            }
        }
    }
    return device_.control(s, data);
}

std::vector<uint8_t> UsbBus::descriptor(uint8_t type, uint8_t index, uint16_t language) {
    // Room for the longest answer, left unfilled: an answer writes every byte it counts, and a
    // 64 KiB fill on each look weighed on every plug-in, several times over under the sanitizers.
    constexpr size_t kRoom = 0xFFFF;
    const auto room = std::make_unique_for_overwrite<uint8_t[]>(kRoom);
    SetupPacket s{0x80, 0x06, uint16_t(type << 8 | index), language, uint16_t(kRoom)};
    Handshake h = deviceControl(s, {room.get(), kRoom});
    return {room.get(), room.get() + (h.kind == Handshake::Ack ? h.length : 0)};
}

// ---- URB submission ---------------------------------------------------------------------------------------

NTSTATUS UsbBus::internalDeviceControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return submit(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *out = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        bool on = plugged();
        if (out) *out = on ? USBD_PORT_CONNECTED | USBD_PORT_ENABLED : 0;
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        status = plugged() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Fills the setup packet and data buffer of a control-type URB; false when the URB is malformed.
bool UsbBus::prepareControl(PURB urb, Pending &p, USBD_STATUS &error) {
    const USHORT f = urb->UrbHeader.Function, length = urb->UrbHeader.Length;
    error = USBD_STATUS_INVALID_PARAMETER;
    PVOID buffer = nullptr;
    ULONG *transferLength = nullptr;
    SetupPacket &s = p.setup;
    auto recipient = [](USHORT first, USHORT f) { return uint8_t(f - first); };
    // The function's body when the header says the URB holds it (else NULL), its data stage noted.
    auto body = [&](auto &r) -> decltype(&r) {
        if (length < sizeof r) return nullptr;
        if constexpr (requires { r.TransferBuffer; }) {
            buffer = r.TransferBuffer;
            transferLength = &r.TransferBufferLength;
        }
        return &r;
    };
    switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        auto *r = body(urb->UrbControlDescriptorRequest);
        if (!r) return false;
        uint8_t to = f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0 : f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1 : 2;
        s = {uint8_t(0x80 | to), 0x06, uint16_t(r->DescriptorType << 8 | r->Index), r->LanguageId, 0};
        break;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
        auto *r = body(urb->UrbControlFeatureRequest);
        if (!r) return false;
        bool set = f <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
        uint8_t to = recipient(set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, f);
        s = {to, uint8_t(set ? 0x03 : 0x01), r->FeatureSelector, r->Index, 0};
        p.requested = 0;
        return true;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
        auto *r = body(urb->UrbControlGetStatusRequest);
        if (!r) return false;
        s = {uint8_t(0x80 | recipient(URB_FUNCTION_GET_STATUS_FROM_DEVICE, f)), 0x00, 0, r->Index, 0};
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto *r = body(urb->UrbControlVendorClassRequest);
        if (!r) return false;
        bool vendor = f == URB_FUNCTION_VENDOR_DEVICE || f == URB_FUNCTION_VENDOR_INTERFACE ||
                      f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
        uint8_t to = f == URB_FUNCTION_VENDOR_OTHER || f == URB_FUNCTION_CLASS_OTHER
                         ? 3
                         : recipient(vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE, f);
        uint8_t in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00;
        s = {uint8_t(in | (vendor ? 0x40 : 0x20) | to | (r->RequestTypeReservedBits & 0x1F)), r->Request, r->Value, r->Index, 0};
        break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto *r = body(urb->UrbControlTransfer);
        if (!r) return false;
        const UCHAR *b = r->SetupPacket;
        s = {b[0], b[1], uint16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8), 0};
        // The data stage's direction is the URB's, whatever the setup packet says.
        s.bmRequestType = uint8_t((s.bmRequestType & 0x7F) | ((r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0));
        break;
    }
    default:
        error = USBD_STATUS_INVALID_URB_FUNCTION;
        return false;
    }
    if (*transferLength > 0xFFFF || (*transferLength && !buffer)) return false;
    s.wLength = uint16_t(*transferLength);
    p.requested = *transferLength;
    p.buffer = static_cast<PUCHAR>(buffer);
    p.length = transferLength;
    return true;
}

// ---- The record ---------------------------------------------------------------------------------------

// The next URB's record, in the log's next place (the oldest record's, once the log is full).
UrbRecord &UsbBus::newRecord() {
    if (log_.size() < config_.urbLogCap) return log_.emplace_back();
    if (log_.empty()) return aside_[serial_ + 1];  // no log: pending records only
    UrbRecord &oldest = log_[logHead_];
    keepAside(oldest);
    oldest = {};
    logHead_ = (logHead_ + 1) % log_.size();
    logFirst_++;
    return oldest;
}

// A record leaving the log while its URB is pending: its completion still fills it in for the sink.
void UsbBus::keepAside(UrbRecord &r) {
    if (r.completed == -1) aside_.emplace(r.serial, std::move(r));
}

UrbRecord &UsbBus::recordOf(uint64_t serial) {
    if (serial - logFirst_ < log_.size()) return log_[(logHead_ + (serial - logFirst_)) % log_.size()];
    return aside_.at(serial);
}

void UsbBus::recordCompleted(UrbRecord &r, USBD_STATUS usbd, NTSTATUS status, ULONG length) {
    r.completed = Now();
    r.usbdStatus = usbd;
    r.status = status;
    r.length = length;
    completedCount_++;
    if (sink_) sink_->urbCompleted(r);
    if (!aside_.empty()) aside_.erase(r.serial);
}

NTSTATUS UsbBus::submit(PIRP irp, PURB urb) {
    USBD_STATUS now = USBD_STATUS_PENDING;  // anything else: complete in this call with it
    std::function<void()> after;
    bool cancelledAtOnce = false;
    {
        WorldGuard g(World().lock);
        if (!urb) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_PARAMETER;
        }
        UrbRecord &rec = newRecord();
        rec.serial = ++serial_;
        rec.function = urb->UrbHeader.Function;
        rec.submitted = Now();
        Pending p;
        p.irp = irp;
        p.urb = urb;
        p.serial = rec.serial;
        p.submitted = rec.submitted;
        const USHORT f = urb->UrbHeader.Function;
        Pipe *pipe = nullptr;
        USBD_STATUS error = USBD_STATUS_SUCCESS;

        if (!plugged_) {
            now = USBD_STATUS_DEVICE_GONE;
        } else if (f == URB_FUNCTION_SELECT_CONFIGURATION) {
            if (urb->UrbHeader.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) {
                now = USBD_STATUS_INVALID_PARAMETER;
            } else {
                // What goes on the wire, as far as the submission tells; the run confirms it.
                const auto *cd = urb->UrbSelectConfiguration.ConfigurationDescriptor;
                rec.hasSetup = true;
                rec.setup = SetupPacket{0x00, 0x09, uint16_t(cd ? cd->bConfigurationValue : 0), 0, 0};
            }
            p.select = true;
        } else if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || f == URB_FUNCTION_ABORT_PIPE ||
                   f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_RESET_PIPE ||
                   f == URB_FUNCTION_SYNC_CLEAR_STALL) {
            bool transfer = f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            size_t need = transfer ? sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) : sizeof(_URB_PIPE_REQUEST);
            Pipe *target = urb->UrbHeader.Length < need ? nullptr : pipeOf(urb->UrbPipeRequest.PipeHandle);
            if (urb->UrbHeader.Length < need) {
                now = USBD_STATUS_INVALID_PARAMETER;
            } else if (!target) {
                now = USBD_STATUS_INVALID_PIPE_HANDLE;
            } else if (!transfer) {
                Completions aborted;
                if (f == URB_FUNCTION_ABORT_PIPE) failQueue(target->queue, USBD_STATUS_CANCELED, aborted);
                after = Deliver(std::move(aborted));
                now = USBD_STATUS_SUCCESS;
            } else {
                pipe = target;
                auto &r = urb->UrbBulkOrInterruptTransfer;
                rec.endpoint = pipe->address;
                rec.pipeType = pipe->type;
                rec.transferFlags = r.TransferFlags;
                rec.requested = r.TransferBufferLength;
                p.requested = r.TransferBufferLength;
                p.buffer = static_cast<PUCHAR>(r.TransferBuffer);
                p.length = &r.TransferBufferLength;
                p.in = EndpointIn(pipe->address);
                if ((p.requested && !p.buffer) || pipe->maxPacket == 0) now = USBD_STATUS_INVALID_PARAMETER;
                else if (!p.in && sink_) rec.data.assign(p.buffer, p.buffer + p.requested);
            }
        } else if (f == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
            if (urb->UrbHeader.Length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) {
                now = USBD_STATUS_INVALID_PARAMETER;
            } else {
                urb->UrbGetCurrentFrameNumber.FrameNumber = frameNumber();
                now = USBD_STATUS_SUCCESS;
            }
        } else if (!prepareControl(urb, p, error)) {
            now = error;
        } else {
            p.in = p.setup.in();
            rec.hasSetup = true;
            rec.setup = p.setup;
            rec.requested = p.requested;
            rec.transferFlags = p.in ? USBD_TRANSFER_DIRECTION_IN : 0;
            if (!p.in && p.requested) rec.data.assign(p.buffer, p.buffer + p.requested);
        }
        if (sink_) sink_->urbSubmitted(rec);

        std::optional<FaultRule> fault;
        if (now == USBD_STATUS_PENDING && !faults_.empty()) fault = matchFault(f, p, pipe ? pipe->address : 0);
        if (fault && fault->action == FaultRule::Action::Disconnect) {
            after = disconnect();
            now = USBD_STATUS_DEVICE_GONE;
        }
        if (now != USBD_STATUS_PENDING) {
            urb->UrbHeader.Status = now;
            UrbRecord &r = recordOf(p.serial);
            r.fault = fault.has_value();
            recordCompleted(r, now, ToNtStatus(now), 0);
            if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && p.length) *p.length = 0;
        } else {
            if (fault) {
                recordOf(p.serial).fault = true;
                if (fault->action == FaultRule::Action::Stall)
                    p.fault = {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
                else if (fault->action == FaultRule::Action::Fail)
                    p.fault = {fault->usbdStatus, fault->status};
            }
            IoMarkIrpPending(irp);
            std::deque<Pending> &queue = fault && fault->action == FaultRule::Action::PendForever ? parked_
                                         : pipe                                                  ? pipe->queue
                                                                                                 : control_;
            // Queued before its cancel routine is set: a cancel routine waits for the world lock
            // and then finds it. A cancel that came first wins: the routine comes back unused.
            queue.push_back(p);
            IoSetCancelRoutine(irp, CancelUrbRoutine);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, NULL)) {
                queue.pop_back();
                cancelledAtOnce = true;
            }
            if (cancelledAtOnce) {
                urb->UrbHeader.Status = USBD_STATUS_CANCELED;
                recordCompleted(recordOf(p.serial), USBD_STATUS_CANCELED, STATUS_CANCELLED, 0);
            } else if (pipe && &queue == &pipe->queue) {
                scheduleFrameFor(*pipe);
            } else {
                scheduleFrame();
            }
        }
    }
    if (after) after();
    if (cancelledAtOnce) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    if (now == USBD_STATUS_PENDING) return STATUS_PENDING;
    NTSTATUS status = ToNtStatus(now);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

UsbBus::Pipe *UsbBus::pipeOf(USBD_PIPE_HANDLE handle) {
    for (Pipe &pipe : pipes_)
        if (pipe.handle == reinterpret_cast<uintptr_t>(handle)) return &pipe;
    return nullptr;
}

// ---- Completion ---------------------------------------------------------------------------------------

// Claims a pending URB for completion; false when its cancel routine has it.
bool UsbBus::take(Pending &p) {
    if (IoSetCancelRoutine(p.irp, NULL) == NULL) {
        p.cancelling = true;
        return false;
    }
    return true;
}

void UsbBus::finish(Pending &p, USBD_STATUS usbd, Completions &done) {
    NTSTATUS status = ToNtStatus(usbd);
    if (p.fault && usbd == p.fault->first) status = p.fault->second;
    p.urb->UrbHeader.Status = usbd;
    if (p.length) *p.length = p.done;
    p.irp->IoStatus.Status = status;
    p.irp->IoStatus.Information = 0;
    UrbRecord &r = recordOf(p.serial);
    if (p.in && p.done && (r.hasSetup || sink_)) r.data.assign(p.buffer, p.buffer + p.done);
    recordCompleted(r, usbd, status, p.done);
    done.push_back(p.irp);
}

void UsbBus::cancelUrb(PIRP irp) {
    bool found = false;
    {
        WorldGuard g(World().lock);
        auto pull = [&](std::deque<Pending> &q) {
            for (auto it = q.begin(); it != q.end(); ++it) {
                if (it->irp != irp) continue;
                Pending p = *it;
                q.erase(it);
                p.urb->UrbHeader.Status = USBD_STATUS_CANCELED;
                if (p.length && !p.select) *p.length = p.done;
                recordCompleted(recordOf(p.serial), USBD_STATUS_CANCELED, STATUS_CANCELLED, p.done);
                return true;
            }
            return false;
        };
        found = pull(control_) || pull(parked_);
        for (Pipe &pipe : pipes_)
            if (!found) found = pull(pipe.queue);
        if (found) scheduleFrame();
    }
    if (!found) return;  // its URB already left with another status
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Entries whose cancel routine already has them stay, for it to find.
void UsbBus::failQueue(std::deque<Pending> &queue, USBD_STATUS why, Completions &done) {
    std::deque<Pending> keep;
    for (Pending &p : queue) {
        if (!p.cancelling && take(p))
            finish(p, why, done);
        else
            keep.push_back(p);
    }
    queue.swap(keep);
}

void UsbBus::failEverything(USBD_STATUS why, Completions &done) {
    failQueue(control_, why, done);
    failQueue(parked_, why, done);
    for (Pipe &pipe : pipes_) failQueue(pipe.queue, why, done);
}

void UsbBus::closePipes(USBD_STATUS why, Completions &done) {
    for (Pipe &pipe : pipes_) {
        for (Pending &p : pipe.queue) {
            if (!p.cancelling && take(p))
                finish(p, why, done);
            else
                parked_.push_back(p);  // its cancel routine looks there
        }
    }
    pipes_.clear();
    bulkOrder_.clear();
}

// ---- Control transfers and configuration -------------------------------------------------------------

void UsbBus::runControl(Pending &p, Completions &done) {
    if (p.fault) return finish(p, p.fault->first, done);
    if (p.select) return runSelectConfiguration(p, done);
    std::vector<uint8_t> data(p.setup.wLength);
    if (!p.in && p.requested) std::memcpy(data.data(), p.buffer, p.requested);
    Handshake h = deviceControl(p.setup, data);
    if (h.kind != Handshake::Ack) return finish(p, USBD_STATUS_STALL_PID, done);
    if (p.in) {
        p.done = ULONG(std::min<size_t>(h.length, p.requested));
        if (p.done) std::memcpy(p.buffer, data.data(), p.done);
    } else {
        p.done = p.requested;
    }
    finish(p, USBD_STATUS_SUCCESS, done);
}

// Opens the pipes of the interfaces the URB lists, from the configuration descriptor the client
// hands in (as USBD does), after the device accepted SET_CONFIGURATION.
void UsbBus::runSelectConfiguration(Pending &p, Completions &done) {
    auto &sc = p.urb->UrbSelectConfiguration;
    auto *cd = sc.ConfigurationDescriptor;
    auto setConfiguration = [&](uint8_t value) {
        SetupPacket s{0x00, 0x09, value, 0, 0};
        UrbRecord &r = recordOf(p.serial);
        r.hasSetup = true;
        r.setup = s;
        return device_.control(s, {}).kind == Handshake::Ack;
    };
    if (!cd) {
        setConfiguration(0);
        closePipes(USBD_STATUS_CANCELED, done);
        return finish(p, USBD_STATUS_SUCCESS, done);
    }
    if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return finish(p, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, done);

    struct Plan {
        PUSBD_INTERFACE_INFORMATION info;
        PUSB_INTERFACE_DESCRIPTOR interface;
        std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    };
    std::vector<Plan> plans;
    auto *const base = reinterpret_cast<PUCHAR>(cd);
    auto *const end = base + cd->wTotalLength;
    auto *const urbEnd = reinterpret_cast<PUCHAR>(p.urb) + p.urb->UrbHeader.Length;
    auto *at = reinterpret_cast<PUCHAR>(&sc.Interface);
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    while (at + header <= urbEnd && plans.size() < 32) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length < header || info->Length > urbEnd - at) return finish(p, USBD_STATUS_INVALID_PARAMETER, done);
        Plan plan{info, nullptr, {}};
        // Walk the descriptors the way a hostile device cannot abuse: every step inside wTotalLength.
        for (PUCHAR d = base + cd->bLength; end - d >= 2;) {
            auto *common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(d);
            if (common->bLength < 2 || common->bLength > end - d) break;
            if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
                if (plan.interface) break;
                auto *id = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
                if (id->bInterfaceNumber == info->InterfaceNumber && id->bAlternateSetting == info->AlternateSetting)
                    plan.interface = id;
            } else if (plan.interface && common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                       common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                plan.endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d));
            }
            d += common->bLength;
        }
        if (!plan.interface) return finish(p, USBD_STATUS_INTERFACE_NOT_FOUND, done);
        if (plan.endpoints.size() != plan.interface->bNumEndpoints)
            return finish(p, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, done);
        if (info->Length < GET_USBD_INTERFACE_SIZE(plan.endpoints.size()))
            return finish(p, USBD_STATUS_BUFFER_TOO_SMALL, done);
        plans.push_back(std::move(plan));
        at += info->Length;
    }
    if (plans.empty()) return finish(p, USBD_STATUS_INVALID_PARAMETER, done);
    if (!setConfiguration(cd->bConfigurationValue)) return finish(p, USBD_STATUS_SET_CONFIG_FAILED, done);

    closePipes(USBD_STATUS_CANCELED, done);
    auto handle = [&] { return nextHandle_ += 0x40, reinterpret_cast<PVOID>(0x5B000000 + nextHandle_); };
    for (Plan &plan : plans) {
        PUSBD_INTERFACE_INFORMATION info = plan.info;
        info->Class = plan.interface->bInterfaceClass;
        info->SubClass = plan.interface->bInterfaceSubClass;
        info->Protocol = plan.interface->bInterfaceProtocol;
        info->InterfaceHandle = handle();
        info->NumberOfPipes = ULONG(plan.endpoints.size());
        for (size_t i = 0; i < plan.endpoints.size(); i++) {
            const USB_ENDPOINT_DESCRIPTOR &e = *plan.endpoints[i];
            USBD_PIPE_INFORMATION &pi = info->Pipes[i];
            pi.MaximumPacketSize = e.wMaxPacketSize;
            pi.EndpointAddress = e.bEndpointAddress;
            pi.Interval = e.bInterval;
            pi.PipeType = USBD_PIPE_TYPE(e.bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pi.PipeHandle = handle();
            Pipe &pipe = pipes_.emplace_back();
            pipe.handle = reinterpret_cast<uintptr_t>(pi.PipeHandle);
            pipe.address = e.bEndpointAddress;
            pipe.type = pi.PipeType;
            pipe.maxPacket = uint16_t(e.wMaxPacketSize & 0x7FF);
            pipe.interval = pi.PipeType == UsbdPipeTypeInterrupt ? PollInterval(e.bInterval) : 1;
        }
    }
    for (Pipe &pipe : pipes_)
        if (pipe.type == UsbdPipeTypeBulk) bulkOrder_.push_back(&pipe);
    sc.ConfigurationHandle = handle();
    finish(p, USBD_STATUS_SUCCESS, done);
}

}  // namespace emu::usb
