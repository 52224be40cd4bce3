// Timing self-test: the sequencer on a recorded simulated port, then the
// lateness of every step from the record's timestamps.
#include "port/timingselftest.h"

#include "port/delaycount.h"
#include "port/durationfigure.h"
#include "port/module1.h"
#include "port/recordedport.h"
#include "port/sequencer.h"
#include "port/simulatedport.h"
#include "port/steppattern.h"
#include "port/threadpinning.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <thread>

namespace port {

namespace {

using namespace std::chrono_literals;

// How soon a cancel is seen: a run started meanwhile shares the step CPU until then.
constexpr auto pollInterval = 1ms;
// A RealtimeKit that does not answer takes its D-Bus timeout.
constexpr auto setUpLimit = 5s;
constexpr double millisecondsPerSecond = 1000.0;
constexpr double nanosecondsPerMicrosecond = 1000.0;
constexpr double nanosecondsPerSecond = 1e9;
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
    const double magnitude = std::fabs(value);
    if (magnitude >= 100.0) {
        const double scale = std::pow(10.0, std::floor(std::log10(magnitude)) - 2.0);
        std::snprintf(text, sizeof text, "%.0f", std::round(value / scale) * scale);
    } else {
        // Below a ten-thousandth, %g would turn to exponent form; such a
        // share or rate is nothing to the operator.
        constexpr int mostDecimals = 4;
        const int order = magnitude > 0.0 ? static_cast<int>(std::floor(std::log10(magnitude))) : 0;
        std::snprintf(text, sizeof text, "%.*f", std::clamp(2 - order, 0, mostDecimals), value);
        // Trailing zeros carry nothing here: "2.50" reads "2.5", "0.0000" reads "0".
        std::string trimmed = text;
        if (trimmed.find('.') != std::string::npos) {
            trimmed.erase(trimmed.find_last_not_of('0') + 1);
            if (trimmed.back() == '.')
                trimmed.pop_back();
        }
        return trimmed == "-0" ? "0" : trimmed;
    }
    return text;
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
    // The record holds when each write ended, not the slot the loop aimed
    // at: a first step that came out late (cold caches) would make every
    // later one look early. Measure against the most punctual step instead.
    if (!timing.lateness.empty() && timing.lateness.front() < 0) {
        const std::int64_t earliest = timing.lateness.front();
        for (std::int64_t& lateness : timing.lateness)
            lateness -= earliest;
    }
    return timing;
}

namespace {

// The starts of the log-spaced bins and of the last bin, rounded to whole
// nanoseconds once, so that a lateness and its bin agree to the nanosecond.
const std::array<std::int64_t, latenessBinsPerDecade * latenessBinDecades + 1>& logBinStarts()
{
    static const auto starts = [] {
        std::array<std::int64_t, latenessBinsPerDecade * latenessBinDecades + 1> edges{};
        for (std::size_t k = 0; k < edges.size(); ++k)
            edges[k] = std::llround(static_cast<double>(latenessBinsFrom.count()) *
                                    std::pow(10.0, static_cast<double>(k) / latenessBinsPerDecade));
        return edges;
    }();
    return starts;
}

constexpr std::size_t onTimeBin = earlyBin + 1;
constexpr std::size_t firstLogBin = onTimeBin + 1;

}  // namespace

std::chrono::nanoseconds latenessBinStart(std::size_t bin)
{
    if (bin == earlyBin)
        return std::chrono::nanoseconds::min();
    if (bin == onTimeBin)
        return 0ns;
    return std::chrono::nanoseconds(logBinStarts().at(bin - firstLogBin));
}

std::size_t latenessBin(std::int64_t lateness)
{
    if (lateness < 0)
        return earlyBin;
    const auto& starts = logBinStarts();
    const auto after = std::upper_bound(starts.begin(), starts.end(), lateness);
    return onTimeBin + static_cast<std::size_t>(after - starts.begin());
}

LatenessBins latenessBins(const std::vector<std::int64_t>& lateness)
{
    LatenessBins bins{};
    for (const std::int64_t value : lateness)
        ++bins[latenessBin(value)];
    return bins;
}

double latenessBinPosition(std::chrono::nanoseconds lateness)
{
    constexpr double middle = 0.5;
    const std::size_t bin = latenessBin(lateness.count());
    if (bin == earlyBin || bin == latenessBinCount - 1)
        return static_cast<double>(bin) + middle;
    const double start = static_cast<double>(latenessBinStart(bin).count());
    const double end = static_cast<double>(latenessBinStart(bin + 1).count());
    const double value = static_cast<double>(lateness.count());
    const double within = bin == onTimeBin ? value / end : std::log(value / start) / std::log(end / start);
    return static_cast<double>(bin) + within;
}

namespace {

std::int64_t delayCountForRate(double hz)
{
    return delayCountFor(millisecondsPerSecond / hz / static_cast<double>(stepsPerCycle));
}

// Sleeps in short slices until duration has passed or cancel is set.
bool waitUnlessCancelled(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel)
{
    const auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < duration) {
        if (cancel.load(std::memory_order_acquire))
            return false;
        std::this_thread::sleep_for(pollInterval);
    }
    return true;
}

// One rate: a run from the idle state to the idle state, its writes taken
// from the record by their indexes.
RateTiming measureRate(Sequencer& sequencer, const WriteRecord& record, double hz,
                       std::chrono::nanoseconds duration, const std::atomic<bool>& cancel, bool& cancelled)
{
    const std::int64_t delayCount = delayCountForRate(hz);
    RateTiming timing;
    timing.stepLength = stepLengthFor(delayCount);
    const std::uint64_t first = record.total();
    const auto started = std::chrono::steady_clock::now();
    sequencer.run(delayCount);
    const std::chrono::nanoseconds cpuBefore = sequencer.stepThreadCpuTime();
    cancelled = !waitUnlessCancelled(duration, cancel);
    const std::chrono::nanoseconds cpuUsed = sequencer.stepThreadCpuTime() - cpuBefore;
    const auto wall = std::chrono::steady_clock::now() - started;
    const std::uint64_t sleeps = sequencer.sleeps();
    sequencer.stop();
    while (sequencer.state() != SequencerState::Idle)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (cancelled)
        return timing;  // nobody waits for the figures: no copying, no sorting

    std::uint64_t next = first;
    const StepTiming steps = stepTiming(record.since(first, record.capacity(), next), timing.stepLength);
    timing.steps = steps.lateness.size();
    timing.p50 = percentile(steps.lateness, 0.5);
    timing.p99 = percentile(steps.lateness, 0.99);
    timing.p999 = percentile(steps.lateness, 0.999);
    timing.largest = steps.lateness.empty() ? 0ns : std::chrono::nanoseconds(steps.lateness.back());
    timing.largestStall = std::chrono::nanoseconds(steps.largestStall);
    timing.sleepsPerStep = timing.steps == 0 ? 0.0 : static_cast<double>(sleeps) / static_cast<double>(timing.steps + 1);
    timing.cpuShare = wall.count() == 0 ? 0.0
                                        : static_cast<double>(cpuUsed.count()) / static_cast<double>(wall.count());
    timing.bins = latenessBins(steps.lateness);
    return timing;
}

SelfTestResult measureSteps(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel,
                            const StepThreadSetup& setup)
{
    SelfTestResult result;
    const std::chrono::nanoseconds slowPart = duration / 3;
    const std::chrono::nanoseconds fastPart = duration - slowPart;
    const double expectedSteps = static_cast<double>(fastPart.count()) /
                                 static_cast<double>(stepLengthFor(delayCountForRate(selfTestOutputHz)).count());
    const auto capacity = static_cast<std::size_t>(expectedSteps * recordHeadroom) * writesPerStep + spareWrites;

    SimulatedPort simulated;
    RecordedPort recorded(simulated, std::bit_ceil(capacity));
    Module1 module(recorded);
    Sequencer sequencer(module, {}, setup);
    // The step thread's set-up (priority, calibration of its wake-ups) is
    // not part of what is measured.
    const auto setUpBy = std::chrono::steady_clock::now() + setUpLimit;
    while (!sequencer.timing().known && std::chrono::steady_clock::now() < setUpBy &&
           !cancel.load(std::memory_order_acquire))
        std::this_thread::sleep_for(pollInterval);
    const auto started = std::chrono::steady_clock::now();
    result.slow = measureRate(sequencer, recorded.record(), selfTestSlowHz, slowPart, cancel, result.cancelled);
    if (!result.cancelled)
        result.fast = measureRate(sequencer, recorded.record(), selfTestOutputHz, fastPart, cancel, result.cancelled);
    result.timing = sequencer.timing();
    sequencer.shutDown();
    result.measured = std::chrono::steady_clock::now() - started;
    result.cpu = stepCpu();
    return result;
}

}  // namespace

