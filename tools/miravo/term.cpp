// miravo term: an interactive terminal on COM3. Keys go out through WriteFile as typed, what COM3
// receives is shown as it arrives, and the bottom line shows the line settings and the modem
// lines as the port reports them. Ctrl-] starts a command (quit, DTR, RTS, break, rate, format).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/host/ntddser.h"
#include "tools/miravo/bridge.h"
#include "tools/miravo/commands.h"

using namespace win32;

namespace {

constexpr char kCommandKey = 0x1d;  // Ctrl-]
constexpr int kRefreshMs = 100;
constexpr int kBreakMs = 250;
constexpr DWORD kRates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
struct Format {
    const char *name;
    BYTE byteSize, parity, stopBits;
};
constexpr Format kFormats[] = {{"8N1", 8, NOPARITY, ONESTOPBIT},
                               {"7E1", 7, EVENPARITY, ONESTOPBIT},
                               {"7O1", 7, ODDPARITY, ONESTOPBIT},
                               {"8E1", 8, EVENPARITY, ONESTOPBIT},
                               {"8N2", 8, NOPARITY, TWOSTOPBITS}};
constexpr const char kHelp[] = "Ctrl-] then: q quit, d DTR, r RTS, b break, u/n rate up/down, f format, "
                               "Ctrl-] send it";

void Usage(FILE *out) {
    std::fputs(
        "usage: miravo term [options]\n"
        "\n"
        "An interactive terminal on COM3, on the real clock: keys are sent as typed, received bytes\n"
        "are shown as they arrive, the bottom line shows the rate, data bits, parity and stop bits,\n"
        "DTR and RTS, CTS, DSR, DCD and RI and the bytes moved. Ctrl-] starts a command:\n"
        "  q quit   d toggle DTR   r toggle RTS   b send a 250 ms break\n"
        "  u / n next rate up / down   f next format (8N1 7E1 7O1 8E1 8N2)   Ctrl-] send a Ctrl-]\n"
        "\n"
        "options:\n"
        "  --baud N        the line's rate (default 115200)\n"
        "  --format F      8N1 (default), 7E1, 7O1, 8E1 or 8N2\n",
        out);
    std::fputs(lab::kFarHelp, out);
}

class Screen {
public:
    bool start() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
        termios raw = saved_;
        cfmakeraw(&raw);
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
        winsize ws{};
        const bool sized = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 2 && ws.ws_col > 0;
        rows_ = sized ? ws.ws_row : 24;
        cols_ = sized ? ws.ws_col : 80;
        // Received text scrolls above the status line.
        out("\x1b[2J\x1b[1;" + std::to_string(rows_ - 1) + "r\x1b[1;1H");
        active_ = true;
        return true;
    }
    ~Screen() {
        if (!active_) return;
        out("\x1b[r\x1b[" + std::to_string(rows_) + ";1H\x1b[2K");
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    void out(const std::string &s) { bytes(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }
    void bytes(const uint8_t *data, size_t size) {
        std::lock_guard<std::mutex> g(lock_);
        lab::WriteAll(STDOUT_FILENO, data, size);
    }
    // Cut to the width: a wrapped status line would scroll the text above it.
    void status(const std::string &text) {
        if (text == shown_) return;
        shown_ = text;
        out("\x1b" "7\x1b[" + std::to_string(rows_) + ";1H\x1b[7m\x1b[2K" + text.substr(0, cols_) + "\x1b[0m\x1b" "8");
    }

private:
    std::mutex lock_;  // the receiver and the status line share the terminal
    termios saved_{};
    int rows_ = 24;
    size_t cols_ = 80;
    bool active_ = false;
    std::string shown_;
};

std::string Status(lab::LivePort &port, const std::string &note) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    DWORD modem = 0, lines = 0, returned = 0;
    if (!GetCommState(port.handle(), &dcb) || !GetCommModemStatus(port.handle(), &modem) ||
        !DeviceIoControl(port.handle(), IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines), &returned,
                         nullptr))
        return "COM3 does not answer";
    auto on = [](bool b) { return b ? "on " : "off"; };
    char text[256];
    std::snprintf(text, sizeof text, " COM3 %s | DTR %s RTS %s | CTS %s DSR %s DCD %s RI %s | tx %llu rx %llu | %s",
                  lab::Describe(dcb).c_str(), on(lines & SERIAL_DTR_STATE), on(lines & SERIAL_RTS_STATE),
                  on(modem & MS_CTS_ON), on(modem & MS_DSR_ON), on(modem & MS_RLSD_ON), on(modem & MS_RING_ON),
                  static_cast<unsigned long long>(port.sent()), static_cast<unsigned long long>(port.received()),
                  note.c_str());
    return text;
}

// DTR and RTS come up at the start and then stay as the user left them: SetCommState would
// otherwise raise them again at every change of rate.
bool SetLine(lab::LivePort &port, DWORD baud, const Format &format, bool start = false) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    DWORD lines = SERIAL_DTR_STATE | SERIAL_RTS_STATE, returned = 0;
    if (!start && !DeviceIoControl(port.handle(), IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines),
                                   &returned, nullptr))
        return lab::Fail("IOCTL_SERIAL_GET_DTRRTS");
    if (!GetCommState(port.handle(), &dcb)) return lab::Fail("GetCommState");
    dcb.fDtrControl = lines & SERIAL_DTR_STATE ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = lines & SERIAL_RTS_STATE ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.BaudRate = baud;
    dcb.ByteSize = format.byteSize;
    dcb.Parity = format.parity;
    dcb.StopBits = format.stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = format.parity != NOPARITY;
    return port.setState(dcb);
}

