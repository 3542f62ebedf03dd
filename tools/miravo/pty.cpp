// miravo pty: COM3 given to Linux. A pseudo-terminal stands for the port: the program that opens
// its slave is the application on COM3, its bytes go out through WriteFile and what COM3 reads
// comes back to it, and its termios settings become COM3's DCB and time-outs as they change.
//
// The settings are polled on the master (tcgetattr reads the slave's termios there) rather than
// announced through packet mode: announcements need EXTPROC, which takes input processing away
// from the slave's line discipline and so changes what the program's own reads do. The poll runs
// whenever the program writes, before its bytes are read, so bytes written after a change go out
// at the new settings; with the program silent a change is seen within kPollMs.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <asm/termbits.h>
#include <unistd.h>

#include "tools/miravo/bridge.h"
#include "tools/miravo/commands.h"

using namespace win32;

namespace {

constexpr int kPollMs = 20;
constexpr DWORD kDeciseconds = 100;  // VTIME counts tenths of a second
constexpr DWORD MAXDWORD = 0xFFFFFFFF;

void Usage(FILE *out) {
    std::fputs(
        "usage: miravo pty [options]\n"
        "\n"
        "Gives COM3 to Linux on the real clock: prints the path of a pseudo-terminal; the program\n"
        "that opens it (picocom, minicom, screen, socat, pyserial) is the application on COM3.\n"
        "Its writes go through WriteFile, what COM3 receives comes back through ReadFile, and its\n"
        "termios settings are applied to COM3 as they change: speed, CSIZE, PARENB/PARODD/CMSPAR,\n"
        "CSTOPB, CRTSCTS, IXON/IXOFF with VSTART/VSTOP, VMIN/VTIME as the read time-outs, B0 and\n"
        "HUPCL (DTR and RTS drop while the terminal is closed). Each change is printed as COM3\n"
        "took it. Closing the terminal keeps the port; the next program finds it as it was.\n"
        "Ends on Ctrl-C, SIGTERM or SIGHUP.\n"
        "\n"
        "options:\n"
        "  --link PATH     a symbolic link at PATH to the terminal (replaces a stale link)\n",
        out);
    std::fputs(lab::kFarHelp, out);
}

// What COM3 is to be set to: the termios of the terminal and whether a program has it open.
struct Settings {
    DWORD baud = 0;  // 0: B0, hang up
    BYTE byteSize = 8, parity = NOPARITY, stopBits = ONESTOPBIT;
    bool rtsCts = false, outX = false, inX = false, hupcl = false, open = false;
    char xon = 0x11, xoff = 0x13;
    DWORD interval = 0, multiplier = 0, constant = 0;
    bool operator==(const Settings &) const = default;
};

Settings FromTermios(const termios2 &t, bool open) {
    Settings s;
    s.baud = t.c_ospeed;
    static constexpr BYTE kSizes[] = {5, 6, 7, 8};
    s.byteSize = kSizes[(t.c_cflag & CSIZE) / CS6];
    if (t.c_cflag & PARENB) {
        if (t.c_cflag & CMSPAR) s.parity = t.c_cflag & PARODD ? MARKPARITY : SPACEPARITY;
        else s.parity = t.c_cflag & PARODD ? ODDPARITY : EVENPARITY;
    }
    // A UART sends one and a half stop bits for five data bits when told to send two.
    if (t.c_cflag & CSTOPB) s.stopBits = s.byteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    s.rtsCts = t.c_cflag & CRTSCTS;
    s.outX = t.c_iflag & IXON;
    s.inX = t.c_iflag & IXOFF;
    s.xon = char(t.c_cc[VSTART]);
    s.xoff = char(t.c_cc[VSTOP]);
    s.hupcl = t.c_cflag & HUPCL;
    s.open = open;
    // A canonical read waits for a line: no time-out stands for that.
    const DWORD vmin = t.c_lflag & ICANON ? 1 : t.c_cc[VMIN], vtime = t.c_lflag & ICANON ? 0 : t.c_cc[VTIME];
    if (vmin == 0 && vtime == 0) s.interval = MAXDWORD;  // return at once with what is there
    else if (vmin == 0) s.interval = s.multiplier = MAXDWORD, s.constant = vtime * kDeciseconds;
    else s.interval = vtime * kDeciseconds;  // 0: wait for the count
    return s;
}

class Bridge {
public:
    explicit Bridge(lab::LivePort &port) : port_(port) {}

