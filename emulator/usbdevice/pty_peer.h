// A far end that is a Linux program: the chip's connector is wired to a pseudo-terminal, whose
// slave side (slavePath()) any serial program opens. Bytes the program writes leave this end at
// the peer's line settings and pace; bytes the chip sends are written to the program. The
// terminal has no modem lines, so the chip sees CTS, DSR and DCD on. Meant for the real clock:
// on the virtual clock the program's bytes arrive whenever the machine's time happens to be.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "emulator/usbdevice/far_ends.h"

namespace emu::usb {

class PtyPeer : public ScriptedPeer {
public:
    // Without a format the peer is a device set to whatever the chip runs at, as it changes.
    explicit PtyPeer(BridgeChip &chip, std::optional<WireFormat> format = std::nullopt);
    ~PtyPeer() override;
    bool ok() const { return master_ >= 0; }
    int error() const { return error_; }  // errno when the terminal could not be made
    const std::string &slavePath() const { return slave_; }

    void chipChar(const WireChar &c) override;

private:
    void pump();
    BridgeChip &chip_;
    bool follow_;
    int master_ = -1;
    int error_ = 0;
    std::string slave_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace emu::usb
