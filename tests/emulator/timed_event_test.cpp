// Recurring device events: when each run happens once runs re-arm, cancel or destroy their own
// event, and how arms from another thread during a run combine with the run's own.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "emulator/kernel/machine.h"
#include "tests/emulator/kernel_test_support.h"

namespace {

using kt::kMs;

struct Ran {
    char name;
    int64_t at;
};

bool operator==(const Ran &a, const Ran &b) { return a.name == b.name && a.at == b.at; }

void PrintTo(const Ran &r, std::ostream *os) { *os << r.name << "@" << r.at; }

// A's first run hands over to the test's thread, which acts while the run waits, and goes on.
KEVENT firstRunStarted;
std::atomic<bool> firstRunResumed;

void HandOverFirstRun() {
    KeSetEvent(&firstRunStarted, 0, FALSE);
    while (!firstRunResumed) std::this_thread::yield();
}

using EventPtr = std::unique_ptr<emu::TimedEvent>;

TEST(TimedEvent, RunsReArmsAndEndsAsArmedLast) {
    struct Row {
        const char *what;
        void (*start)(EventPtr &a, EventPtr &b);
        void (*aRun)(EventPtr &a, int n);               // after a's n-th run is logged (from 1)
        void (*during)(EventPtr &a, EventPtr &b);           // by the test's thread inside HandOverFirstRun
        std::vector<Ran> expected;
    };
    const Row rows[] = {
        {"equal times run in arming order; re-arming at the same time keeps the place",
         [](EventPtr &a, EventPtr &b) {
             a->arm(5 * kMs);
             b->arm(5 * kMs);
             a->arm(5 * kMs);
         },
         [](EventPtr &, int) {}, nullptr, {{'a', 5 * kMs}, {'b', 5 * kMs}}},
        {"moved to a later time, it runs after one armed later for the earlier time",
         [](EventPtr &a, EventPtr &b) {
             a->arm(5 * kMs);
             b->arm(5 * kMs);
             a->arm(6 * kMs);
         },
         [](EventPtr &, int) {}, nullptr, {{'b', 5 * kMs}, {'a', 6 * kMs}}},
        {"a run re-arms itself; of several arms in one run the last counts",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int n) {
             if (n == 3) return;
             a->arm(emu::Machine::current().now() + 9 * kMs);
             a->arm(emu::Machine::current().now() + 2 * kMs);
         },
         nullptr, {{'a', 1 * kMs}, {'a', 3 * kMs}, {'a', 5 * kMs}}},
        {"a run that re-arms and then cancels runs no more",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int) {
             a->arm(2 * kMs);
             a->cancel();
         },
         nullptr, {{'a', 1 * kMs}}},
        {"a run that destroys its own event runs no more",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int) {
             a->arm(2 * kMs);
             a.reset();
         },
         nullptr, {{'a', 1 * kMs}}},
        {"replacing an armed event cancels the one replaced",
         [](EventPtr &a, EventPtr &b) {
             a->arm(1 * kMs);
             b->arm(2 * kMs);
             *a = emu::TimedEvent([] {});
         },
         [](EventPtr &, int) {}, nullptr, {{'b', 2 * kMs}}},
        {"another thread's arm after the run's own wins",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int n) {
             if (n > 1) return;
             a->arm(9 * kMs);
             HandOverFirstRun();
         },
         [](EventPtr &a, EventPtr &) { a->arm(3 * kMs); }, {{'a', 1 * kMs}, {'a', 3 * kMs}}},
        {"another thread's cancel after the run's arm wins",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int n) {
             if (n > 1) return;
             a->arm(9 * kMs);
             HandOverFirstRun();
         },
         [](EventPtr &a, EventPtr &) { a->cancel(); }, {{'a', 1 * kMs}}},
        {"the run's own arm after another thread's wins",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int n) {
             if (n > 1) return;
             HandOverFirstRun();
             a->arm(7 * kMs);
         },
         [](EventPtr &a, EventPtr &) { a->arm(3 * kMs); }, {{'a', 1 * kMs}, {'a', 7 * kMs}}},
        {"a run's re-arm keeps its place before one armed for the same time while the run goes on",
         [](EventPtr &a, EventPtr &) { a->arm(1 * kMs); },
         [](EventPtr &a, int n) {
             if (n > 1) return;
             a->arm(4 * kMs);
             HandOverFirstRun();
         },
         [](EventPtr &, EventPtr &b) { b->arm(4 * kMs); }, {{'a', 1 * kMs}, {'a', 4 * kMs}, {'b', 4 * kMs}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        emu::MachineConfig config;
        config.processors = 1;  // runs due together would otherwise race to the log
        emu::Machine machine(config);
        KeInitializeEvent(&firstRunStarted, SynchronizationEvent, FALSE);
        firstRunResumed = false;
        std::mutex lock;
        std::vector<Ran> log;
        int aRuns = 0;
        EventPtr a, b;
        auto note = [&](char name) {
            std::lock_guard<std::mutex> g(lock);
            log.push_back({name, emu::Machine::current().now()});
        };
        a = std::make_unique<emu::TimedEvent>([&] {
            note('a');
            row.aRun(a, ++aRuns);
        });
        b = std::make_unique<emu::TimedEvent>([&] { note('b'); });
        row.start(a, b);
        if (row.during) {
            kt::WaitForever(&firstRunStarted);  // the clock moves to a's first run
            row.during(a, b);
            firstRunResumed = true;
        }
        kt::Delay(20 * kMs);
        std::lock_guard<std::mutex> g(lock);
        EXPECT_EQ(log, row.expected);
    }
}

}  // namespace
