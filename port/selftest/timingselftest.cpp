// Timing self-test: the sequencer on a recorded simulated port, then the
// lateness of every step from the record's timestamps.
#include "port/selftest/timingselftest.h"

#include "port/backend/module1.h"
#include "port/backend/simulatedport.h"
#include "port/pattern/delaycount.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/record/runmodel.h"
#include "port/report/durationfigure.h"
#include "port/run/sequencer.h"
#include "port/run/threadpinning.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace port::selftest {

namespace {

using namespace std::chrono_literals;

// How soon a cancel is seen: a run started meanwhile shares the step CPU until then.
constexpr auto pollInterval = 1ms;
constexpr double millisecondsPerSecond = 1000.0;
constexpr double nanosecondsPerMicrosecond = 1000.0;
constexpr double nanosecondsPerSecond = 1e9;
// Headroom for the writes made while the stop is under way.
constexpr double recordHeadroom = 1.5;
constexpr std::size_t spareWrites = std::size_t{1} << 12;

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

}  // namespace

StepTiming stepTiming(const std::vector<record::WriteRecord::Write>& writes, std::chrono::nanoseconds stepLength)
{
    StepTiming timing;
    const std::int64_t length = stepLength.count();
    bool first = true;
    std::int64_t slot = 0;
    std::int64_t previous = 0;
    record::RunModel run;
    for (const record::WriteRecord::Write& write : writes) {
        if (!run.take(write).stepStart)
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
    return pattern::delayCountFor(millisecondsPerSecond / hz / static_cast<double>(pattern::stepsPerCycle));
}

// What the step thread uses, kept together: whoever is left holding it when
// the step thread has ended frees it, the caller or the measuring thread.
struct Trial {
    Trial(std::size_t recordCapacity, const run::StepThreadSetup& setup)
        : recorded(simulated, recordCapacity), module(recorded), sequencer(module, {}, setup)
    {
    }
    backend::SimulatedPort simulated;
    record::RecordedPort recorded;
    backend::Module1 module;
    run::Sequencer sequencer;  // last: its thread ends before what it writes to
};

// One rate as the step thread ran it; its figures come from the record once
// the step thread has ended.
struct RateRun {
    std::chrono::nanoseconds stepLength{0};
    std::uint64_t first = 0;  // its first write's index in the record
    std::uint64_t sleeps = 0;
    std::chrono::nanoseconds cpuUsed{0};
    std::chrono::nanoseconds wall{0};
};

// Between the caller and the measuring thread, which drives the sequencer
// so that the caller never waits on anything the step thread holds.
struct Measurement {
    std::mutex mutex;
    std::condition_variable changed;
    // All guarded by mutex.
    bool stop = false;   // cancelled, or the caller has given up
    bool ended = false;  // the step thread has ended: what follows is final
    std::chrono::steady_clock::time_point endBy = std::chrono::steady_clock::time_point::max();
    std::shared_ptr<Trial> trial;
    SelfTestFailure failure;
    bool cancelled = false;
    run::TimingMode timing;
    RateRun slow, fast;

    // Waits until stop or until; true when stopped.
    bool waitForStop(std::chrono::steady_clock::time_point until)
    {
        std::unique_lock lock(mutex);
        return changed.wait_until(lock, until, [this] { return stop; });
    }
    bool stopped()
    {
        std::lock_guard lock(mutex);
        return stop;
    }
};

std::size_t recordCapacity(std::chrono::nanoseconds duration)
{
    const std::chrono::nanoseconds fastPart = duration - duration / 3;
    const double expectedSteps = static_cast<double>(fastPart.count()) /
                                 static_cast<double>(pattern::stepLengthFor(delayCountForRate(selfTestOutputHz)).count());
    return std::bit_ceil(static_cast<std::size_t>(expectedSteps * recordHeadroom) * pattern::writesPerStep + spareWrites);
}

// One rate, from the idle state to the idle state; false when the test was
// stopped or the run would not end, and the step thread is to be ended at once.
bool runRate(Measurement& measurement, Trial& trial, double hz, std::chrono::nanoseconds duration, RateRun& run)
{
    const std::int64_t delayCount = delayCountForRate(hz);
    run.stepLength = pattern::stepLengthFor(delayCount);
    run.first = trial.recorded.record().total();
    const auto started = std::chrono::steady_clock::now();
    trial.sequencer.run(delayCount);
    const std::chrono::nanoseconds cpuBefore = trial.sequencer.stepThreadCpuTime();
    if (measurement.waitForStop(started + duration))
        return false;
    run.cpuUsed = trial.sequencer.stepThreadCpuTime() - cpuBefore;
    run.wall = std::chrono::steady_clock::now() - started;
    run.sleeps = trial.sequencer.sleeps();
    trial.sequencer.stop();
    const auto idleBy = std::chrono::steady_clock::now() + selfTestEndLimit;
    while (trial.sequencer.state() != run::SequencerState::Idle) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= idleBy || measurement.waitForStop(now + pollInterval))
            return false;
    }
    return true;
}

