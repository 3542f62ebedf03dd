#include "emulator/usbdevice/pty_peer.h"

#include <algorithm>
#include <utility>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace emu::usb {

namespace {
// What the peer takes from the program ahead of the line: more waits in the terminal, so that a
// program writing faster than the line runs is held back instead of growing the queue.
constexpr size_t kMaxQueued = 256;
constexpr int kPollMs = 20;
}  // namespace

PtyPeer::PtyPeer(BridgeChip &chip, std::optional<WireFormat> format)
    : ScriptedPeer(chip, format ? *format : chip.format()), chip_(chip), follow_(!format) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char *name = master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 ? ptsname(master_) : nullptr;
    if (!name) {
        error_ = errno;
        if (master_ >= 0) close(master_);
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
    followRts(true);
    reader_ = std::thread([this] { pump(); });
}

PtyPeer::~PtyPeer() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    int fd = -1;
    {
        // The chip may still be sending: its calls come under the world lock and see no terminal.
        WorldGuard g(World().lock);
        std::swap(fd, master_);
    }
    if (fd >= 0) close(fd);
}

void PtyPeer::pump() {
    uint8_t buffer[kMaxQueued];
    while (!stop_) {
        const size_t room = kMaxQueued - std::min(kMaxQueued, queued());
        pollfd p{master_, POLLIN, 0};
        // While no program has the slave open the master reports a hang-up at once: wait instead.
        if (room == 0 || poll(&p, 1, kPollMs) <= 0 || !(p.revents & POLLIN)) {
            if (room == 0 || p.revents & POLLHUP) poll(nullptr, 0, kPollMs);
            continue;
        }
        const ssize_t n = read(master_, buffer, room);
        if (n <= 0) continue;
        WorldGuard g(World().lock);
        if (follow_) setFormat(chip_.format());
        send(std::span<const uint8_t>(buffer, size_t(n)));
    }
}

// A program that does not read loses what overflows the terminal's buffer, as a slow device would.
// Nothing is recorded: the peer runs for as long as the program does.
void PtyPeer::chipChar(const WireChar &c) {
    if (master_ < 0) return;
    if (follow_ && !(peerFormat() == c.format)) setFormat(c.format);
    const Decoded d = Decode(c, peerFormat());
    if (d.breakDetected) return;
    [[maybe_unused]] ssize_t n = write(master_, &d.data, 1);
}

}  // namespace emu::usb
