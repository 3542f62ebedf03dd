#include "tests/faults/session.h"

#include <algorithm>

#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/powermgr.h"

namespace faults {

std::string ErrorName(DWORD error) {
#define NAMED(e) {e, #e}
    static const std::pair<DWORD, const char *> kNames[] = {
        {ERROR_SUCCESS, "ok"}, NAMED(ERROR_FILE_NOT_FOUND), NAMED(ERROR_ACCESS_DENIED), NAMED(ERROR_NOT_ENOUGH_MEMORY),
        NAMED(ERROR_NOT_READY), NAMED(ERROR_GEN_FAILURE), NAMED(ERROR_DEV_NOT_EXIST), NAMED(ERROR_INVALID_PARAMETER),
        NAMED(ERROR_SEM_TIMEOUT), NAMED(ERROR_BUSY), NAMED(ERROR_OPERATION_ABORTED), NAMED(ERROR_NO_SYSTEM_RESOURCES),
        {1460, "ERROR_TIMEOUT"}, {1167, "ERROR_DEVICE_NOT_CONNECTED"}};
#undef NAMED
    for (const auto &[code, name] : kNames)
        if (code == error) return name;
    return "error " + std::to_string(error);
}

void Tally::print(const char *title) const {
    std::printf("%s: %llu runs\n", title, (unsigned long long)runs);
    for (const auto &[what, n] : counts) std::printf("  %-44s %llu\n", what.c_str(), (unsigned long long)n);
}

namespace {

constexpr DWORD kPatience = 5000;  // ms of emulated time any request of the session may take

struct Session {
    lab::Bench &bench;
    Tally *tally;
    std::string outcome;
    HANDLE h = INVALID_HANDLE_VALUE;
    bool settled = true;  // every setting made; false also when one never reached the chip

    // True for success. A failure must say why: no success code, no status without a Win32 meaning.
    bool note(const std::string &step, DWORD error) {
        if (error == ERROR_MR_MID_NOT_FOUND) ADD_FAILURE() << step << " failed with a status that has no meaning";
        outcome += step + " " + ErrorName(error) + "; ";
        if (tally) tally->counts[step + " " + ErrorName(error)]++;
        return error == ERROR_SUCCESS;
    }

    // Waits for an overlapped request that went pending; a request that never ends is a fault.
    DWORD finish(const std::string &step, BOOL done, Overlapped &o, DWORD *n = nullptr, DWORD patience = kPatience) {
        DWORD count = 0;
        if (!done && GetLastError() != ERROR_IO_PENDING) return GetLastError();
        if (!done && WaitForSingleObject(o.ov.hEvent, patience) == WAIT_TIMEOUT) {
            CancelIo(h);
            if (WaitForSingleObject(o.ov.hEvent, kPatience) == WAIT_TIMEOUT) {
                ADD_FAILURE() << step << " never completed, not even cancelled";
                return ERROR_IO_PENDING;
            }
        }
        const BOOL ok = GetOverlappedResult(h, &o.ov, &count, TRUE);
        if (n) *n = count;
        const DWORD error = ErrorOf(ok);
        if (!ok && error != RtlNtStatusToDosError(o.status())) ADD_FAILURE() << step << ": error and status disagree";
        if (NTSTATUS(o.status()) == STATUS_CANCELLED && count) ADD_FAILURE() << step << ": cancelled with bytes counted";
        return error;
    }

