#include "emulator/kernel/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "emulator/kernel/scheduler.h"
#include "emulator/kernel/thread_state.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {
std::atomic<uint32_t> g_nextThreadId{1};
// 2026-01-01 00:00:00 UTC in 100 ns units since 1601: a fixed boot time keeps runs repeatable.
constexpr int64_t kBootSystemTime = 134118144000000000LL;
}  // namespace

ThreadState &RegisterSelf() {
    thread_local ThreadState state;
    if (state.id == 0) state.id = g_nextThreadId.fetch_add(1);
    tlsSelf = &state;
    return state;
}

KIRQL CurrentIrql() { return Self().irql; }
void SetIrql(KIRQL irql) { Self().irql = irql; }
uint32_t CurrentThreadId() { return Self().id; }
std::string CurrentThreadName() { return Self().name + "#" + std::to_string(Self().id); }

namespace {
uint64_t NextSerial() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
}
}  // namespace

Machine::Machine(MachineConfig config) : config_(config), serial_(NextSerial()), bootSystemTime_(kBootSystemTime) {
    Machine *expected = nullptr;
    if (!running_.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "emu::Machine: only one machine may run at a time\n");
        std::abort();
    }
    if (config_.processors < 1) config_.processors = 1;
    if (config_.tickIncrement < 1) config_.tickIncrement = 156250;
    scheduler_ = std::make_unique<Scheduler>(*this, config_);
    if (config_.virtualClock) virtualNow_ = &scheduler_->virtualClock();
    scheduler_->registerThread("main");
    Self().irql = PASSIVE_LEVEL;
    Self().heldLocks.clear();
    scheduler_->startProcessors();
}

Machine::~Machine() {
    scheduler_->stop();
    // Services go newest first: later ones may use earlier ones while they shut down.
    while (!services_.empty()) {
        serial_ = NextSerial();  // forget what threads remember of the one going
        services_.pop_back();
    }
    scheduler_->unregisterThread();
    scheduler_.reset();
    running_.store(nullptr);
}

void Machine::NoMachine() {
    std::fprintf(stderr, "emu: a kernel routine was called with no machine running\n");
    std::abort();
}

int64_t Machine::realNow() const { return scheduler_->now(); }

uint64_t Machine::scheduleAt(int64_t when, std::function<void()> fn) {
    return scheduler_->scheduleAt(when, std::move(fn));
}

bool Machine::cancelEvent(uint64_t id) { return scheduler_->cancelEvent(id); }

TimedEvent::TimedEvent(std::function<void()> body) : state_(new State) { state_->body = std::move(body); }

TimedEvent::~TimedEvent() {
    if (!state_) return;
    state_->dead.store(true);
    if (state_->scheduler)
        state_->scheduler->dropTimed(state_);
    else
        delete state_;
}

TimedEvent &TimedEvent::operator=(TimedEvent &&other) {
    if (this != &other) {
        TimedEvent old(std::move(*this));  // its destructor cancels
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

void TimedEvent::arm(int64_t when) {
    if (!state_->scheduler) state_->scheduler = &Machine::current().scheduler();
    state_->scheduler->armTimed(*state_, when);
}

void TimedEvent::cancel() {
    if (state_ && state_->scheduler) state_->scheduler->cancelTimed(*state_);
}

void Machine::sleepFor(int64_t units) { scheduler_->delay(-units); }

void Machine::noiseYield() {
    ThreadState &self = Self();
    if (!self.noiseSeeded) {
        self.noise.seed(config_.noiseSeed * 0x9E3779B97F4A7C15ULL + self.id);
        self.noiseSeeded = true;
    }
    if (static_cast<int>(self.noise() % 100) < config_.noisePercent) {
        int spins = static_cast<int>(self.noise() % 4);
        for (int i = 0; i <= spins; i++) std::this_thread::yield();
    }
}

Thread::Thread(std::function<void()> body, std::string name) {
    Scheduler &s = Machine::current().scheduler();
    auto state = std::make_shared<JoinState>();
    join_ = state;
    // Counted as runnable before it starts, so the clock cannot move past its first step.
    s.registerPending();
    thread_ = std::thread([&s, body = std::move(body), name = std::move(name), state] {
        ThreadState &self = Self();
        self.registered = true;
        self.name = name;
        NameHostThread(name);
        body();
        s.finishThread(*state);
    });
}

Thread::~Thread() {
    if (thread_.joinable()) join();
}

void Thread::join() {
    Machine::current().scheduler().waitThread(*join_);
    thread_.join();
}

}  // namespace emu