SelfTestResult runTimingSelfTest(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel,
                                 const StepThreadSetup& setup)
{
    try {
        return measureSteps(duration, cancel, setup);
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
    // Scripts read these lines: the figures are written as %.6g would in the C
    // locale, with a full stop whatever locale the program runs in.
    const auto line = [&text](const std::string& name, double value, const char* unit) {
        char number[32];  // "%.6g" of any double: at most "-1.79769e+308"
        const auto written = std::to_chars(number, number + sizeof number, value, std::chars_format::general, 6);
        text += name;
        text += ": ";
        text.append(number, written.ptr);
        if (*unit != '\0') {
            text += ' ';
            text += unit;
        }
        text += '\n';
    };
    const auto rate = [&line](const std::string& prefix, const RateTiming& timing) {
        line(prefix + "step_length", microseconds(timing.stepLength), "us");
        line(prefix + "steps", static_cast<double>(timing.steps), "steps");
        line(prefix + "lateness_p50", microseconds(timing.p50), "us");
        line(prefix + "lateness_p99", microseconds(timing.p99), "us");
        line(prefix + "lateness_p99.9", microseconds(timing.p999), "us");
        line(prefix + "lateness_max", microseconds(timing.largest), "us");
        line(prefix + "largest_stall", microseconds(timing.largestStall), "us");
        line(prefix + "sleeps_per_step", timing.sleepsPerStep, "");
        line(prefix + "step_cpu", timing.cpuShare * 100.0, "%");
    };
    line("selftest_cpu", result.cpu, "");
    line("selftest_realtime_priority",
         result.timing.grant.priorityClass == PriorityClass::Realtime ? result.timing.grant.priority : 0, "");
    line("selftest_seconds", static_cast<double>(result.measured.count()) / nanosecondsPerSecond, "s");
    rate("selftest_", result.fast);
    rate("selftest_30hz_", result.slow);
    return text;
}

std::string selfTestVerdict(const SelfTestResult& result)
{
    if (!result.failure.empty() || result.cancelled || result.fast.steps == 0 || result.slow.steps == 0)
        return selfTestAssessment(result);
    return timingText(result.timing) + ". " + selfTestAssessment(result);
}

std::string selfTestAssessment(const SelfTestResult& result)
{
    if (!result.failure.empty())
        return "The timing self-test could not run: " + result.failure + ".";
    if (result.cancelled)
        return "The timing self-test was cancelled before it ended; run it again with no run under way.";
    if (result.fast.steps == 0 || result.slow.steps == 0)
        return "The timing self-test made no steps: the step thread did not run. Close other programs and "
               "run it again.";
    const RateTiming& fast = result.fast;
    const RateTiming& slow = result.slow;
    const PriorityGrant& grant = result.timing.grant;
    std::string verdict;
    if (grant.priorityClass != PriorityClass::Realtime && !grant.refusal.empty())
        verdict += "Real-time priority was refused: " + grant.refusal + ". ";
    verdict += "At 30 Hz 99 % of steps start within " + durationText(slow.p99) + " of their time, the step thread " +
               (slow.sleepsPerStep > 0.0 ? "sleeping before each deadline" : "spinning") + " and using " +
               figure(slow.cpuShare * 100.0) + " % of a CPU.";
    verdict += " At 1 kHz this PC holds 99 % of steps to within " + durationText(fast.p99) + " of their time";
    if (fast.p99 > 0ns) {
        // Jitter shows once p99 lateness is a tenth of a step: 14 steps a cycle.
        const double limitHz = jitterShare * nanosecondsPerSecond /
                               (static_cast<double>(stepsPerCycle) * static_cast<double>(fast.p99.count()));
        verdict += "; outputs above ~" + figure(limitHz) +
                   " Hz will show jitter of more than a tenth of a step.";
    } else {
        verdict += ".";
    }
    const std::chrono::nanoseconds largestStall = std::max(fast.largestStall, slow.largestStall);
    verdict += " The longest stall was " + durationText(largestStall);
    if (largestStall >= noticeableStall)
        verdict += ": for that long one step stays on the wires. Close other programs before running a "
                   "motor, and use a PC with a CPU kept free for the steps where the motor needs even steps.";
    else
        verdict += ".";
    return verdict;
}

}  // namespace port
