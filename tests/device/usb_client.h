// A minimal USB client for the device-model tests: builds URBs with the UsbBuild* macros and sends
// them to the PDO in IRPs of its own, as a client driver does, from a PASSIVE_LEVEL test thread.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "emulator/kernel/iomgr.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"
#include "platform/host/usb.h"
#include "tests/emulator/kernel_test_support.h"

namespace devtest {

using namespace emu::usb;

using kt::Delay;

// One URB in flight: its own IRP, completion noted by the routine below.
struct Request {
    URB urb{};
    std::vector<UCHAR> buffer;
    PIRP irp = nullptr;
    KEVENT done;
    NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver answered
    NTSTATUS status = STATUS_PENDING;    // the IRP's final status
    KIRQL completionIrql = 0xFF;
    int64_t completedAt = -1;

    Request() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    ~Request() {
        if (!irp) return;
        // A request a failed test left behind is cancelled, not abandoned to the bus.
        if (KeReadStateEvent(&done) == 0) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
        // The I/O manager marks a reclaimed IRP as out of the driver only after the completion
        // routine returns, a moment after it signalled us; wait for that before freeing it.
        auto &io = emu::Machine::current().service<emu::IoManager>();
        for (;;) {
            {
                std::lock_guard g(io.lock);
                auto it = io.irps.find(irp);
                if (it == io.irps.end() || !it->second.inDriver) break;
            }
            std::this_thread::yield();
        }
        IoFreeIrp(irp);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    USBD_STATUS usbd() const { return urb.UrbHeader.Status; }
    ULONG length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

inline NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *r = static_cast<Request *>(context);
    r->status = irp->IoStatus.Status;
    r->completionIrql = KeGetCurrentIrql();
    r->completedAt = emu::Machine::current().now();
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class Client {
public:
    explicit Client(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

    // Sends the request's URB (or `urb`, completing the request) and returns at once.
    void start(Request &r, PURB urb = nullptr) {
        r.irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb ? urb : &r.urb;
        IoSetCompletionRoutine(r.irp, RequestDone, &r, TRUE, TRUE, TRUE);
        r.returned = IoCallDriver(pdo_, r.irp);
    }
    // Waits for completion; false after `timeout` (100 ns units) of emulated time.
    bool wait(Request &r, int64_t timeout = 10 * kSecond) {
        LARGE_INTEGER t;
        t.QuadPart = -timeout;
        return KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    NTSTATUS call(Request &r) {
        start(r);
        EXPECT_TRUE(wait(r)) << "URB function " << r.urb.UrbHeader.Function << " never completed";
        return r.status;
    }

    // ---- URB builders ----
    std::unique_ptr<Request> descriptor(UCHAR type, UCHAR index, USHORT language, ULONG length) {
        auto r = std::make_unique<Request>();
        r->buffer.assign(length, 0xEE);
        UsbBuildGetDescriptorRequest(&r->urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                     r->buffer.data(), NULL, length, NULL);
        return r;
    }
    std::unique_ptr<Request> vendor(bool in, USHORT value, USHORT index, ULONG length = 0) {
        auto r = std::make_unique<Request>();
        r->buffer.assign(length ? length : 1, 0xEE);
        UsbBuildVendorRequest(&r->urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, 0x01, value, index,
                              length ? r->buffer.data() : NULL, NULL, length, NULL);
        return r;
    }
    std::unique_ptr<Request> classOut(UCHAR request, USHORT value, std::vector<UCHAR> data = {}) {
        auto r = std::make_unique<Request>();
        r->buffer = data.empty() ? std::vector<UCHAR>(1) : data;
        UsbBuildVendorRequest(&r->urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                              request, value, 0, data.empty() ? NULL : r->buffer.data(), NULL, ULONG(data.size()),
                              NULL);
        return r;
    }
    std::unique_ptr<Request> transfer(USBD_PIPE_HANDLE pipe, ULONG flags, std::vector<UCHAR> data) {
        auto r = std::make_unique<Request>();
        r->buffer = data.empty() ? std::vector<UCHAR>(1) : data;
        UsbBuildInterruptOrBulkTransferRequest(&r->urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               r->buffer.data(), NULL, ULONG(data.size()), flags, NULL);
        return r;
    }
    std::unique_ptr<Request> read(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags = USBD_TRANSFER_DIRECTION_IN |
                                                                                       USBD_SHORT_TRANSFER_OK) {
        return transfer(pipe, flags, std::vector<UCHAR>(length, 0xEE));
    }

    // ---- Common sequences ----
    NTSTATUS vendorWrite(USHORT address, USHORT value) {
        auto r = vendor(false, address, value);
        return call(*r);
    }
    NTSTATUS lineCoding(uint32_t rate, UCHAR stop, UCHAR parity, UCHAR bits) {
        auto r = classOut(0x20, 0, {UCHAR(rate), UCHAR(rate >> 8), UCHAR(rate >> 16), UCHAR(rate >> 24), stop, parity, bits});
        return call(*r);
    }
    NTSTATUS controlLines(USHORT lines) {
        auto r = classOut(0x22, lines);
        return call(*r);
    }

    struct Pipes { USBD_PIPE_HANDLE interruptIn = nullptr, bulkOut = nullptr, bulkIn = nullptr; };
    // Reads the configuration and selects it as the driver does: one interface with pipes 0, 1, 2,
    // or two interfaces (matched by class triples) with the bulk pair in the second.
    Pipes configure(int chipType) {
        auto header = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
        EXPECT_EQ(call(*header), STATUS_SUCCESS);
        USHORT total = USHORT(header->buffer[2] | header->buffer[3] << 8);
        auto full = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total);
        EXPECT_EQ(call(*full), STATUS_SUCCESS);
        auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full->buffer.data());
        USBD_INTERFACE_LIST_ENTRY list[3] = {};
        if (cd->bNumInterfaces == 1) {
            list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
        } else {
            bool cdc = chipType == 0;
            list[0].InterfaceDescriptor =
                USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, cdc ? 0x02 : 0xFF, cdc ? 0x02 : 0xFF, 0xFF);
            list[1].InterfaceDescriptor =
                USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, cdc ? 0x0A : 0xFF, cdc ? 0x00 : 0xFF, cdc ? 0x00 : 0xFF);
        }
        Pipes pipes;
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
        EXPECT_NE(urb, nullptr);
        if (!urb) return pipes;
        Request r;
        start(r, urb);
        EXPECT_TRUE(wait(r));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        PUSBD_INTERFACE_INFORMATION first = list[0].Interface, bulk = list[1].Interface ? list[1].Interface : first;
        ULONG b = list[1].Interface ? 0 : 1;
        if (first && first->NumberOfPipes) pipes.interruptIn = first->Pipes[0].PipeHandle;
        if (bulk && bulk->NumberOfPipes >= b + 2) {
            pipes.bulkOut = bulk->Pipes[b].PipeHandle;
            pipes.bulkIn = bulk->Pipes[b + 1].PipeHandle;
        }
        ExFreePool(urb);
        return pipes;
    }

private:
    PDEVICE_OBJECT pdo_;
};

// Reads everything the bulk IN pipe delivers until `count` bytes arrived or `deadline` passed.
inline std::vector<UCHAR> ReadBulk(Client &client, USBD_PIPE_HANDLE pipe, size_t count, int64_t deadline) {
    std::vector<UCHAR> got;
    while (got.size() < count && emu::Machine::current().now() < deadline) {
        auto r = client.read(pipe, 384);
        client.start(*r);
        if (!client.wait(*r, deadline - emu::Machine::current().now())) {
            IoCancelIrp(r->irp);
            client.wait(*r);
            break;
        }
        if (!NT_SUCCESS(r->status)) break;
        got.insert(got.end(), r->buffer.begin(), r->buffer.begin() + r->length());
    }
    return got;
}

}  // namespace devtest
