// The timing self-test: runs the step loop with its clock-held dwell on the
// step CPU for a few seconds, at a slow rate where the thread sleeps between
// its deadlines and at 1 kHz, writing only to a simulated port, and tells the
// operator how closely this PC holds the steps before a motor depends on it.
#ifndef PORT_TIMINGSELFTEST_H
#define PORT_TIMINGSELFTEST_H

#include "port/sequencer.h"
#include "port/writerecord.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace port {

// How late each step started against the grid the step loop keeps: the grid
// starts at the first step and advances one step length a step, and moves to
// a step that starts more than one step length late, as the loop does.
struct StepTiming {
    std::vector<std::int64_t> lateness;  // ns, one per step after the first, ascending
    std::int64_t largestStall = 0;       // ns: the longest step beyond its length
};

// From the data writes among writes (oldest first); the idle write is not a step.
StepTiming stepTiming(const std::vector<WriteRecord::Write>& writes,
                      std::chrono::nanoseconds stepLength);

// How the steps of one rate were held.
struct RateTiming {
    std::chrono::nanoseconds stepLength{0};
    std::uint64_t steps = 0;
    std::chrono::nanoseconds p50{0}, p99{0}, p999{0}, largest{0};  // lateness
    std::chrono::nanoseconds largestStall{0};
    double sleepsPerStep = 0.0;
    double cpuShare = 0.0;  // of one CPU, by the step thread
};

struct SelfTestResult {
    bool cancelled = false;
    std::string failure;  // why the test could not run; empty when it ran
    int cpu = -1;  // where the loop ran, -1 when unknown
    TimingMode timing;
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

// Blocks for about duration (less when cancel becomes true: the result is
// then marked cancelled). Writes to no real port. The step thread asks for
// its priority through setup, as the program's does. Never throws: a test
// that cannot run (no memory for its record) says why in failure.
SelfTestResult runTimingSelfTest(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel,
                                 const StepThreadSetup& setup = {});

// "name: value unit" lines, one per figure.
std::string selfTestFigures(const SelfTestResult& result);
// A few plain sentences for the operator: how closely steps are held, from
// which output frequency that shows, and what the longest stall means.
std::string selfTestVerdict(const SelfTestResult& result);

}  // namespace port

#endif  // PORT_TIMINGSELFTEST_H
