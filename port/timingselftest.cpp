// Timing self-test: the sequencer on a recorded simulated port, then the
// lateness of every step from the record's timestamps.
#include "port/timingselftest.h"

#include "port/delaycount.h"
#include "port/module1.h"
#include "port/recordedport.h"
#include "port/sequencer.h"
#include "port/simulatedport.h"
#include "port/steppattern.h"
#include "port/threadpinning.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <thread>

namespace port {

namespace {

using namespace std::chrono_literals;

constexpr auto pollInterval = 10ms;
constexpr double millisecondsPerSecond = 1000.0;
constexpr double nanosecondsPerMicrosecond = 1000.0;
constexpr double nanosecondsPerSecond = 1e9;
constexpr std::size_t writesPerStep = 2;
// Headroom for the writes made while the stop is under way.
constexpr double recordHeadroom = 1.5;
constexpr std::size_t spareWrites = std::size_t{1} << 12;
// A step off by more than this share of its length is visible jitter.
constexpr double jitterShare = 0.1;
// A stall this long holds a step for a time an operator would notice on a motor.
constexpr auto noticeableStall = 1ms;

std::chrono::nanoseconds percentile(const std::vector<std::int64_t>& sorted, double fraction)
{
    if (sorted.empty())
        return 0ns;
    const auto at = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return std::chrono::nanoseconds(sorted[std::clamp<std::size_t>(at, 1, sorted.size()) - 1]);
}

double microseconds(std::chrono::nanoseconds value)
{
    return static_cast<double>(value.count()) / nanosecondsPerMicrosecond;
}

// Three significant digits, never in exponent form: 0.0213, 18.7, 599, 12300.
std::string figure(double value)
{
    char text[64];
    if (std::fabs(value) >= 100.0) {
        const double scale = std::pow(10.0, std::floor(std::log10(std::fabs(value))) - 2.0);
        std::snprintf(text, sizeof text, "%.0f", std::round(value / scale) * scale);
    } else {
        std::snprintf(text, sizeof text, "%.3g", value);
    }
    return text;
}

// "18.7 us" below a millisecond, "1.61 ms" from there.
std::string duration(std::chrono::nanoseconds value)
{
    const double us = microseconds(value);
    return us < millisecondsPerSecond ? figure(us) + " us" : figure(us / millisecondsPerSecond) + " ms";
}

}  // namespace

StepTiming stepTiming(const std::vector<WriteRecord::Write>& writes, std::chrono::nanoseconds stepLength)
{
    StepTiming timing;
    const std::int64_t length = stepLength.count();
    bool first = true;
    std::int64_t slot = 0;
    std::int64_t previous = 0;
    for (const WriteRecord::Write& write : writes) {
        if (write.address != dataPort || write.value == idleData)
            continue;
        if (first) {
            first = false;
            slot = previous = write.nanoseconds;
            continue;
        }
        slot += length;
        const std::int64_t lateness = write.nanoseconds - slot;
        timing.lateness.push_back(lateness);
        timing.largestStall = std::max(timing.largestStall, write.nanoseconds - previous - length);
        if (lateness > length)
            slot = write.nanoseconds;
        previous = write.nanoseconds;
    }
    std::sort(timing.lateness.begin(), timing.lateness.end());
    return timing;
}

namespace {

SelfTestResult measureSteps(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel)
{
    const std::int64_t delayCount =
        delayCountFor(millisecondsPerSecond / selfTestOutputHz / static_cast<double>(stepsPerCycle));
    SelfTestResult result;
    result.stepLength = stepLengthFor(delayCount);
    const double expectedSteps = static_cast<double>(duration.count()) /
                                 static_cast<double>(result.stepLength.count());
    const auto capacity = static_cast<std::size_t>(expectedSteps * recordHeadroom) * writesPerStep + spareWrites;

    SimulatedPort simulated;
    RecordedPort recorded(simulated, std::bit_ceil(capacity));
    Module1 module(recorded);
    Sequencer sequencer(module, {});
    const auto started = std::chrono::steady_clock::now();
    sequencer.run(delayCount);
    while (std::chrono::steady_clock::now() - started < duration) {
        if (cancel.load(std::memory_order_acquire)) {
            result.cancelled = true;
            break;
        }
        std::this_thread::sleep_for(pollInterval);
    }
    sequencer.abandon();
    result.measured = std::chrono::steady_clock::now() - started;
    result.cpu = stepCpu();

    const StepTiming timing = stepTiming(recorded.record().snapshot(recorded.record().capacity()),
                                         result.stepLength);
    result.steps = timing.lateness.size();
    result.p50 = percentile(timing.lateness, 0.5);
    result.p99 = percentile(timing.lateness, 0.99);
    result.p999 = percentile(timing.lateness, 0.999);
    result.largest = timing.lateness.empty() ? 0ns : std::chrono::nanoseconds(timing.lateness.back());
    result.largestStall = std::chrono::nanoseconds(timing.largestStall);
    return result;
}

}  // namespace

SelfTestResult runTimingSelfTest(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel)
{
    try {
        return measureSteps(duration, cancel);
    } catch (const std::bad_alloc&) {
        SelfTestResult result;
        result.failure = "there is not enough memory to record " +
                         figure(static_cast<double>(duration.count()) / nanosecondsPerSecond) +
                         " s of steps; choose a shorter test";
        return result;
    } catch (const std::exception& error) {
        SelfTestResult result;
        result.failure = error.what();
        return result;
    }
}

std::string selfTestFigures(const SelfTestResult& result)
{
    std::string text;
    const auto line = [&text](const char* name, double value, const char* unit) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%s: %.6g%s%s\n", name, value, *unit != '\0' ? " " : "", unit);
        text += buffer;
    };
    line("selftest_cpu", result.cpu, "");
    line("selftest_step_length", microseconds(result.stepLength), "us");
    line("selftest_seconds", static_cast<double>(result.measured.count()) / nanosecondsPerSecond, "s");
    line("selftest_steps", static_cast<double>(result.steps), "steps");
    line("selftest_lateness_p50", microseconds(result.p50), "us");
    line("selftest_lateness_p99", microseconds(result.p99), "us");
    line("selftest_lateness_p99.9", microseconds(result.p999), "us");
    line("selftest_lateness_max", microseconds(result.largest), "us");
    line("selftest_largest_stall", microseconds(result.largestStall), "us");
    return text;
}

std::string selfTestVerdict(const SelfTestResult& result)
{
    if (!result.failure.empty())
        return "The timing self-test could not run: " + result.failure + ".";
    if (result.cancelled)
        return "The timing self-test was cancelled before it ended; run it again with no run under way.";
    if (result.steps == 0)
        return "The timing self-test made no steps: the step thread did not run. Close other programs and "
               "run it again.";
    std::string verdict = "This PC holds 99 % of steps to within " + duration(result.p99) + " of their time";
    if (result.p99 > 0ns) {
        // Jitter shows once p99 lateness is a tenth of a step: 14 steps a cycle.
        const double limitHz = jitterShare * nanosecondsPerSecond /
                               (static_cast<double>(stepsPerCycle) * static_cast<double>(result.p99.count()));
        verdict += "; outputs above ~" + figure(limitHz) +
                   " Hz will show jitter of more than a tenth of a step.";
    } else {
        verdict += ".";
    }
    verdict += " The longest stall was " + duration(result.largestStall);
    if (result.largestStall >= noticeableStall)
        verdict += ": for that long one step stays on the wires. Close other programs before running a "
                   "motor, and use a PC with a CPU kept free for the steps where the motor needs even steps.";
    else
        verdict += ".";
    return verdict;
}

}  // namespace port