// On the measuring thread: the step thread's set-up, both rates, the end of
// the step thread, then the outcome for the caller. Takes measurement's
// mutex only between calls into the sequencer, never across one.
void measure(Measurement& measurement, std::chrono::nanoseconds duration, const run::StepThreadSetup& setup)
{
    std::shared_ptr<Trial> trial;
    SelfTestFailure failure;
    run::TimingMode timing;
    RateRun slow, fast;
    try {
        trial = std::make_shared<Trial>(recordCapacity(duration), setup);
    } catch (const std::bad_alloc&) {
        failure = {SelfTestFailure::Kind::NoMemoryToRecord, duration, {}};
    } catch (const std::exception& error) {
        failure = {SelfTestFailure::Kind::Error, {}, error.what()};
    }
    if (trial) {
        // The set-up (priority, calibration of the wake-ups) is not part of
        // what is measured, as long as it ends in time; a slower one (a
        // loaded PC at normal priority) only leaves fewer steps measured.
        const auto setUpBy = std::chrono::steady_clock::now() + selfTestSetUpLimit;
        bool stopped = false;
        while (!trial->sequencer.timing().known && !stopped && std::chrono::steady_clock::now() < setUpBy)
            stopped = measurement.waitForStop(std::chrono::steady_clock::now() + pollInterval);
        if (!stopped) {
            const std::chrono::nanoseconds slowPart = duration / 3;
            const bool ran = runRate(measurement, *trial, selfTestSlowHz, slowPart, slow) &&
                             runRate(measurement, *trial, selfTestOutputHz, duration - slowPart, fast);
            if (!ran && !measurement.stopped())
                failure = {SelfTestFailure::Kind::NotStopped, selfTestEndLimit, {}};
        }
        timing = trial->sequencer.timing();
        {
            // The caller gives up on the step thread from now on.
            std::lock_guard lock(measurement.mutex);
            measurement.endBy = std::chrono::steady_clock::now() + selfTestEndLimit;
        }
        measurement.changed.notify_all();
        // A run alive ends at once; this waits for the step thread, however long it takes.
        trial->sequencer.shutDown();
    }
    std::lock_guard lock(measurement.mutex);
    measurement.ended = true;
    measurement.failure = std::move(failure);
    measurement.cancelled = measurement.stop;
    measurement.timing = timing;
    measurement.slow = slow;
    measurement.fast = fast;
    // Handed over: the caller analyses the record and frees it, or, when it
    // has given up, this thread frees it as it lets go of measurement.
    measurement.trial = std::move(trial);
    measurement.changed.notify_all();
}

// The figures of one rate from its writes, oldest first.
RateTiming rateTiming(const RateRun& run, const std::vector<record::WriteRecord::Write>& writes)
{
    RateTiming timing;
    timing.stepLength = run.stepLength;
    const StepTiming steps = stepTiming(writes, run.stepLength);
    timing.steps = steps.lateness.size();
    timing.p50 = percentile(steps.lateness, 0.5);
    timing.p99 = percentile(steps.lateness, 0.99);
    timing.p999 = percentile(steps.lateness, 0.999);
    timing.largest = steps.lateness.empty() ? 0ns : std::chrono::nanoseconds(steps.lateness.back());
    timing.largestStall = std::chrono::nanoseconds(steps.largestStall);
    timing.sleepsPerStep =
        timing.steps == 0 ? 0.0 : static_cast<double>(run.sleeps) / static_cast<double>(timing.steps + 1);
    timing.cpuShare = run.wall.count() == 0 ? 0.0
                                            : static_cast<double>(run.cpuUsed.count()) / static_cast<double>(run.wall.count());
    timing.bins = latenessBins(steps.lateness);
    return timing;
}

