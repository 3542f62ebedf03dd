// The stress test's actors, shared with the soak: a writer, a reader, a controller and a watcher
// hammering one open port, the tally of what their requests did and the oracle that checks the
// wire and the read-back against the chip's record of the line.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>

#include "emulator/kernel/machine.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace stress {

constexpr DWORD kRate = 115200;
constexpr int kDepth = 3;  // overlapped requests a thread keeps going at once
constexpr DWORD kLongWrite = 800;  // four 256-byte chunks at least
// Off until the receive holds are sound in every mix: with the reader pausing long enough to fill the ring to the
// hold, while handshakes, breaks and purges change under it, the chip still drops characters now and then with
// hardware handshaking on (seed 2 shows it). With it on, no character may be lost under handshaking.
constexpr bool kReceiveHoldsSound = false;
// Events the port never raises, and the ring the plug does not wire.
constexpr DWORD kNeverRaised = EV_PERR | EV_EVENT1 | EV_EVENT2 | EV_RING;

inline uint64_t Setting(const char *name, uint64_t fallback) {
    const char *text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

// Write `id` starts with a header byte naming it (high bit set) and goes on with data bytes below
// 0x80 drawn from (id, offset): the wire splits into one run per write, and a run tells whose it is.
inline uint8_t StreamByte(uint32_t id, uint32_t offset) {
    if (offset == 0) return uint8_t(0x80 | (id & 0x7F));
    uint32_t x = id * 2654435761u ^ offset * 40503u;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    return uint8_t((x ^ x >> 12) & 0x7F);
}

inline std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Where a final status is tallied: success, time-out, cancelled; -1 for a status no request may end with.
inline int Outcome(NTSTATUS status) {
    return status == STATUS_SUCCESS ? 0 : status == STATUS_TIMEOUT ? 1 : status == STATUS_CANCELLED ? 2 : -1;
}

struct Done { NTSTATUS status = STATUS_PENDING; DWORD count = 0; };

// What went wrong, kept for the main thread to report (gtest's assertions stay off the workers).
class Faults {
public:
    void add(std::string what) {
        std::lock_guard g(lock_);
        if (list_.size() < 20) list_.push_back(std::move(what));
        count_++;
    }
    size_t count() const { return count_; }
    std::vector<std::string> list() const {
        std::lock_guard g(lock_);
        return list_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> list_;
    std::atomic<size_t> count_{0};
};

// One overlapped request with an event of its own. The event must be set exactly when the request completes: never
// again afterwards (checked before the slot is reused) and never without a final status.
struct Slot {
    OVERLAPPED o{};
    std::vector<uint8_t> buffer;
    DWORD length = 0;
    bool endedAtOnce = false;  // its status and event never come

    Slot() { o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Slot() { CloseHandle(o.hEvent); }

    void checkQuiet(Faults &faults, const char *kind) const {
        if (WaitForSingleObject(o.hEvent, 0) != WAIT_TIMEOUT)
            faults.add(std::string(kind) + ": event signalled again after its request completed");
    }

    // A read or write that did not finish at once is pending, or was cancelled by a purge as it
    // started: then it is over.
    void issued(BOOL done, Faults &faults, const char *call) {
        const DWORD error = ErrorOf(done);
        if (!done && error != ERROR_IO_PENDING && error != ERROR_OPERATION_ABORTED)
            faults.add(std::string(call) + " failed at once with error " + std::to_string(error));
        endedAtOnce = !done && error != ERROR_IO_PENDING;
    }

    Done finish(HANDLE h, Faults &faults, const char *kind) {
        if (endedAtOnce) {
            if (HasOverlappedIoCompleted(&o) || WaitForSingleObject(o.hEvent, 0) != WAIT_TIMEOUT)
                faults.add(std::string(kind) + ": a request failed at once delivered its status");
            return {STATUS_CANCELLED, 0};
        }
        DWORD count = 0;
        const BOOL ok = GetOverlappedResult(h, &o, &count, TRUE);
        const DWORD error = ErrorOf(ok);
        Done d{NTSTATUS(ULONG(o.Internal)), count};
        auto fault = [&](const std::string &what) {
            faults.add(std::string(kind) + ": " + what + " (status " + Hex(d.status) + ", count " +
                       std::to_string(count) + " of " + std::to_string(length) + ")");
        };
        if (d.status == STATUS_PENDING) fault("GetOverlappedResult returned before the final status");
        if (WaitForSingleObject(o.hEvent, 0) != WAIT_OBJECT_0) fault("completed without its event");
        if (!HasOverlappedIoCompleted(&o)) fault("not marked complete");
        if (ok != NT_SUCCESS(d.status)) fault("GetOverlappedResult disagrees with the status");
        if (!ok && error != RtlNtStatusToDosError(d.status)) fault("last error " + std::to_string(error));
        if (count != o.InternalHigh) fault("count differs from the status block");
        if (count > length) fault("more bytes than asked for");
        if (d.status == STATUS_CANCELLED && (count != 0 || error != ERROR_OPERATION_ABORTED))
            fault("a cancelled request must report 0 bytes and ERROR_OPERATION_ABORTED");
        ResetEvent(o.hEvent);
        return d;
    }
};

struct WriteRecord { uint32_t length = 0; Done done; };

struct Tally {
    std::atomic<uint64_t> ops{0}, writes{0}, reads{0}, writeCancels{0}, readCancels{0}, purges{0}, timeouts{0};
    std::atomic<uint64_t> waits{0}, masks{0}, waitCancels{0}, lines{0}, breaks{0}, handshakes{0};
    uint64_t writeStatus[3] = {}, longWriteStatus[3] = {}, readStatus[3] = {};  // success, time-out, cancelled
    uint64_t purgeBits[4] = {}, ctsFlowSets = 0, rtsHandshakeSets = 0, dtrHandshakeSets = 0;
    uint64_t waitStatus[3] = {}, emptyWaits = 0, refusedWaits = 0, eventBits[13] = {};
};

// What the actors share: the handle, the faults, the tally and when to stop.
struct Shared {
    Shared(HANDLE handle, uint64_t seed, uint64_t target) : h(handle), seed(seed), target(target) {}
    HANDLE h;
    uint64_t seed, target;
    Faults faults;
    Tally tally;
    // Read time-outs that may finish a read early with STATUS_SUCCESS: the reader may only accept a
    // short successful read when one of them could have been in force while the read was under way.
    std::atomic<uint64_t> earlySets{0};
    std::atomic<bool> earlyActive{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> readerPaused{false};  // the ring is left to fill: no receive purges meanwhile

    void count(std::atomic<uint64_t> &kind) {
        kind++;
        if (++tally.ops >= target || faults.count() > 50) stop = true;
    }
};

// An actor: its steps, each followed by a short pause, with a random stream of its own, until the run stops.
struct Actor {
    Actor(Shared &run, uint64_t salt) : run(run), rng(run.seed * salt + salt) {}
    Shared &run;
    std::mt19937_64 rng;

    template <class Step> void loop(DWORD pauses, Step step) {
        while (!run.stop) {
            step();
            Sleep(DWORD(rng() % pauses));
        }
    }
};

// Issues batches of writes, each a run of StreamByte(id, ...), and records how each ended.
struct Writer : Actor {
    explicit Writer(Shared &run) : Actor(run, 3) {}
    std::vector<WriteRecord> writes;  // in issue order, which is queue order: one writer
    uint32_t nextId = 0;

    void operator()() {
        Slot slots[kDepth];
        loop(4, [&] {
            const int n = 1 + int(rng() % kDepth);
            const size_t first = writes.size();
            for (int i = 0; i < n; i++) {
                Slot &s = slots[i];
                const uint64_t pick = rng() % 1000;
                // Mostly short; a few span four chunks and so can time out between two.
                s.length = DWORD(pick < 945 ? 1 + rng() % 6 : pick < 995 ? 7 + rng() % 34 : kLongWrite + rng() % 100);
                s.buffer.resize(s.length);
                const uint32_t id = nextId++;
                for (uint32_t k = 0; k < s.length; k++) s.buffer[k] = StreamByte(id, k);
                writes.push_back({s.length, {}});
                s.checkQuiet(run.faults, "write");
                s.issued(WriteFile(run.h, s.buffer.data(), s.length, nullptr, &s.o), run.faults, "WriteFile");
                run.count(run.tally.writes);
            }
            // A long write is left to its time-out (or a purge).
            const bool early = WaitForSingleObject(slots[n - 1].o.hEvent, DWORD(rng() % 12)) == WAIT_TIMEOUT &&
                               rng() % 4 == 0 &&
                               std::none_of(slots, slots + n, [](const Slot &s) { return s.length >= kLongWrite; });
            if (early || WaitForSingleObject(slots[n - 1].o.hEvent, 200) == WAIT_TIMEOUT) {
                CancelIo(run.h);
                run.count(run.tally.writeCancels);
            }
            for (int i = 0; i < n; i++) {
                WriteRecord &w = writes[first + i];
                w.done = slots[i].finish(run.h, run.faults, "write");
                const int k = Outcome(w.done.status);
                if (k < 0) run.faults.add("write ended with status " + Hex(w.done.status));
                else (w.length >= kLongWrite ? run.tally.longWriteStatus : run.tally.writeStatus)[k]++;
                if (k == 0 && w.done.count != w.length) run.faults.add("a successful write reported a short count");
            }
        });
        for (auto &s : slots) s.checkQuiet(run.faults, "write");
    }
};

// Issues batches of reads and keeps what they brought, in order.
struct Reader : Actor {
    explicit Reader(Shared &run) : Actor(run, 5) {}
    std::vector<uint8_t> readBack;

    void operator()() {
        Slot slots[kDepth];
        uint64_t setsAtIssue[kDepth] = {};
        bool earlyAtIssue[kDepth] = {};
        loop(3, [&] {
            const int n = 1 + int(rng() % kDepth);
            for (int i = 0; i < n; i++) {
                Slot &s = slots[i];
                s.length = DWORD(1 + rng() % (rng() % 2 ? 256 : 32));
                s.buffer.assign(s.length, 0);
                s.checkQuiet(run.faults, "read");
                // Count first, flag second: an announcement missed by one is caught by the other.
                setsAtIssue[i] = run.earlySets;
                earlyAtIssue[i] = run.earlyActive;
                s.issued(ReadFile(run.h, s.buffer.data(), s.length, nullptr, &s.o), run.faults, "ReadFile");
                run.count(run.tally.reads);
            }
            // Without a time-out a read waits for all it asked for, so the reader always ends up cancelling.
            if (WaitForSingleObject(slots[n - 1].o.hEvent, DWORD(rng() % 16)) == WAIT_TIMEOUT &&
                (rng() % 2 || WaitForSingleObject(slots[n - 1].o.hEvent, 60) == WAIT_TIMEOUT)) {
                CancelIo(run.h);
                run.count(run.tally.readCancels);
            }
            for (int i = 0; i < n; i++) {
                Slot &s = slots[i];
                const Done d = s.finish(run.h, run.faults, "read");
                const int k = Outcome(d.status);
                if (k < 0) run.faults.add("read ended with status " + Hex(d.status));
                else run.tally.readStatus[k]++;
                if (k == 0 && d.count != s.length && !earlyAtIssue[i] && run.earlySets == setsAtIssue[i])
                    run.faults.add("a read without an early-return time-out succeeded short: " +
                                   std::to_string(d.count) + " of " + std::to_string(s.length));
                if (NT_SUCCESS(d.status)) readBack.insert(readBack.end(), s.buffer.begin(), s.buffer.begin() + d.count);
            }
            // Now and then a long pause fills the ring to the receive hold of RTS handshaking.
            if (kReceiveHoldsSound && rng() % 40 == 0) {
                run.readerPaused = true;
                Sleep(DWORD(50 + rng() % 200));
                run.readerPaused = false;
            }
        });
        for (auto &s : slots) s.checkQuiet(run.faults, "read");
    }
};

// Sets random wait masks and keeps an overlapped WaitCommEvent going, tries a second one now and
// then, and cancels its wait at random moments. A wait ends once: with events within the mask it
// was armed under (none only when the mask changed meanwhile), or cancelled only after CancelIo.
struct Watcher : Actor {
    explicit Watcher(Shared &run) : Actor(run, 11) {}

    struct Wait {
        Slot slot;
        DWORD events = 0, mask = 0;  // `mask`: in force when it was armed
        bool maskChanged = false, cancelled = false;
    };

    // True when `w` was taken by the driver and is now pending. A wait refused at once (no mask,
    // or one already armed) leaves no trace in its OVERLAPPED.
    bool issue(Wait &w, DWORD mask) {
        w.slot.checkQuiet(run.faults, "wait");
        w.events = 0xFFFFFFFF;
        w.mask = mask;
        w.maskChanged = w.cancelled = w.slot.endedAtOnce = false;
        run.count(run.tally.waits);
        if (WaitCommEvent(run.h, &w.events, &w.slot.o)) {
            run.faults.add("WaitCommEvent finished at once");
            return false;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) return true;
        if (error != ERROR_INVALID_PARAMETER) run.faults.add("WaitCommEvent refused with error " + std::to_string(error));
        w.slot.endedAtOnce = true;
        w.slot.finish(run.h, run.faults, "refused wait");
        run.tally.refusedWaits++;
        return false;
    }

    void finish(Wait &w) {
        const Done d = w.slot.finish(run.h, run.faults, "wait");
        const int k = Outcome(d.status);
        if (k == 0 || k == 2) run.tally.waitStatus[k]++;
        auto fault = [&](const std::string &what) {
            run.faults.add("wait under mask " + Hex(w.mask) + " " + what + " (status " + Hex(d.status) + ", events " +
                           Hex(w.events) + ")");
        };
        if (k == 0) {
            if (w.events & ~w.mask) fault("reported events outside its mask");
            if (w.events & kNeverRaised) fault("reported an event nothing raises");
            if (!w.events && !w.maskChanged) fault("ended with no events and no mask change");
            run.tally.emptyWaits += w.events == 0;
            for (int b = 0; b < 13; b++) run.tally.eventBits[b] += (w.events & w.mask) >> b & 1;
        } else if (k != 2 || !w.cancelled) {
            fault("ended with a status it may not have");
        }
    }

    // Finishes `w`, which must be over or about to be (its completion may still be on its way).
    void ended(Wait &w, const char *otherwise) {
        if (WaitForSingleObject(w.slot.o.hEvent, 50) != WAIT_OBJECT_0) {
            run.faults.add(otherwise);
            w.cancelled = true;
            CancelIo(run.h);
        }
        finish(w);
    }

    void operator()() {
        Wait waits[2];
        Wait *armed = nullptr;  // the pending wait, if any
        DWORD mask = 0;
        waits[0].slot.length = waits[1].slot.length = sizeof(DWORD);
        loop(3, [&] {
            Wait &other = armed == &waits[0] ? waits[1] : waits[0];
            switch (rng() % 8) {
            case 0:
            case 1: {
                // Any of the thirteen events, at times none; some are never raised, and so keep a wait pending.
                mask = rng() % 16 ? DWORD(rng() & 0x1FFF) : 0;
                DWORD back = 0;
                if (!SetCommMask(run.h, mask) || !GetCommMask(run.h, &back) || back != mask)
                    run.faults.add("SetCommMask " + Hex(mask) + " did not hold: " + Hex(back));
                run.count(run.tally.masks);
                // A new mask ends the armed wait.
                if (armed) {
                    armed->maskChanged = true;
                    ended(*armed, "a wait stayed pending after SetCommMask");
                    armed = nullptr;
                }
                break;
            }
            case 2:
            case 3:
                if (!issue(other, mask)) break;
                if (!mask) run.faults.add("a wait with no mask was taken");
                // Refused while another is armed; taken only if that one has just ended.
                if (armed) ended(*armed, "a second wait was taken while the first stayed pending");
                armed = &other;
                break;
            case 4:
                if (!armed) break;
                armed->cancelled = true;
                CancelIo(run.h);
                run.count(run.tally.waitCancels);
                break;
            default:
                if (armed && WaitForSingleObject(armed->slot.o.hEvent, DWORD(rng() % 20)) == WAIT_OBJECT_0) {
                    finish(*armed);
                    armed = nullptr;
                }
            }
        });
        if (armed) {
            armed->cancelled = true;
            CancelIo(run.h);
            finish(*armed);
        }
        for (auto &w : waits) w.slot.checkQuiet(run.faults, "wait");
    }
};

// Purges with random masks, changes the time-outs (announcing early-return read settings), drops
// DTR or RTS for a moment, sends short breaks and switches CTS, RTS and DTR handshaking at the same
// rate and format. The loopback turns DTR into DSR and DCD and RTS into CTS, so the lines raise events
// and, under CTS handshaking, hold transmission.
struct Controller : Actor {
    Controller(Shared &run, lab::Bench &bench) : Actor(run, 7), chip(bench.chip()), machine(bench.machine()) {}
    emu::usb::BridgeChip &chip;
    emu::Machine &machine;
    bool ctsFlow = false, rtsHandshake = false, dtrHandshake = false;  // as this actor last set them
    // When both handshakes were in force: the plug's RTS-to-CTS wire then stops the chip before
    // its receive FIFO can overflow, so no character may be dropped.
    std::vector<std::pair<int64_t, int64_t>> guarded;

    // A refused call must fail with ERROR_INVALID_PARAMETER, any other must succeed.
    void expect(BOOL ok, bool refused, const char *call) {
        const DWORD error = ErrorOf(ok);
        if (ok == refused || (refused && error != ERROR_INVALID_PARAMETER))
            run.faults.add(std::string(call) + (refused ? " was not refused" : " failed") + ", error " +
                           std::to_string(error));
    }

    void purge() {
        // Fewer transmit aborts, or hardly a long write would live to time out.
        DWORD mask = DWORD(1 + rng() % 15);
        if ((mask & PURGE_TXABORT) && rng() % 8) mask = mask == PURGE_TXABORT ? PURGE_TXCLEAR : mask & ~PURGE_TXABORT;
        if (run.readerPaused && !(mask &= PURGE_TXABORT | PURGE_TXCLEAR)) mask = PURGE_TXCLEAR;
        expect(PurgeComm(run.h, mask), false, "PurgeComm");
        for (int b = 0; b < 4; b++) run.tally.purgeBits[b] += (mask >> b) & 1;
        run.count(run.tally.purges);
    }

    void timeouts() {
        DWORD interval = 0, multiplier = 0, constant = 0;
        bool early = true;
        switch (rng() % 6) {
        case 0: interval = MAXULONG; break;
        case 1: interval = MAXULONG, multiplier = MAXULONG, constant = DWORD(1 + rng() % 20); break;
        case 2: interval = MAXULONG, multiplier = DWORD(rng() % 3), constant = DWORD(1 + rng() % 20); break;
        case 3: interval = DWORD(1 + rng() % 5), early = false; break;
        case 4:
            interval = DWORD(rng() % 3), multiplier = DWORD(rng() % 3), constant = DWORD(1 + rng() % 30), early = false;
            break;
        default: early = false;  // no read time-out: a read waits for all it asked for
        }
        const DWORD writeMultiplier = rng() % 8 == 0 ? 1 : 0;
        const DWORD writeConstant = rng() % 5 == 0 ? 0 : DWORD(21 + rng() % 20);
        COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        // Announced before an early-return setting takes effect, withdrawn only after it is gone.
        // The flag goes up before the count moves: a reader that sees the new count sees the flag.
        if (early) {
            run.earlyActive = true;
            run.earlySets++;
        }
        expect(SetCommTimeouts(run.h, &t), false, "SetCommTimeouts");
        if (!early) run.earlyActive = false;
        run.count(run.tally.timeouts);
    }

    // A line belongs to its handshake while that is on: the port refuses to move it. Otherwise
    // only this actor moves the line, and the chip's pin follows before the call returns.
    void pulseLine() {
        const bool rts = rng() % 2, refused = rts ? rtsHandshake : dtrHandshake;
        for (const bool up : {false, true}) {
            const char *name = rts ? (up ? "SETRTS" : "CLRRTS") : (up ? "SETDTR" : "CLRDTR");
            expect(EscapeCommFunction(run.h, rts ? (up ? SETRTS : CLRRTS) : (up ? SETDTR : CLRDTR)), refused, name);
            if (!refused && (rts ? chip.rts() : chip.dtr()) != up)
                run.faults.add(std::string("the chip's line differs after ") + name);
            if (!up) Sleep(DWORD(rng() % 6));
        }
        run.count(run.tally.lines);
    }

    void pulseBreak() {
        expect(SetCommBreak(run.h), false, "SetCommBreak");
        Sleep(DWORD(rng() % 3));
        expect(ClearCommBreak(run.h), false, "ClearCommBreak");
        run.count(run.tally.breaks);
    }

    void handshake() {
        if (ctsFlow && rtsHandshake) guarded.back().second = machine.now();
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        expect(GetCommState(run.h, &dcb), false, "GetCommState");
        if (dcb.BaudRate != kRate || dcb.ByteSize != 8 || dcb.Parity != NOPARITY || dcb.StopBits != ONESTOPBIT ||
            bool(dcb.fOutxCtsFlow) != ctsFlow || (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) != rtsHandshake ||
            (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) != dtrHandshake)
            run.faults.add("GetCommState does not give back the settings last made");
        ctsFlow = rng() % 2;
        rtsHandshake = rng() % 2;
        // DTR handshaking moves DTR from the receive path, racing this actor's RTS changes.
        dtrHandshake = rng() % 4 == 0;
        dcb.fOutxCtsFlow = ctsFlow;
        dcb.fRtsControl = rtsHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fDtrControl = dtrHandshake ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
        // Limits that put the receive hold within reach of the reader's pauses.
        COMMPROP props{};
        expect(GetCommProperties(run.h, &props), false, "GetCommProperties");
        dcb.XoffLim = WORD(rng() % (props.dwCurrentRxQueue / 2 + 1));
        dcb.XonLim = WORD(rng() % (props.dwCurrentRxQueue / 4 + 1));
        expect(SetCommState(run.h, &dcb), false, "SetCommState");
        if (ctsFlow && rtsHandshake) guarded.push_back({machine.now(), INT64_MAX});
        run.tally.ctsFlowSets += ctsFlow;
        run.tally.rtsHandshakeSets += rtsHandshake;
        run.tally.dtrHandshakeSets += dtrHandshake;
        run.count(run.tally.handshakes);
    }

    void operator()() {
        loop(4, [&] {
            const uint64_t pick = rng() % 20;
            pick < 6 ? purge() : pick < 12 ? timeouts() : pick < 16 ? pulseLine() : pick < 18 ? pulseBreak() : handshake();
        });
    }
};

// Checks the accounting once the actors are done, against the chip's record of the line.
struct Oracle {
    std::vector<uint8_t> wire, received;
    size_t dropped = 0, cancelledSent = 0, gaps = 0, breaks = 0;
    std::vector<int64_t> dropTimes;

    explicit Oracle(const std::vector<emu::usb::LineEvent> &log) {
        using emu::usb::LineEvent;
        bool breakOn = false;
        size_t duringBreak = 0;
        for (const auto &e : log) {
            if (e.kind == LineEvent::Sent) wire.push_back(e.data);
            if (e.kind == LineEvent::Received) received.push_back(e.data);
            if (e.kind == LineEvent::Dropped) dropped++, dropTimes.push_back(e.time);
            if (e.kind == LineEvent::BreakSent) {
                breakOn = e.on;
                breaks += e.on;
            } else if (breakOn) {
                duringBreak += e.kind == LineEvent::Sent || e.kind == LineEvent::Received || e.kind == LineEvent::Dropped;
            }
        }
        // A break holds the transmitter, so nothing goes out, or comes back, while it lasts.
        EXPECT_EQ(duringBreak, 0u) << "characters on the line during a break";
        EXPECT_EQ(received.size() + dropped, wire.size()) << "the loopback carries every character back";
    }

    // The wire, run by run: each write with a final count must be there with exactly that many
    // bytes; a cancelled write may have left any prefix of itself; nothing else may be there.
    void checkWire(const std::vector<WriteRecord> &writes) {
        size_t at = 0, reported = 0;
        for (uint32_t id = 0; id < writes.size(); id++) {
            const WriteRecord &w = writes[id];
            size_t run = 0;
            if (at < wire.size() && wire[at] == StreamByte(id, 0))
                for (run = 1; at + run < wire.size() && !(wire[at + run] & 0x80);) run++;
            if (w.done.status == STATUS_CANCELLED) {
                if (run > w.length) run = 0;  // not a prefix of this write
                cancelledSent += run;
            } else if (run != w.done.count) {
                ADD_FAILURE() << "write " << id << " reported " << w.done.count << " of " << w.length
                              << " bytes with status " << Hex(w.done.status) << ", the wire has " << run;
                break;
            } else {
                reported += run;
            }
            for (size_t k = 0; k < run; k++)
                if (wire[at + k] != StreamByte(id, uint32_t(k))) {
                    ADD_FAILURE() << "write " << id << " byte " << k << " differs on the wire";
                    break;
                }
            at += run;
        }
        EXPECT_EQ(at, wire.size()) << "bytes on the wire that no write accounts for";
        EXPECT_EQ(reported + cancelledSent, wire.size());
    }

    // Flow control loses nothing: no character dropped while both handshakes were on.
    void checkFlow(const std::vector<std::pair<int64_t, int64_t>> &guarded) {
        for (int64_t t : dropTimes)
            for (const auto &[from, to] : guarded)
                if (t >= from && t < to) ADD_FAILURE() << "a character was dropped at " << t << " under hardware handshaking";
    }

    // What was read is what the chip received, in order, with gaps only.
    void checkReadBack(const std::vector<uint8_t> &readBack) {
        size_t r = 0;
        for (size_t i = 0; i < readBack.size(); i++, r++) {
            const size_t from = r;
            while (r < received.size() && received[r] != readBack[i]) r++;
            if (r == received.size()) {
                ADD_FAILURE() << "read byte " << i << " of " << readBack.size() << " is not next in what the chip received";
                break;
            }
            gaps += r != from;
        }
    }
};

inline void Report(const Tally &t, const Oracle &oracle, size_t readBytes, int64_t now) {
    auto u = [](uint64_t v) { return (unsigned long long)v; };
    auto ends = [&](const char *what, const uint64_t (&s)[3]) {
        std::printf("%s (ok %llu, timed out %llu, cancelled %llu)", what, u(s[0]), u(s[1]), u(s[2]));
    };
    std::printf("ops %llu: %llu ", u(t.ops), u(t.writes)), ends("writes", t.writeStatus), ends(", long", t.longWriteStatus);
    std::printf(", %llu ", u(t.reads)), ends("reads", t.readStatus);
    std::printf(", CancelIo %llu+%llu, purges %llu (tx abort %llu, rx abort %llu, tx clear %llu, rx clear %llu), time-out "
                "changes %llu\nwaits %llu (ok %llu, %llu of them empty, cancelled %llu, refused %llu), CancelIo %llu, "
                "masks %llu; events:",
                u(t.writeCancels), u(t.readCancels), u(t.purges), u(t.purgeBits[0]), u(t.purgeBits[1]), u(t.purgeBits[2]),
                u(t.purgeBits[3]), u(t.timeouts), u(t.waits), u(t.waitStatus[0]), u(t.emptyWaits), u(t.waitStatus[2]),
                u(t.refusedWaits), u(t.waitCancels), u(t.masks));
    for (uint64_t n : t.eventBits) std::printf(" %llu", u(n));
    std::printf("\nline pulses %llu, breaks %llu, handshake changes %llu (CTS on %llu, RTS handshake on %llu, DTR "
                "handshake on %llu)\nbytes: wire %zu (cancelled writes' %zu), chip dropped %zu, read %zu in %zu gaps; %zu "
                "breaks on the line; emulated %.1f s\n",
                u(t.lines), u(t.breaks), u(t.handshakes), u(t.ctsFlowSets), u(t.rtsHandshakeSets), u(t.dtrHandshakeSets),
                oracle.wire.size(), oracle.cancelledSent, oracle.dropped, readBytes, oracle.gaps, oracle.breaks,
                double(now) / 1e7);
}

}  // namespace stress
}  // namespace port_test
