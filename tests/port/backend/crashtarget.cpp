// Crashes on purpose while the real sequencer writes the step pattern, for
// tst_crashguard. Every port write goes to stdout as one 3-byte record
// (address low byte, address high byte, value), so the parent sees what was
// on the port up to the end, the crash handler's idle pair included.
//
//   crashtarget KIND [guarded|unguarded|cleared]
//
// KIND on the main thread: segv, overflow, bus, fpe, ill, abrt, terminate;
// inside a port write on the step thread: segv-step, terminate-step; on the
// main thread while the step thread is inside a write that lasts until the
// crash handler has begun: segv-midwrite; as that, and the step thread then
// crashes too, inside its write: segv-twice.
// Exit status 2: a wrong command line or a run that never got going.
#include "piperecord.h"
#include "port/backend/crashguard.h"
#include "port/backend/module1.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/run/sequencer.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A step of 10 µs: the step thread writes all the time, so a crash on the
// main thread finds it in the middle of its writes.
constexpr std::int64_t delayCount = 99;
constexpr std::uint64_t cyclesBeforeTheCrash = 3;
constexpr auto longestWait = 20s;

// The write a step-thread kind crashes in, after writing it, or the one
// that is held until the crash: the data byte of step 5 in cycle 4, so that
// step is left half written.
constexpr std::uint64_t stepCrashWrite = 4 * port::pattern::writesPerCycle + 5 * port::pattern::writesPerStep;

// Returns once a crash handler has begun, which from then on refuses a write
// asked for on another thread: the write under way then ends inside the
// handler's wait for it, however late the crashing thread came to crash.
void waitForTheCrashHandler()
{
    std::thread([] {
        for (;;) {
            if (!port::backend::CrashGuard::WritePermit())
                return;
            std::this_thread::sleep_for(100us);
        }
    }).join();
}

// Writes each write to fd with write(2) alone, so that the crash handler may
// write too.
class CrashingPort : public PipePort {
public:
    CrashingPort(int fd, std::uint64_t crashAt, std::uint64_t slowAt, void (*crash)())
        : PipePort(fd), crashAt_(crashAt), slowAt_(slowAt), crash_(crash)
    {
    }

    void out(std::uint16_t address, std::uint8_t value) override
    {
        const port::backend::CrashGuard::WritePermit permit;
        if (!permit)
            return;
        if (writes_ == slowAt_) {
            slowWriteUnderWay_.store(true, std::memory_order_release);
            waitForTheCrashHandler();
        }
        put(address, value);
        if (writes_++ == crashAt_)
            crash_();
    }
    bool slowWriteUnderWay() const noexcept { return slowWriteUnderWay_.load(std::memory_order_acquire); }

private:
    std::uint64_t crashAt_;
    std::uint64_t slowAt_;
    void (*crash_)();
    std::atomic<bool> slowWriteUnderWay_{false};
    std::uint64_t writes_ = 0;  // step thread only
};

// ---- the crashes ------------------------------------------------------------
// Kept from UndefinedBehaviorSanitizer, which would report them and exit
// before the fault, so that sanitizer builds crash as the others do.

[[gnu::no_sanitize_undefined]] void nullWrite()
{
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

volatile int recursionEnd = -1;  // never reached; keeps the recursion from looking endless

[[gnu::noinline]] int recurse(int depth)
{
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (depth == recursionEnd)
        return frame[0];
    return recurse(depth + 1) + frame[0];
}

void overflowTheStack()
{
    std::printf("%d", recurse(0));  // not reached
}

// A shared mapping beyond its file's end: the kernel answers with SIGBUS.
void busError()
{
    const int fd = memfd_create("crashtarget", 0);
    const long page = sysconf(_SC_PAGESIZE);
    if (fd < 0 || ftruncate(fd, page) != 0) {
        std::raise(SIGBUS);
        return;
    }
    void* mapped = mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED || ftruncate(fd, 0) != 0) {
        std::raise(SIGBUS);
        return;
    }
    *static_cast<volatile char*>(mapped) = 1;
}