    // Applies what changed and prints the line as COM3 reports it.
    bool apply(const Settings &s) {
        if (applied_ && s == last_) return true;
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!GetCommState(port_.handle(), &dcb)) return lab::Fail("GetCommState");
        if (s.baud) dcb.BaudRate = s.baud;  // B0 keeps the rate and drops DTR
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        dcb.fBinary = TRUE;
        dcb.fParity = s.parity != NOPARITY;
        dcb.fOutxCtsFlow = s.rtsCts;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = s.outX;
        dcb.fInX = s.inX;
        dcb.XonChar = s.xon;
        dcb.XoffChar = s.xoff;
        const bool up = s.baud != 0 && (s.open || !s.hupcl);
        dcb.fDtrControl = up ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = s.rtsCts ? RTS_CONTROL_HANDSHAKE : up ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        const bool stateOk = port_.setState(dcb);
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = s.interval;
        t.ReadTotalTimeoutMultiplier = s.multiplier;
        t.ReadTotalTimeoutConstant = s.constant;
        const bool timeoutsOk = SetCommTimeouts(port_.handle(), &t) || lab::Fail("SetCommTimeouts");
        // A refused setting is reported once, not at every poll; the program may set another.
        last_ = s;
        applied_ = true;
        if (!stateOk || !timeoutsOk) return true;
        const emu::usb::WireFormat chip = port_.bench().chip().format();
        static constexpr char kParity[] = "NOEMS";
        const std::string asked =
            s.baud && s.baud != dcb.BaudRate ? " (asked for " + std::to_string(s.baud) + ")" : std::string();
        std::printf("COM3: %s%s, DTR %s, RTS %s, read time-outs %s/%s/%lu ms; chip: %.0f baud %u%c%s; terminal %s\n",
                    lab::Describe(dcb).c_str(), asked.c_str(), up ? "on" : "off",
                    s.rtsCts ? "handshake" : up ? "on" : "off", Ms(t.ReadIntervalTimeout).c_str(),
                    Ms(t.ReadTotalTimeoutMultiplier).c_str(), static_cast<unsigned long>(t.ReadTotalTimeoutConstant),
                    chip.baud(), chip.dataBits, kParity[int(chip.parity)],
                    chip.stopHalfBits == 2 ? "1" : chip.stopHalfBits == 3 ? "1.5" : "2", s.open ? "open" : "closed");
        std::fflush(stdout);
        return true;
    }

private:
    static std::string Ms(DWORD v) { return v == MAXDWORD ? "MAXDWORD" : std::to_string(v); }
    lab::LivePort &port_;
    Settings last_;
    bool applied_ = false;
};

int Run(const std::string &link, const lab::FarChoice &far) {
    lab::LivePort port;
    if (!port.open(far)) return 1;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char *name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    if (!name) {
        std::fprintf(stderr, "miravo: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
        if (master >= 0) close(master);
        return 1;
    }
    const std::string slave = name;
    // The port as it opens: 115200 8N1, raw. Opening and closing the slave once makes the master
    // report a hang-up until a program opens it, which is how the bridge tells it is there.
    const int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    termios2 t{};
    if (s < 0 || ioctl(s, TCGETS2, &t) != 0) {
        std::fprintf(stderr, "miravo: cannot set up the pseudo-terminal %s: %s\n", slave.c_str(), std::strerror(errno));
        if (s >= 0) close(s);
        close(master);
        return 1;
    }
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL | B115200;  // a speed code, as programs that know only those expect
    t.c_ispeed = t.c_ospeed = 115200;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ioctl(s, TCSETS2, &t);
    close(s);
    lab::Link linked;
    if (!link.empty() && !linked.make(link, slave)) {
        close(master);
        return 1;
    }
    std::printf("COM3 on the real clock, far end: %s\n", port.farDescription().c_str());
    std::printf("pty: %s%s%s\n", slave.c_str(), link.empty() ? "" : " linked at ", link.c_str());
    std::fflush(stdout);

    lab::CatchSignals();
    port.startReceiving([master](const uint8_t *data, size_t size) { lab::WriteAll(master, data, size); });
    Bridge bridge(port);
    uint8_t buffer[4096];
    int rc = 0;
    while (!lab::g_quit && !port.failed()) {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, kPollMs);
        const bool open = !(p.revents & POLLHUP);
        if (ioctl(master, TCGETS2, &t) != 0 || !bridge.apply(FromTermios(t, open))) {
            rc = 1;
            break;
        }
        if (!open) {
            poll(nullptr, 0, kPollMs);  // the hang-up is reported at once; nobody to read from
            continue;
        }
        if (!(p.revents & POLLIN)) continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0 && !port.write(buffer, size_t(n)) && !lab::g_quit) {
            rc = 1;
            break;
        }
    }
    port.stopReceiving();
    if (port.failed()) rc = 1;
    close(master);
    std::printf("bridge closed: %llu bytes written to COM3, %llu read from it\n",
                static_cast<unsigned long long>(port.sent()), static_cast<unsigned long long>(port.received()));
    return rc;
}

}  // namespace

namespace miravo {

int PtyCommand(int argc, char **argv) {
    std::string link;
    lab::FarChoice far;
    const int rc = lab::ParseOptions(argc, argv, far, Usage, [&](int &i) {
        if (std::string_view(argv[i]) != "--link" || i + 1 >= argc) return 0;
        link = argv[++i];
        return 1;
    });
    return rc >= 0 ? rc : Run(link, far);
}

}  // namespace miravo
