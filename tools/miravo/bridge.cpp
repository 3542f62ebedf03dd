#include "tools/miravo/bridge.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator/usbdevice/pty_peer.h"
#include "emulator/usbdevice/world.h"

using namespace win32;

namespace lab {

namespace {

constexpr DWORD kSliceMs = 50;  // how long a wait goes before it looks at g_quit

// A device that sends back every character it receives, set to the chip's line settings as they
// change: unlike the loopback plug it frames each character again and drives its own modem lines.
class EchoPeer : public emu::usb::ScriptedPeer {
public:
    explicit EchoPeer(emu::usb::BridgeChip &chip) : ScriptedPeer(chip, chip.format()) {
        setLines({true, true, true, false});
        followRts(true);
    }
    void chipChar(const emu::usb::WireChar &c) override {
        if (!(peerFormat() == c.format)) setFormat(c.format);
        const emu::usb::Decoded d = emu::usb::Decode(c, c.format);
        if (!d.breakDetected) send(std::span<const uint8_t>(&d.data, 1));
    }
};

void OnSignal(int) { g_quit = true; }

}  // namespace

std::atomic<bool> g_quit{false};

void CatchSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const char kFarHelp[] =
    "  --far END       what is plugged into the chip's connector: loopback (default; TX to RX,\n"
    "                  RTS to CTS, DTR to DSR and DCD), echo (a device that sends every character\n"
    "                  back, at the port's settings), pty (a pseudo-terminal whose program is\n"
    "                  the device; CTS, DSR and DCD on; its path is printed)\n"
    "  --far-link PATH with --far pty: a symbolic link at PATH to the far end's terminal\n"
    "  -h, --help      this text\n";

int FarChoice::take(int argc, char **argv, int &i) {
    const std::string_view arg = argv[i];
    if ((arg != "--far" && arg != "--far-link") || i + 1 >= argc) return 0;
    const std::string_view value = argv[++i];
    if (arg == "--far-link") {
        link = value;
        return 1;
    }
    if (value == "loopback") far = Far::Loopback;
    else if (value == "echo") far = Far::Echo;
    else if (value == "pty") far = Far::Pty;
    else {
        std::fprintf(stderr, "miravo: --far takes loopback, echo or pty, not '%s'\n", argv[i]);
        return -1;
    }
    return 1;
}

int ParseOptions(int argc, char **argv, FarChoice &far, void (*usage)(FILE *), const std::function<int(int &i)> &own) {
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        int taken = far.take(argc, argv, i);
        if (taken == 0) taken = own(i);
        if (taken < 0) return 2;
        if (taken > 0) continue;
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        std::fprintf(stderr, "miravo: unknown argument '%s'\n\n", argv[i]);
        usage(stderr);
        return 2;
    }
    return far.valid() ? -1 : 2;
}

bool FarChoice::valid() const {
    if (link.empty() || far == Far::Pty) return true;
    std::fprintf(stderr, "miravo: --far-link needs --far pty\n");
    return false;
}

bool Link::make(const std::string &path, const std::string &target) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "miravo: cannot link %s to %s: it exists and is not a symbolic link\n", path.c_str(),
                         target.c_str());
            return false;
        }
        unlink(path.c_str());  // left by an earlier run
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "miravo: cannot link %s to %s: %s\n", path.c_str(), target.c_str(), std::strerror(errno));
        return false;
    }
    path_ = path;
    target_ = target;
    return true;
}

Link::~Link() {
    if (path_.empty()) return;
    char buffer[4096];
    const ssize_t n = readlink(path_.c_str(), buffer, sizeof buffer);
    if (n >= 0 && std::string(buffer, size_t(n)) == target_) unlink(path_.c_str());
}

std::string Describe(const DCB &dcb) {
    static constexpr char kParity[] = "NOEMS";
    static constexpr const char *kStop[] = {"1", "1.5", "2"};
    char text[128];
    std::snprintf(text, sizeof text, "%lu baud %u%c%s", static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize,
                  dcb.Parity < 5 ? kParity[dcb.Parity] : '?', dcb.StopBits < 3 ? kStop[dcb.StopBits] : "?");
    std::string s = text;
    if (dcb.fOutxCtsFlow) s += ", RTS/CTS";
    if (dcb.fOutX) s += ", XON/XOFF out";
    if (dcb.fInX) s += ", XON/XOFF in";
    return s;
}

void WriteAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0 && !g_quit) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, int(kSliceMs));
        } else {
            return;  // nobody to take it: dropped, as a port with no reader drops
        }
    }
}

LivePort::LivePort() = default;

LivePort::~LivePort() {
    stopReceiving();
    if (com_ != INVALID_HANDLE_VALUE) CloseHandle(com_);
    peer_.reset();  // before the chip it is plugged into
    if (bench_) bench_->shutDown();
}

std::string LivePort::farDescription() const {
    switch (far_) {
    case Far::Loopback: return "loopback plug";
    case Far::Echo: return "echo device";
    case Far::Pty: return "pty " + farPath_;
    }
    return {};
}