// One command key after Ctrl-]: what the status line says about it, and false to quit.
bool Command(lab::LivePort &port, char key, size_t &rate, size_t &format, std::string &note) {
    DWORD lines = 0, returned = 0;
    const HANDLE h = port.handle();
    DeviceIoControl(h, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines), &returned, nullptr);
    switch (key) {
    case 'q': case 'Q': return false;
    case 'd': EscapeCommFunction(h, lines & SERIAL_DTR_STATE ? CLRDTR : SETDTR); note = "DTR toggled"; break;
    case 'r': EscapeCommFunction(h, lines & SERIAL_RTS_STATE ? CLRRTS : SETRTS); note = "RTS toggled"; break;
    case 'b':
        SetCommBreak(h);
        poll(nullptr, 0, kBreakMs);
        ClearCommBreak(h);
        note = "break sent";
        break;
    case 'u': case 'n': case 'f':
        if (key == 'u' && rate + 1 < std::size(kRates)) rate++;
        if (key == 'n' && rate > 0) rate--;
        if (key == 'f') format = (format + 1) % std::size(kFormats);
        note = SetLine(port, kRates[rate], kFormats[format]) ? "line set" : "line refused";
        break;
    case kCommandKey: port.write(reinterpret_cast<const uint8_t *>(&key), 1); note.clear(); break;
    default: note = kHelp; break;
    }
    return true;
}

int Run(const lab::FarChoice &far, DWORD baud, size_t format) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "miravo: term needs a terminal (run it in one, or use miravo pty for programs)\n");
        return 2;
    }
    lab::LivePort port;
    if (!port.open(far)) return 1;
    size_t rate = 0;
    while (rate + 1 < std::size(kRates) && kRates[rate] < baud) rate++;
    if (!SetLine(port, baud, kFormats[format], true)) return 1;
    DCB applied{};
    applied.DCBlength = sizeof(applied);
    if (!GetCommState(port.handle(), &applied)) return lab::Fail("GetCommState"), 1;
    if (applied.BaudRate == 0) {
        std::fprintf(stderr, "miravo: the port does not run at %lu baud: it rounds that rate to 0, which stops the line\n",
                     static_cast<unsigned long>(baud));
        return 2;
    }
    Screen screen;
    if (!screen.start()) {
        std::fprintf(stderr, "miravo: cannot put the terminal in raw mode: %s\n", std::strerror(errno));
        return 1;
    }
    screen.out("COM3 on the real clock, far end: " + port.farDescription() + "\r\n" + kHelp + "\r\n");
    lab::CatchSignals();
    port.startReceiving([&screen](const uint8_t *data, size_t size) { screen.bytes(data, size); });
    std::string note = "Ctrl-] h: help";
    bool command = false, quit = false;
    uint8_t keys[256];
    while (!quit && !lab::g_quit && !port.failed()) {
        screen.status(Status(port, note));
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, kRefreshMs) <= 0) continue;
        const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
        if (n <= 0) break;  // the terminal went away
        size_t from = 0;
        for (size_t i = 0; i < size_t(n) && !quit; i++) {
            if (command) {
                command = false;
                quit = !Command(port, char(keys[i]), rate, format, note);
                from = i + 1;
            } else if (keys[i] == kCommandKey) {
                port.write(keys + from, i - from);
                command = true;
                note = "command: q d r b u n f";
            }
        }
        if (!command && !quit && from < size_t(n)) port.write(keys + from, size_t(n) - from);
    }
    port.stopReceiving();  // before the screen goes
    return port.failed() ? 1 : 0;
}

}  // namespace

namespace miravo {

int TermCommand(int argc, char **argv) {
    lab::FarChoice far;
    unsigned long long baud = 115200;
    size_t format = 0;
    const int rc = lab::ParseOptions(argc, argv, far, Usage, [&](int &i) {
        const std::string_view arg = argv[i];
        if ((arg != "--baud" && arg != "--format") || i + 1 >= argc) return 0;
        const char *value = argv[++i];
        if (arg == "--baud" && !Number(value, 0xFFFFFFFFull, baud)) {
            std::fprintf(stderr, "miravo: --baud takes a number from 1 to 4294967295, not '%s'\n", value);
            return -1;
        }
        if (arg == "--format") {
            format = std::size(kFormats);
            for (size_t f = 0; f < std::size(kFormats); f++)
                if (std::string_view(value) == kFormats[f].name) format = f;
            if (format == std::size(kFormats)) {
                std::fprintf(stderr, "miravo: --format takes 8N1, 7E1, 7O1, 8E1 or 8N2, not '%s'\n", value);
                return -1;
            }
        }
        return 1;
    });
    return rc >= 0 ? rc : Run(far, DWORD(baud), format);
}

}  // namespace miravo
