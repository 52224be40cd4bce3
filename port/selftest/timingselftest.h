// The timing self-test: runs the step loop with its clock-held dwell on the
// step CPU for a few seconds, at a slow rate where the thread sleeps between
// its deadlines and at 1 kHz, writing only to a simulated port, and measures
// how closely this PC holds the steps, for the operator to know before a
// motor depends on it.
#ifndef PORT_SELFTEST_TIMINGSELFTEST_H
#define PORT_SELFTEST_TIMINGSELFTEST_H

#include "port/record/writerecord.h"
#include "port/run/sequencer.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace port::selftest {

// How late each step started against the grid the step loop keeps: the grid
// starts at the first step and advances one step length a step, and moves to
// a step that starts more than one step length late, as the loop does.
// Lateness is counted from the most punctual step, so none is negative: the
// record's times are when the writes ended, which may set the first step late.
struct StepTiming {
    std::vector<std::int64_t> lateness;  // ns, one per step after the first, ascending
    std::int64_t largestStall = 0;       // ns: the longest step beyond its length
};

// From the steps the run model finds among writes (oldest first): each
// starts at its data write; STOP's idle write is not a step.
StepTiming stepTiming(const std::vector<record::WriteRecord::Write>& writes,
                      std::chrono::nanoseconds stepLength);

// Step lateness counted in bins that read on a logarithmic axis: the first
// holds the steps that started early, the second those less than 0.1 µs late,
// then five bins a decade from 0.1 µs to 100 ms, and the last everything from
// 100 ms on. A histogram of these shows at a glance how the few long stalls
// stand against the many steps held to the microsecond.
inline constexpr std::size_t latenessBinsPerDecade = 5;
inline constexpr std::chrono::nanoseconds latenessBinsFrom{100};
inline constexpr std::size_t latenessBinDecades = 6;  // to 100 ms
inline constexpr std::size_t earlyBin = 0;
inline constexpr std::size_t latenessBinCount = 2 + latenessBinsPerDecade * latenessBinDecades + 1;
using LatenessBins = std::array<std::uint64_t, latenessBinCount>;

// Where bin starts: 0 for the second bin, the log-spaced edges rounded to
// whole nanoseconds after it (exact at each decade); the early bin, which
// has no start, gives the smallest duration.
std::chrono::nanoseconds latenessBinStart(std::size_t bin);
std::size_t latenessBin(std::int64_t lateness);
LatenessBins latenessBins(const std::vector<std::int64_t>& lateness);
// Where lateness falls on an axis of equal-width bins, in bins from the
// early bin's left edge: log-spaced within a bin, linear in the second; the
// early bin and the last, which have no far edge, put it at their middle.
double latenessBinPosition(std::chrono::nanoseconds lateness);

// How the steps of one rate were held.
struct RateTiming {
    std::chrono::nanoseconds stepLength{0};
    std::uint64_t steps = 0;
    std::chrono::nanoseconds p50{0}, p99{0}, p999{0}, largest{0};  // lateness
    std::chrono::nanoseconds largestStall{0};
    double sleepsPerStep = 0.0;
    double cpuShare = 0.0;  // of one CPU, by the step thread
    LatenessBins bins{};
};

// Why the test could not measure, for app/ to say: what failed and the
// figure it failed by; the system's own words where the failure is its.
struct SelfTestFailure {
    enum class Kind {
        None,
        NoThread,           // the self-test's own thread did not start (error)
        Error,              // setting up the test failed (error)
        NoMemoryToRecord,   // duration: the test's length
        NoMemoryToAnalyse,  // duration: the test's length
        NotStopped,         // a rate's run did not stop within duration
        NotEndedWhenTold,   // the step thread did not end within duration of being told to
        NotEnded,           // the step thread did not end within duration, the test's whole limit
    };
    Kind kind = Kind::None;
    std::chrono::nanoseconds duration{0};
    std::string error;
};

struct SelfTestResult {
    bool cancelled = false;
    SelfTestFailure failure;  // Kind::None when the test ran
    bool failed() const { return failure.kind != SelfTestFailure::Kind::None; }
    int cpu = -1;  // where the loop ran, -1 when unknown
    run::TimingMode timing;
    std::chrono::nanoseconds measured{0};  // how long the loop ran, both rates
    RateTiming slow;  // 30 Hz: the thread sleeps before each deadline
    RateTiming fast;  // 1 kHz
};

// The rates the self-test runs at: 30 Hz, 14 steps of 2.38 ms, and 1 kHz,
// 14 steps of 71.4 us. The slow one takes a third of the time.
inline constexpr double selfTestSlowHz = 30.0;
inline constexpr double selfTestOutputHz = 1000.0;
inline constexpr std::chrono::seconds selfTestDefaultDuration{3};
// The record holds every write of the test: about 1.7 MB a second.
inline constexpr std::chrono::seconds selfTestLongestDuration{60};

// How long the test waits for the step thread's set-up before it measures
// anyway. It asks for its priority as a run's does: the ladder may ask RealtimeKit on
// the system bus, and a service that does not answer holds that first call
// for its 2 s timeout (the ladder asks nothing more of it then); calibrating
// the wake-ups adds some tens of milliseconds.
inline constexpr std::chrono::milliseconds selfTestSetUpLimit{2500};
// How long a step thread may take to end once told to. One that gets the CPU
// ends within a step, and a STOP at 30 Hz within a cycle (33 ms); this leaves
// room for stalls of several milliseconds many times over, and is short
// enough that a RUN waiting for the self-test to end starts without a wait
// anyone minds.
inline constexpr std::chrono::milliseconds selfTestEndLimit{500};

// Blocks for about duration (less when cancel becomes true: the result is
// then marked cancelled), and whatever the step thread does, even when it
// never gets the CPU, returns within selfTestSetUpLimit + duration +
// selfTestEndLimit, and within selfTestEndLimit of seeing cancel, which it
// looks at every millisecond. A step thread that has not ended by then is
// left to a thread of the test's own, which frees what it uses once it has
// ended; failure says so. Writes to no real port. The step thread asks for
// its priority through setup, as the program's does. Never throws: a test
// that cannot run (no memory for its record) says why in failure.
SelfTestResult runTimingSelfTest(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel,
                                 const run::StepThreadSetup& setup = {});

// "name: value unit" lines, one per figure, in the C locale (figureLine): the
// test's own, then those of each rate under "selftest_30hz_" and
// "selftest_1khz_" ("selftest_1khz_lateness_p99: 23.2 us").
std::string selfTestFigures(const SelfTestResult& result);

}  // namespace port::selftest

#endif  // PORT_SELFTEST_TIMINGSELFTEST_H
