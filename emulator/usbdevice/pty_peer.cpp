#include "emulator/usbdevice/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace emu::usb {

PtyPeer::PtyPeer(BridgeChip &chip, WireFormat format) : ScriptedPeer(chip, format) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0) return;
    const char *name = grantpt(master_) == 0 && unlockpt(master_) == 0 ? ptsname(master_) : nullptr;
    if (!name) {
        close(master_);
        master_ = -1;
        return;
    }
    slave_ = name;
    // Raw bytes both ways: the program, not the terminal driver, decides what they mean.
    termios t{};
    if (tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    setLines({true, true, true, false});
    reader_ = std::thread([this] { pump(); });
}

PtyPeer::~PtyPeer() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) close(master_);
}

void PtyPeer::pump() {
    uint8_t buffer[256];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) send(std::span<const uint8_t>(buffer, size_t(n)));
    }
}

// A program that does not read loses what overflows the terminal's buffer, as a slow device would.
void PtyPeer::chipChar(const WireChar &c) {
    ScriptedPeer::chipChar(c);
    if (master_ < 0) return;
    Decoded d = Decode(c, peerFormat());
    [[maybe_unused]] ssize_t n = write(master_, &d.data, 1);
}

}  // namespace emu::usb