[[gnu::no_sanitize_undefined]] void divideByZero()
{
#if defined(__x86_64__) || defined(__i386__)
    // Both volatile: with a known dividend of 1 the compiler divides by comparing.
    volatile int dividend = 1;
    volatile int zero = 0;
    volatile int quotient = dividend / zero;  // x86 traps on an integer division by zero
    (void)quotient;
#else
    std::raise(SIGFPE);  // other CPUs answer 0
#endif
}

void illegalInstruction()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_trap();  // ud2
#else
    std::raise(SIGILL);
#endif
}

void throwOnPurpose()
{
    throw std::runtime_error("crashtarget: thrown through a noexcept function on purpose");
}
void (*volatile thrower)() = throwOnPurpose;  // hidden from the compiler, which would warn

void throwThroughNoexcept() noexcept
{
    thrower();
}

void callAbort()
{
    std::abort();
}

enum class Moment {
    AfterCycles,      // main thread, while the step thread writes
    InsideStepWrite,  // step thread, inside write stepCrashWrite
    MidSlowWrite,     // main thread, while write stepCrashWrite is under way
    Twice,            // as MidSlowWrite, then the step thread inside that write
};

struct Kind {
    const char* name;
    void (*crash)();
    Moment moment;
};

constexpr std::array<Kind, 11> kinds{{
    {"segv", nullWrite, Moment::AfterCycles},
    {"overflow", overflowTheStack, Moment::AfterCycles},
    {"bus", busError, Moment::AfterCycles},
    {"fpe", divideByZero, Moment::AfterCycles},
    {"ill", illegalInstruction, Moment::AfterCycles},
    {"abrt", callAbort, Moment::AfterCycles},
    {"terminate", throwThroughNoexcept, Moment::AfterCycles},
    {"segv-step", nullWrite, Moment::InsideStepWrite},
    {"terminate-step", throwThroughNoexcept, Moment::InsideStepWrite},
    {"segv-midwrite", nullWrite, Moment::MidSlowWrite},
    {"segv-twice", nullWrite, Moment::Twice},
}};

int usage()
{
    std::fprintf(stderr, "usage: crashtarget KIND [guarded|unguarded|cleared]; KIND is one of");
    for (const Kind& kind : kinds)
        std::fprintf(stderr, " %s", kind.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3)
        return usage();
    const Kind* kind = nullptr;
    for (const Kind& candidate : kinds)
        if (std::strcmp(argv[1], candidate.name) == 0)
            kind = &candidate;
    const std::string guard = argc == 3 ? argv[2] : "guarded";
    if (!kind || (guard != "guarded" && guard != "unguarded" && guard != "cleared"))
        return usage();

    // A crash on purpose leaves no core file behind, nor one in a collector.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    const std::uint64_t never = UINT64_MAX;
    const bool slow = kind->moment == Moment::MidSlowWrite || kind->moment == Moment::Twice;
    CrashingPort pipe(STDOUT_FILENO,
                      kind->moment == Moment::InsideStepWrite || kind->moment == Moment::Twice ? stepCrashWrite : never,
                      slow ? stepCrashWrite : never, kind->crash);
    port::record::RecordedPort recorded(pipe);
    if (guard != "unguarded")
        port::backend::CrashGuard::install(recorded);
    if (guard == "cleared")
        port::backend::CrashGuard::clear();

    port::backend::Module1 module(recorded);
    port::run::Sequencer sequencer(module, {});  // normal priority: no root needed
    sequencer.run(delayCount);

    const auto deadline = std::chrono::steady_clock::now() + longestWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if ((kind->moment == Moment::AfterCycles && sequencer.cyclesWritten() >= cyclesBeforeTheCrash) ||
            (slow && pipe.slowWriteUnderWay()))
            kind->crash();
        std::this_thread::sleep_for(1ms);
    }
    std::fprintf(stderr, "crashtarget: no crash within %lld s (%llu cycles written)\n",
                 static_cast<long long>(longestWait.count()),
                 static_cast<unsigned long long>(sequencer.cyclesWritten()));
    std::_Exit(2);  // no idle writes on the way out: they would look like the guard's
}
