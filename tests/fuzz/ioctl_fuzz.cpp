// Device-control requests from a hostile application, through the Win32 side: any code (the serial family, the
// private family, or any 32-bit value), any input and output lengths and contents, mixed with reads and writes on the
// open port. Every request must end, with no more output than its buffer holds; the port must leave no pool behind.
#include "platform/host/ntddser.h"
#include "tests/fuzz/fuzz_input.h"
#include "tools/miravo/lab.h"

using namespace win32;

namespace {

struct Request {
    OVERLAPPED ov{};
    Request() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { CloseHandle(ov.hEvent); }
    // Gives the request a while, then takes it back; one that outlives its cancel is a finding.
    DWORD finish(HANDLE h, BOOL done, DWORD &n) {
        if (!done && GetLastError() != ERROR_IO_PENDING) return GetLastError();
        if (!done) fuzz::Settle(h, ov.hEvent, 100);
        return GetOverlappedResult(h, &ov, &n, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
};

DWORD Code(fuzz::Input &in) {
    const uint8_t pick = in.byte();
    switch (pick & 3) {
    case 0: return CTL_CODE(FILE_DEVICE_SERIAL_PORT, (pick >> 2) % 42, METHOD_BUFFERED, FILE_ANY_ACCESS);
    case 1: return 0x222000 + 4 * ((pick >> 2) % 24);
    case 2: return CTL_CODE(FILE_DEVICE_SERIAL_PORT, (pick >> 2) % 42, (pick >> 6) & 3, FILE_ANY_ACCESS);
    default: return in.u32();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    lab::Bench bench;
    if (!bench.ready()) fuzz::Finding("the port did not start");
    HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) fuzz::Finding("COM3 did not open");
    for (int op = 0; op < 24 && !in.empty(); op++) {
        const uint8_t kind = in.byte();
        Request r;
        DWORD n = 0;
        if (kind < 0xF0) {
            const DWORD code = Code(in);
            const DWORD inLength = in.u16() % 600, outLength = in.u16() % 600;
            std::vector<uint8_t> input = in.bytes(inLength), output(outLength, 0xCC);
            input.resize(inLength);
            // An empty buffer is passed as none, as applications do.
            r.finish(h,
                     DeviceIoControl(h, code, inLength ? input.data() : nullptr, inLength,
                                     outLength ? output.data() : nullptr, outLength, nullptr, &r.ov),
                     n);
            if (n > outLength) fuzz::Finding("more output than the buffer holds");
        } else if (kind < 0xF8) {
            std::vector<uint8_t> bytes = in.bytes(in.byte());
            r.finish(h, WriteFile(h, bytes.data(), DWORD(bytes.size()), nullptr, &r.ov), n);
            if (n > bytes.size()) fuzz::Finding("a write sent more than it had");
        } else {
            std::vector<uint8_t> buffer(in.byte());
            r.finish(h, ReadFile(h, buffer.data(), DWORD(buffer.size()), nullptr, &r.ov), n);
            if (n > buffer.size()) fuzz::Finding("a read returned more than its buffer");
        }
    }
    if (!CloseHandle(h)) fuzz::Finding("the close failed");
    if (bench.shutDown()) fuzz::Finding("'COMX' pool left after removal");
    return 0;
}
