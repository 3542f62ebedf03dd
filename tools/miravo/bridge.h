// COM3 on the real clock for the commands that hand it to a person or a Linux program (pty, term):
// the lab's machine with a far end on the chip's connector, COM3 open as an application opens it,
// and a thread that passes on whatever the port receives.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "emulator/kernel/machine.h"
#include "emulator/win32/comm.h"
#include "tools/miravo/lab.h"

namespace emu::usb {
class PtyPeer;
}

namespace lab {

enum class Far { Loopback, Echo, Pty };
extern const char kFarHelp[];  // the closing lines of a command's --help: --far, --far-link, -h

// The far end as a command line chose it.
struct FarChoice {
    Far far = Far::Loopback;
    std::string link;
    // Takes `--far END` or `--far-link PATH` at argv[i], moving i past the value: 1 taken, 0 not
    // one of these, -1 refused with a message (a usage error).
    int take(int argc, char **argv, int &i);
    bool valid() const;  // false, with a message, for a link without a far terminal
};

// The command line of a real-clock command: the far end's options, -h/--help (the text from
// `usage`) and the command's own options, which `own` takes at argv[i] as FarChoice::take does.
// -1: go on and run; otherwise the exit code (0 after the help, 2 for a usage error).
int ParseOptions(int argc, char **argv, FarChoice &far, void (*usage)(FILE *),
                 const std::function<int(int &i)> &own);

// Set by SIGINT, SIGTERM and SIGHUP once CatchSignals() ran: the commands end cleanly on it.
extern std::atomic<bool> g_quit;
void CatchSignals();

// A symbolic link at `path` to `target`, replacing a stale link but nothing else; removed by the
// destructor while it still points there. False with a one-line message.
class Link {
public:
    bool make(const std::string &path, const std::string &target);
    ~Link();

private:
    std::string path_, target_;
};

// The line as COM3's DCB and time-outs hold it, e.g. "9600 baud 7E1, RTS/CTS, XON/XOFF out".
std::string Describe(const win32::DCB &dcb);

class LivePort {
public:
    LivePort();
    ~LivePort();
    LivePort(const LivePort &) = delete;
    LivePort &operator=(const LivePort &) = delete;

    // Plugs the chip in behind `far` and opens COM3. False with a one-line message.
    bool open(const FarChoice &far);
    HANDLE handle() const { return com_; }
    Bench &bench() { return *bench_; }
    std::string farDescription() const;  // "loopback plug", "echo device", "pty /dev/pts/7"

    // From here on every byte COM3 receives goes to `sink` (on the port's own thread), promptly
    // whatever COM3's read time-outs say: the receiver takes only what the port already holds.
    using Sink = std::function<void(const uint8_t *data, size_t size)>;
    bool startReceiving(Sink sink);
    void stopReceiving();  // returns once the sink is no longer called
    // Writes all of `data`; waits while flow control holds the line. False on a failed call or
    // when g_quit ends the wait.
    bool write(const uint8_t *data, size_t size);
    // SetCommState, then the DCB read back; false with the refusal on stderr.
    bool setState(win32::DCB &dcb);

    uint64_t sent() const { return sent_; }
    uint64_t received() const { return received_; }
    bool failed() const { return failed_; }  // the receiver stopped on a failed call

private:
    void receive();
    bool finish(win32::OVERLAPPED &o, DWORD &bytes);

    std::unique_ptr<Bench> bench_;
    std::unique_ptr<emu::usb::ScriptedPeer> peer_;
    Link farLink_;
    std::string farPath_;
    Far far_ = Far::Loopback;
    HANDLE com_ = win32::INVALID_HANDLE_VALUE;
    Sink sink_;
    emu::Thread receiver_;
    std::atomic<bool> stop_{false}, failed_{false};
    std::atomic<uint64_t> sent_{0}, received_{0};
};

// Writes all of `data` to a descriptor that may be non-blocking; gives up when g_quit is set.
void WriteAll(int fd, const uint8_t *data, size_t size);

}  // namespace lab