    // Every request that changes a setting, ending with the line as the data step needs it.
    void settings() {
        SERIAL_BAUD_RATE odd{57600}, rate{115200};
        SERIAL_LINE_CONTROL seven{STOP_BITS_2, EVEN_PARITY, 7}, eight{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_HANDFLOW rtsCts{SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 64, 64};
        SERIAL_HANDFLOW plain{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 64, 64};
        SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
        SERIAL_QUEUE_SIZE queue{4096, 4096};
        SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 0};
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR, purge = SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR;
        ULONG modem = 0x3, fifo = 0xC1;
        UCHAR immediate = 'i', escape = 0;
        const struct { const char *name; DWORD code; const void *in; DWORD length; } rows[] = {
            {"set baud", IOCTL_SERIAL_SET_BAUD_RATE, &odd, sizeof odd},
            {"set line control", IOCTL_SERIAL_SET_LINE_CONTROL, &seven, sizeof seven},
            {"set handflow", IOCTL_SERIAL_SET_HANDFLOW, &rtsCts, sizeof rtsCts},
            {"set chars", IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars},
            {"set queue size", IOCTL_SERIAL_SET_QUEUE_SIZE, &queue, sizeof queue},
            {"set timeouts", IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts},
            {"clear dtr", IOCTL_SERIAL_CLR_DTR, nullptr, 0},
            {"break on", IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0},
            {"break off", IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0},
            {"set xoff", IOCTL_SERIAL_SET_XOFF, nullptr, 0},
            {"set xon", IOCTL_SERIAL_SET_XON, nullptr, 0},
            {"immediate char", IOCTL_SERIAL_IMMEDIATE_CHAR, &immediate, sizeof immediate},
            {"set wait mask", IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask},
            {"lsrmst insert", IOCTL_SERIAL_LSRMST_INSERT, &escape, sizeof escape},
            {"set modem control", IOCTL_SERIAL_SET_MODEM_CONTROL, &modem, sizeof modem},
            {"set fifo control", IOCTL_SERIAL_SET_FIFO_CONTROL, &fifo, sizeof fifo},
            {"clear stats", IOCTL_SERIAL_CLEAR_STATS, nullptr, 0},
            {"reset device", IOCTL_SERIAL_RESET_DEVICE, nullptr, 0},
            {"purge", IOCTL_SERIAL_PURGE, &purge, sizeof purge},
            {"set baud", IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate},
            {"set line control", IOCTL_SERIAL_SET_LINE_CONTROL, &eight, sizeof eight},
            {"set handflow", IOCTL_SERIAL_SET_HANDFLOW, &plain, sizeof plain},
            {"set dtr", IOCTL_SERIAL_SET_DTR, nullptr, 0},
            {"set rts", IOCTL_SERIAL_SET_RTS, nullptr, 0},
        };
        for (const auto &row : rows) {
            Overlapped o;
            DWORD n = 0;
            const BOOL done = DeviceIoControl(h, row.code, const_cast<void *>(row.in), row.length, nullptr, 0, nullptr, &o.ov);
            settled &= note(row.name, finish(row.name, done, o, &n));
            if (n) ADD_FAILURE() << row.name << " returned more than its output buffer";
        }
    }

    // `length` bytes of the pattern out and back through the plug, the read and the write issued
    // together and `between` run while both are under way.
    struct Trip { std::vector<uint8_t> sent, back; DWORD put = 0, got = 0; };
    Trip roundTrip(const std::string &suffix, size_t length, const std::function<void()> &between) {
        Trip t{lab::TestPattern(length), std::vector<uint8_t>(length)};
        Overlapped r, w;
        const BOOL readDone = ReadFile(h, t.back.data(), DWORD(length), nullptr, &r.ov);
        const DWORD readIssue = ErrorOf(readDone);
        const BOOL writeDone = WriteFile(h, t.sent.data(), DWORD(length), nullptr, &w.ov);
        const DWORD writeIssue = ErrorOf(writeDone);
        between();
        SetLastError(writeIssue);
        note("write" + suffix, finish("write" + suffix, writeDone, w, &t.put));
        SetLastError(readIssue);
        note("read" + suffix, finish("read" + suffix, readDone, r, &t.got));
        t.back.resize(t.got);
        // A setting whose USB request failed is kept by the port and reported as made: the chip may
        // then frame bytes differently from what the port believes.
        for (const auto &u : bench.device().bus().urbLog()) settled &= !(u.fault && u.hasSetup);
        return t;
    }