bool LivePort::open(const FarChoice &choice) {
    const Far far = far_ = choice.far;
    Options options;
    options.machine.virtualClock = false;
    options.chip.keepLineLog = false;  // a session may run for days
    options.farEnd = far == Far::Loopback ? FarEnd::Loopback : FarEnd::Nothing;
    bench_ = std::make_unique<Bench>(options);
    if (!bench_->ready()) return false;
    if (far == Far::Echo) peer_ = std::make_unique<EchoPeer>(bench_->chip());
    if (far == Far::Pty) {
        auto pty = std::make_unique<emu::usb::PtyPeer>(bench_->chip());
        if (!pty->ok()) {
            std::fprintf(stderr, "miravo: cannot make a pseudo-terminal for the far end: %s\n",
                         std::strerror(pty->error()));
            return false;
        }
        farPath_ = pty->slavePath();
        peer_ = std::move(pty);
        if (!choice.link.empty() && !farLink_.make(choice.link, farPath_)) return false;
    }
    com_ = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
    if (com_ == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            std::fprintf(stderr, "miravo: COM3 is busy: another application has it open\n");
            return false;
        }
        return Fail("CreateFile(\\\\.\\COM3)");
    }
    if (!SetCommMask(com_, EV_RXCHAR)) return Fail("SetCommMask");
    return true;
}

bool LivePort::setState(DCB &dcb) {
    dcb.DCBlength = sizeof(dcb);
    const std::string wanted = Describe(dcb);
    if (!SetCommState(com_, &dcb)) {
        const std::string what = "SetCommState(" + wanted + ")";
        Fail(what.c_str());
        GetCommState(com_, &dcb);
        return false;
    }
    return GetCommState(com_, &dcb) || Fail("GetCommState");
}

// Waits for an overlapped call in slices; on g_quit (or the port's shutdown) cancels it.
bool LivePort::finish(OVERLAPPED &o, DWORD &bytes) {
    while (!HasOverlappedIoCompleted(&o)) {
        if (g_quit || stop_) {
            CancelIo(com_);
            GetOverlappedResult(com_, &o, &bytes, TRUE);
            return false;
        }
        WaitForSingleObject(o.hEvent, kSliceMs);
    }
    return GetOverlappedResult(com_, &o, &bytes, TRUE) != FALSE;
}

bool LivePort::write(const uint8_t *data, size_t size) {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = true;
    while (ok && size > 0) {
        DWORD n = 0;
        ResetEvent(o.hEvent);
        ok = (WriteFile(com_, data, DWORD(size), nullptr, &o) || GetLastError() == ERROR_IO_PENDING) &&
             finish(o, n);
        if (!ok && !g_quit) Fail("WriteFile(COM3)");
        data += n;
        size -= n;
        sent_ += n;
    }
    CloseHandle(o.hEvent);
    return ok;
}

bool LivePort::startReceiving(Sink sink) {
    sink_ = std::move(sink);
    receiver_ = emu::Thread([this] { receive(); }, "receiver");
    return true;
}

void LivePort::stopReceiving() {
    stop_ = true;
    if (receiver_.joinable()) receiver_.join();
}

// The wait for the next character is armed before the port's count is read, so that a character
// arriving between the two still ends the wait.
void LivePort::receive() {
    OVERLAPPED wait{}, rd{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool armed = false;
    DWORD mask = 0;
    uint8_t buffer[4096];
    while (!stop_ && !g_quit) {
        if (!armed) {
            ResetEvent(wait.hEvent);
            if (!WaitCommEvent(com_, &mask, &wait)) {
                if (GetLastError() != ERROR_IO_PENDING) {
                    failed_ = !Fail("WaitCommEvent(COM3)");
                    break;
                }
                armed = true;
            }
        }
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(com_, &errors, &stat)) {
            failed_ = !Fail("ClearCommError(COM3)");
            break;
        }
        if (stat.cbInQue > 0) {
            DWORD n = 0;
            ResetEvent(rd.hEvent);
            const DWORD want = std::min<DWORD>(stat.cbInQue, sizeof buffer);
            if ((!ReadFile(com_, buffer, want, nullptr, &rd) && GetLastError() != ERROR_IO_PENDING) || !finish(rd, n)) {
                if (!stop_ && !g_quit) failed_ = !Fail("ReadFile(COM3)");
                break;
            }
            received_ += n;
            sink_(buffer, n);
            continue;
        }
        if (armed && WaitForSingleObject(wait.hEvent, kSliceMs) == WAIT_OBJECT_0) {
            DWORD n = 0;
            GetOverlappedResult(com_, &wait, &n, TRUE);
            armed = false;
        }
    }
    if (armed) {
        DWORD n = 0;
        CancelIo(com_);
        GetOverlappedResult(com_, &wait, &n, TRUE);
    }
    CloseHandle(wait.hEvent);
    CloseHandle(rd.hEvent);
}

}  // namespace lab