void analyse(const Measurement& measurement, SelfTestResult& result)
{
    const record::WriteRecord& record = measurement.trial->recorded.record();
    std::uint64_t next = 0;
    std::vector<record::WriteRecord::Write> writes = record.since(measurement.slow.first, record.capacity(), next);
    const auto fastFrom = std::partition_point(writes.begin(), writes.end(), [&](const record::WriteRecord::Write& write) {
        return write.index < measurement.fast.first;
    });
    result.slow = rateTiming(measurement.slow, std::vector<record::WriteRecord::Write>(writes.begin(), fastFrom));
    writes.erase(writes.begin(), fastFrom);
    result.fast = rateTiming(measurement.fast, writes);
    result.measured = measurement.slow.wall + measurement.fast.wall;
}

}  // namespace

SelfTestResult runTimingSelfTest(std::chrono::nanoseconds duration, const std::atomic<bool>& cancel,
                                 const run::StepThreadSetup& setup)
{
    SelfTestResult result;
    const auto started = std::chrono::steady_clock::now();
    auto measurement = std::make_shared<Measurement>();
    try {
        // Its own thread calls into the sequencer: a step thread starved while
        // it holds the sequencer's lock would hold this caller too.
        std::thread([measurement, duration, setup] { measure(*measurement, duration, setup); }).detach();
    } catch (const std::system_error& error) {
        result.failure = {SelfTestFailure::Kind::NoThread, {}, error.what()};
        return result;
    }

    const auto limit = selfTestSetUpLimit + duration + selfTestEndLimit;
    auto deadline = started + limit;
    bool cancelSeen = false;
    std::unique_lock lock(measurement->mutex);
    while (!measurement->ended) {
        const auto now = std::chrono::steady_clock::now();
        if (!cancelSeen && cancel.load(std::memory_order_acquire)) {
            cancelSeen = true;
            measurement->stop = true;
            measurement->changed.notify_all();
            deadline = std::min(deadline, now + selfTestEndLimit);
        }
        const auto giveUpAt = std::min(deadline, measurement->endBy);
        if (now >= giveUpAt)
            break;
        measurement->changed.wait_until(lock, std::min(giveUpAt, now + pollInterval));
    }
    result.cpu = run::stepCpu();
    if (!measurement->ended) {
        // The measuring thread keeps what the step thread uses and frees it
        // once the step thread has ended.
        measurement->stop = true;
        measurement->changed.notify_all();
        result.cancelled = cancelSeen;
        if (cancelSeen || measurement->endBy <= deadline)
            result.failure = {SelfTestFailure::Kind::NotEndedWhenTold, selfTestEndLimit, {}};
        else
            result.failure = {SelfTestFailure::Kind::NotEnded, limit, {}};
        return result;
    }
    result.cancelled = measurement->cancelled;
    result.failure = measurement->failure;
    result.timing = measurement->timing;
    // Nobody waits for the figures of a cancelled test: no copying, no sorting.
    if (!result.cancelled && !result.failed() && measurement->trial) {
        try {
            analyse(*measurement, result);
        } catch (const std::bad_alloc&) {
            result.failure = {SelfTestFailure::Kind::NoMemoryToAnalyse, duration, {}};
        }
    }
    return result;
}

std::string selfTestFigures(const SelfTestResult& result)
{
    std::string text;
    const auto line = [&text](const std::string& name, double value, const char* unit) {
        text += report::figureLine(name, value, unit);
    };
    // Each rate named alike, so that a script finds the same figure of either.
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
         result.timing.grant.priorityClass == run::PriorityClass::Realtime ? result.timing.grant.priority : 0, "");
    line("selftest_seconds", static_cast<double>(result.measured.count()) / nanosecondsPerSecond, "s");
    rate("selftest_30hz_", result.slow);
    rate("selftest_1khz_", result.fast);
    return text;
}

}  // namespace port::selftest