    // What came back is what went, in order, less what a failed transfer lost; all of it when
    // both ends moved every byte.
    void compare(const char *step, const Trip &t) {
        if (!settled) return;
        auto at = t.sent.begin();
        for (uint8_t b : t.back) {
            at = std::find(at, t.sent.end(), b);
            if (at == t.sent.end()) {
                ADD_FAILURE() << step << ": a byte read back was never written, or came out of order";
                break;
            }
            ++at;
        }
        if (t.put == t.sent.size() && t.got == t.sent.size()) { EXPECT_EQ(t.back, t.sent) << step; }
    }

    // 300 bytes out and back: what comes back is what went, in order, less what a failed transfer lost.
    void data() {
        const uint64_t failedBeforeData = bench.machine().service<emu::Pool>().injectedFailures();
        COMMTIMEOUTS timeouts{0, 0, 400, 0, 2000};
        if (!note("data time-outs", ErrorOf(SetCommTimeouts(h, &timeouts)))) return;
        // The immediate character comes back through the plug too: out of the way first.
        Sleep(10);
        if (!note("purge", ErrorOf(PurgeComm(h, PURGE_RXCLEAR)))) return;
        const Trip t = roundTrip("", 300, [] {});
        settled &= failedBeforeData == 0;
        compare("data", t);
        // A failed bulk IN ends reception until the next power-up: what the chip kept comes later.
        settled &= t.got == t.sent.size();
    }

    // Dropping DTR drops DSR through the plug: the wait ends with EV_DSR.
    void wait() {
        if (!note("set mask", ErrorOf(SetCommMask(h, EV_DSR)))) return;
        Overlapped o;
        DWORD events = 0;
        const BOOL done = WaitCommEvent(h, &events, &o.ov);
        const DWORD issued = ErrorOf(done);
        note("clear dtr", ErrorOf(EscapeCommFunction(h, CLRDTR)));
        SetLastError(issued);
        const DWORD error = finish("wait", done, o, nullptr, 1000);
        note("wait", error);
        if (error == ERROR_SUCCESS && events != EV_DSR) ADD_FAILURE() << "the wait ended with events " << events;
    }

    // S3 and back with a read and a write in flight: both end once, and the bytes survive the
    // chip's replay. A lost setting, or bytes the data step left behind, spoil the comparison.
    void power() {
        auto &manager = bench.machine().service<emu::PowerManager>();
        const Trip t = roundTrip(" over sleep", 96, [&] {
            note("sleep", RtlNtStatusToDosError(manager.sleep(bench.device().pdo(), PowerSystemSleeping3)));
            note("wake", RtlNtStatusToDosError(manager.wake(bench.device().pdo())));
        });
        settled &= bench.machine().service<emu::Pool>().injectedFailures() == 0;
        compare("power", t);
    }
};

}  // namespace

SessionResult RunSession(const std::function<void(lab::Bench &)> &plant,
                         const std::function<void(lab::Bench &)> &withdraw, Tally *tally) {
    lab::Bench bench({.quiet = true, .beforeStart = plant});
    const int64_t began = bench.machine().now();
    Session s{bench, tally, {}};
    SessionResult result;
    s.note("start", bench.ready() ? ERROR_SUCCESS : ERROR_NOT_READY);
    if (bench.ready()) {
        s.h = OpenCom3();
        if (s.note("open", ErrorOf(s.h != INVALID_HANDLE_VALUE))) {
            s.settings();
            s.data();
            s.wait();
            s.power();
            s.note("close", ErrorOf(CloseHandle(s.h)));
        }
    }
    if (withdraw) withdraw(bench);
    result.emulated = bench.machine().now() - began;
    if (!bench.ready()) {
        // A start that failed leaves nothing in the way of the next one: a new chip comes up as COM3.
        EXPECT_EQ(bench.replug(), STATUS_SUCCESS) << "re-plug after a failed start";
        HANDLE h = OpenCom3(0);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "COM3 after re-plug: " << GetLastError();
        if (h != INVALID_HANDLE_VALUE) { EXPECT_TRUE(CloseHandle(h)); }
    }
    EXPECT_EQ(bench.shutDown(), 0u) << "bytes of 'COMX' pool left after: " << s.outcome;
    result.outcome = s.outcome;
    if (tally) tally->runs++;
    return result;
}

}  // namespace faults
