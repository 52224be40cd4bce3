// fc-bench: how closely the step loop holds its frequency and step lengths
// on the simulated port, beside the literal counted loop for comparison.
// Prints one "name: value unit" line per figure, the value locale-free.
//
// Then load and priority: at 30 Hz, 100 Hz and 1 kHz, the step loop on an
// idle machine and with one busy process per CPU (the step CPU included),
// at normal priority and at the real-time priority the program asks for, so
// what a busy PC does to the steps, and what real-time buys back, stand side
// by side. Without the right to real-time the figures still come, and the
// timing mode lines say that the steps ran at normal priority.
//
// Last, one 1 kHz run is watched by the monitor window in its middle third
// only, so the step lateness with the monitor open and refreshing stands
// beside the lateness with it closed, in the same run.
//
// Keep-alive: at 30 Hz and 1 kHz, at the program's real-time priority and at
// normal priority, the step loop without and with the keep-alive toggling,
// one after the other in the same run, so that what its writes cost the steps
// stands beside the steps without them; and how regularly it toggles (the
// longest gap between two toggles is what the enable circuit must ride
// through). Run it on an idle machine and beside stress-ng --cpu N.
//
// Writes: what a step's two writes cost through the record, on the simulated
// port and on GPIO lines when --gpio names them; and full speed (delay count
// 0) on the program's own path, the one main.cpp builds (the libieee1284
// back end over a stand-in library that reaches no hardware, its check once
// a cycle, the record at the program's size, the crash guard, run control
// with the strip's readout ten times a second), beside fc-bench's simulated
// port, with the step thread's CPU time per cycle, which other programs on
// the machine do not change.
//
//   fc-bench [--seconds N] [--load-only] [--monitor-only] [--writes-only] [--keep-alive-only]
//            [--gpio gpio:CHIP[:LINES]]
//     N: each measurement (each monitor phase) runs N seconds, default 10
//     --load-only, --monitor-only, --writes-only, --keep-alive-only: only that section (more: each)
//     --gpio: also what a step's writes cost on those lines (they end idle)
//     --spin-limit-us N: a real-time step thread spins at most N us before a
//       break (-1: never), instead of the sequencer's own limit
#include "app/monitor/monitorwindow.h"
#include "app/monitor/traceview.h"
#include "app/text/timingtext.h"
#include "app/window/filedialog.h"
#include "port/backend/crashguard.h"
#include "port/backend/ieee1284api.h"
#include "port/backend/ieee1284port.h"
#include "port/backend/keepalivepin.h"
#include "port/backend/module1.h"
#include "port/backend/portselection.h"
#include "port/backend/simulatedport.h"
#include "port/pattern/delaycount.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/record/runmodel.h"
#include "port/report/durationfigure.h"
#include "port/run/realtimepriority.h"
#include "port/run/runcontrol.h"
#include "port/run/sequencer.h"
#include "port/run/threadpinning.h"
#include "port/selftest/timingselftest.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <ctime>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sched.h>
#include <spawn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double nanosecondsPerSecond = 1e9;
constexpr double nanosecondsPerMicrosecond = 1e3;
using port::pattern::writesPerCycle;
constexpr std::size_t spareWrites = 1 << 12;

struct Measured {
    double meanFrequency = 0.0;  // Hz, from the first to the last cycle start
    std::vector<double> stepErrors;  // |step length - scheduled|, µs, ascending
    double largestStallMicroseconds = 0.0;  // the longest step beyond its scheduled length
    std::uint64_t steps = 0;  // data writes, the idle one left out
    std::uint64_t cycles = 0;
    double elapsedSeconds = 0.0;
    double largestLatenessMicroseconds = 0.0;
};

// Frequency and step lengths from the data writes of one run (oldest first).
void analyse(const std::vector<port::record::WriteRecord::Write>& writes, std::int64_t delayCount, Measured& result)
{
    std::vector<std::int64_t> cycleStarts;
    const double scheduled = static_cast<double>(port::pattern::stepLengthFor(delayCount).count());
    double largestStall = 0.0;
    std::int64_t previousData = -1;
    port::record::RunModel run;
    for (const auto& write : writes) {
        const port::record::RunModel::Reading reading = run.take(write);
        if (!reading.stepStart)
            continue;
        ++result.steps;
        if (reading.cycleStart)
            cycleStarts.push_back(write.nanoseconds);
        if (previousData >= 0) {
            const double length = static_cast<double>(write.nanoseconds - previousData);
            result.stepErrors.push_back(std::fabs(length - scheduled) / nanosecondsPerMicrosecond);
            largestStall = std::max(largestStall, length - scheduled);
        }
        previousData = write.nanoseconds;
    }
    if (cycleStarts.size() >= 2)
        result.meanFrequency = static_cast<double>(cycleStarts.size() - 1) * nanosecondsPerSecond /
                               static_cast<double>(cycleStarts.back() - cycleStarts.front());
    result.largestStallMicroseconds = largestStall / nanosecondsPerMicrosecond;
    std::sort(result.stepErrors.begin(), result.stepErrors.end());
}

// The literal loop: a volatile counter counted up to delayCount, no clock.
class CountedLoop {
public:
    explicit CountedLoop(port::backend::Module1& module) : module_(module) {}

    void run(std::int64_t delayCount)
    {
        running_ = true;
        thread_ = std::thread([this, delayCount] {
            port::run::pinCurrentThreadToStepCpu();
            while (running_.load(std::memory_order_acquire)) {
                for (const port::pattern::Step& step : port::pattern::stepPattern) {
                    module_.vbOut(port::backend::dataPort, step.data);
                    module_.vbOut(port::backend::controlPort, step.control);
                    volatile std::int64_t delayCounter = 0;
                    while (delayCounter <= delayCount)
                        delayCounter = delayCounter + 1;
                }
                cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            }
            module_.vbOut(port::backend::dataPort, port::pattern::idleData);
            module_.vbOut(port::backend::controlPort, port::pattern::idleControl);
        });
    }
    void stop()
    {
        running_ = false;
        thread_.join();
    }
    std::uint64_t cyclesWritten() const { return cycles_.load(std::memory_order_relaxed); }

private:
    port::backend::Module1& module_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> cycles_{0};
};

void stopAndWait(port::run::Sequencer& sequencer)
{
    sequencer.stop();
    while (sequencer.state() != port::run::Sequencer::State::Idle)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Measured measure(std::int64_t delayCount, double seconds, std::size_t recordCapacity, bool useSequencer)
{
    port::backend::SimulatedPort simulated;
    port::record::RecordedPort recorded(simulated, recordCapacity);
    port::backend::Module1 module(recorded);
    port::run::Sequencer sequencer(module, {});
    CountedLoop counted(module);
    const auto started = Clock::now();
    if (useSequencer)
        sequencer.run(delayCount);
    else
        counted.run(delayCount);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Measured result;
    if (useSequencer) {
        stopAndWait(sequencer);
        result.cycles = sequencer.cyclesWritten();
        result.largestLatenessMicroseconds =
            static_cast<double>(sequencer.largestLateness().count()) / nanosecondsPerMicrosecond;
    } else {
        counted.stop();
        result.cycles = counted.cyclesWritten();
    }
    result.elapsedSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    analyse(recorded.record().snapshot(recordCapacity), delayCount, result);
    return result;
}

template <class Value>
double percentile(const std::vector<Value>& sorted, double fraction)
{
    if (sorted.empty())
        return 0.0;
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return static_cast<double>(sorted[at]);
}

void printText(const std::string& name, const std::string& text)
{
    const std::string line = name + ": " + text + "\n";
    std::fputs(line.c_str(), stdout);
}

// QApplication sets the user's locale, which would turn printf's decimal
// point into a comma for the monitor's figures: the line is the self-test's.
void print(const std::string& name, double value, const char* unit)
{
    std::fputs(port::report::figureLine(name, value, unit).c_str(), stdout);
}

double stepTimeMsFor(double hz)
{
    return 1.0 / hz / static_cast<double>(port::pattern::stepsPerCycle) * 1000.0;
}

// The record must hold the whole measurement: 28 writes a cycle.
std::size_t recordCapacityFor(std::int64_t delayCount, double seconds)
{
    const auto expectedWrites =
        static_cast<std::size_t>(port::pattern::frequencyFor(delayCount) * seconds * 1.5) * writesPerCycle;
    return std::bit_ceil(expectedWrites + spareWrites);
}

void frequencyFigures(const std::string& prefix, const std::string& label, double asked, double seconds,
                      bool useSequencer)
{
    const std::int64_t delayCount = port::pattern::delayCountFor(stepTimeMsFor(asked));
    const double defined = port::pattern::frequencyFor(delayCount);
    const Measured result = measure(delayCount, seconds, recordCapacityFor(delayCount, seconds), useSequencer);
    const std::string tag = prefix + label;
    if (useSequencer) {
        print("delay_count_" + label, static_cast<double>(delayCount), "passes-1");
        print("count_rounding_" + label, (defined - asked) / asked * 100.0, "%");
    }
    print(prefix + "freq_" + label + "_mean", result.meanFrequency, "Hz");
    print(prefix + "freq_error_" + label + "_mean", (result.meanFrequency - defined) / defined * 100.0, "%");
    print(prefix + "step_error_" + label + "_p50", percentile(result.stepErrors, 0.5), "us");
    print(prefix + "step_error_" + label + "_p99", percentile(result.stepErrors, 0.99), "us");
    print(prefix + "step_error_" + label + "_p99.9", percentile(result.stepErrors, 0.999), "us");
    print(prefix + "step_error_" + label + "_max",
          result.stepErrors.empty() ? 0.0 : result.stepErrors.back(), "us");
    if (useSequencer)
        print("largest_lateness_" + label, result.largestLatenessMicroseconds, "us");
}

void rateFigure(const std::string& prefix, const std::string& label, std::int64_t delayCount, double seconds,
                bool useSequencer)
{
    const Measured result = measure(delayCount, seconds, port::record::WriteRecord::defaultCapacity, useSequencer);
    print(prefix + "cycle_rate_" + label, static_cast<double>(result.cycles) / result.elapsedSeconds,
          "cycles/s");
}

// One busy process per CPU at normal priority, from construction to
// destruction. They are not pinned: the scheduler spreads them, so the load
// also lands on the step CPU, which is what a busy desktop does to the steps.
// Started with posix_spawn (fc-bench --busy-loop), not fork: a fork would
// make every page of this process copy-on-write, and the step thread would
// then take a page fault on each page of the record it writes, which no
// program of ours does to itself.
class BusyLoad {
public:
    explicit BusyLoad(long processes)
    {
        const std::string parent = std::to_string(getpid());
        char name[] = "fc-bench";
        char option[] = "--busy-loop";
        std::string parentArgument = parent;
        char* arguments[] = {name, option, parentArgument.data(), nullptr};
        children_.reserve(static_cast<std::size_t>(processes));
        for (long started = 0; started < processes; ++started) {
            pid_t child = -1;
            const int error = posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, arguments, environ);
            if (error != 0) {
                std::fprintf(stderr, "fc-bench: starting the load failed: %s\n", std::strerror(error));
                break;
            }
            children_.push_back(child);
        }
    }
    ~BusyLoad()
    {
        for (const pid_t child : children_)
            kill(child, SIGKILL);
        for (const pid_t child : children_)
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

    std::size_t processes() const { return children_.size(); }

    // The load process's whole life: fc-bench --busy-loop PARENT.
    [[noreturn]] static void spin(pid_t parent) noexcept
    {
        // However fc-bench ends, even by SIGKILL, the load ends with it; a
        // parent gone before the request took hold is caught by the check.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(0);
        // The parent runs at normal priority and only the step thread is
        // raised, but a load above normal would measure something else.
        sched_param normal{};
        normal.sched_priority = 0;
        sched_setscheduler(0, SCHED_OTHER, &normal);
        // Undoes the inherited reservation that keeps the main thread off the step CPU.
        cpu_set_t everyCpu;
        std::memset(&everyCpu, 0xff, sizeof everyCpu);
        sched_setaffinity(0, sizeof everyCpu, &everyCpu);
        volatile std::uint64_t counter = 0;
        for (;;)
            counter = counter + 1;
    }

private:
    std::vector<pid_t> children_;
};

long busyProcessesWanted()
{
    return std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
}

// Long enough for the scheduler to have spread the load and for every busy
// process to have used up its start-up credit.
constexpr std::chrono::milliseconds loadRampUp{200};

port::run::PriorityGrant realtimeStepThread(int tid)
{
    return port::run::requestRealtime(tid, port::run::stepThreadPriority, port::run::linuxScheduling(), nullptr);
}

struct LoadRun {
    Measured measured;
    double stepCpuPercent = 0.0;  // of the wall time between the two readings
    double sleepsPerStep = 0.0;
    double wakeMarginMicroseconds = 0.0;
    port::run::TimingMode timing;
    std::size_t busyProcesses = 0;
    std::int64_t pageFaults = -1;  // the step thread's, after the run's first whole cycle
    double cycleRate = 0.0;        // cycles/s
    std::vector<double> toggleIntervals;  // ms between two toggles of the keep-alive, ascending
};

// How long a real-time step thread may spin before it takes a break; the
// sequencer's own choice unless --spin-limit-us says otherwise, so that the
// choices for steps shorter than the wake-up margin can be measured side by side.
std::optional<std::chrono::nanoseconds> spinLimit;

// The keep-alive on pin 17 of fc-bench's simulated port, as --keep-alive=17.
port::backend::KeepAlivePin keepAlivePin()
{
    std::string unused;
    return *port::backend::parallelKeepAlivePin("17", unused);
}

LoadRun measureUnderLoad(std::int64_t delayCount, double seconds, bool loaded, bool realtime,
                         std::size_t largestRecord = std::numeric_limits<std::size_t>::max(), bool keepAlive = false)
{
    const std::size_t recordCapacity = std::min(recordCapacityFor(delayCount, seconds), largestRecord);
    port::backend::SimulatedPort simulated(keepAlive ? keepAlivePin() : port::backend::KeepAlivePin{});
    port::record::RecordedPort recorded(simulated, recordCapacity);
    port::backend::Module1 module(recorded);
    port::run::Sequencer sequencer(module, {}, realtime ? port::run::StepThreadSetup(realtimeStepThread)
                                                   : port::run::StepThreadSetup());
    // Declared after the sequencer so that it ends first on any way out.
    std::optional<BusyLoad> load;
    LoadRun run;
    if (loaded) {
        load.emplace(busyProcessesWanted());
        run.busyProcesses = load->processes();
        std::this_thread::sleep_for(loadRampUp);
    }
    if (spinLimit)
        sequencer.setSpinLimit(*spinLimit);
    sequencer.run(delayCount);
    // The CPU share is taken from the loop at work, not from the thread's start.
    const auto setUpBy = Clock::now() + std::chrono::seconds(1);
    while (!sequencer.timing().known && Clock::now() < setUpBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto cpuBefore = sequencer.stepThreadCpuTime();
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto cpuAfter = sequencer.stepThreadCpuTime();
    const auto wallAfter = Clock::now();
    stopAndWait(sequencer);
    load.reset();

    run.timing = sequencer.timing();
    run.pageFaults = sequencer.pageFaultsAfterFirstCycle();
    run.cycleRate = static_cast<double>(sequencer.cyclesWritten()) /
                    std::chrono::duration<double>(wallAfter - wallBefore).count();
    run.stepCpuPercent = std::chrono::duration<double>(cpuAfter - cpuBefore).count() /
                         std::chrono::duration<double>(wallAfter - wallBefore).count() * 100.0;
    run.wakeMarginMicroseconds =
        static_cast<double>(sequencer.wakeMargin().count()) / nanosecondsPerMicrosecond;
    analyse(recorded.record().snapshot(recordCapacity), delayCount, run.measured);
    const auto toggles = recorded.keepAliveRecord().snapshot(recorded.keepAliveRecord().capacity());
    for (std::size_t at = 1; at < toggles.size(); ++at)
        run.toggleIntervals.push_back(static_cast<double>(toggles[at].nanoseconds - toggles[at - 1].nanoseconds) / 1e6);
    std::sort(run.toggleIntervals.begin(), run.toggleIntervals.end());
    if (run.measured.steps > 0)
        run.sleepsPerStep =
            static_cast<double>(sequencer.sleeps()) / static_cast<double>(run.measured.steps);
    return run;
}

std::string timingModeText(const port::run::TimingMode& mode)
{
    if (!mode.known)
        return "unknown (the step thread had not set itself up)";
    std::string text = app::text::priorityText(mode.grant).toStdString();
    if (!mode.grant.refusal.empty())
        text += " (" + mode.grant.refusal + ")";
    return text;
}

// Each rate idle and loaded, at normal priority and then real-time: normal
// first, since real-time locks the process's memory (as it is touched) for
// the rest of the run. The step thread's page faults after each run's first
// cycle are counted: a fault in the loop holds a step.
void loadFigures(double seconds)
{
    struct Rate {
        const char* label;
        double hz;
    };
    constexpr std::array<Rate, 3> rates{{{"30hz", 30.0}, {"100hz", 100.0}, {"1khz", 1000.0}}};
    const long wanted = busyProcessesWanted();
    print("load_processes", static_cast<double>(wanted), "processes");
    print("load_ramp_up", static_cast<double>(loadRampUp.count()), "ms");
    for (const bool realtime : {false, true}) {
        const std::string priority = realtime ? "realtime" : "normal";
        std::string modeShown;
        for (const Rate& rate : rates) {
            const std::int64_t delayCount = port::pattern::delayCountFor(stepTimeMsFor(rate.hz));
            const double defined = port::pattern::frequencyFor(delayCount);
            for (const bool loaded : {false, true}) {
                const LoadRun run = measureUnderLoad(delayCount, seconds, loaded, realtime);
                // Once per priority, and again should a later run be granted otherwise.
                const std::string mode = timingModeText(run.timing);
                if (mode != modeShown) {
                    printText("timing_mode_" + priority, mode);
                    modeShown = mode;
                }
                const std::string tag =
                    std::string(rate.label) + (loaded ? "_loaded_" : "_idle_") + priority;
                const Measured& result = run.measured;
                if (loaded && run.busyProcesses != static_cast<std::size_t>(wanted))
                    print("load_processes_" + tag, static_cast<double>(run.busyProcesses), "processes");
                print("freq_error_" + tag + "_mean", (result.meanFrequency - defined) / defined * 100.0, "%");
                print("step_error_" + tag + "_p50", percentile(result.stepErrors, 0.5), "us");
                print("step_error_" + tag + "_p99", percentile(result.stepErrors, 0.99), "us");
                print("step_error_" + tag + "_p99.9", percentile(result.stepErrors, 0.999), "us");
                print("step_error_" + tag + "_max", result.stepErrors.empty() ? 0.0 : result.stepErrors.back(),
                      "us");
                print("largest_stall_" + tag, result.largestStallMicroseconds, "us");
                print("step_cpu_" + tag, run.stepCpuPercent, "%");
                print("sleeps_per_step_" + tag, run.sleepsPerStep, "sleeps/step");
                print("wake_margin_" + tag, run.wakeMarginMicroseconds, "us");
                print("page_faults_after_first_cycle_" + tag, static_cast<double>(run.pageFaults), "faults");
            }
        }
    }
}

// What the keep-alive costs the steps: each rate and priority without it and
// with it, in turns of a fifth of the time each, so that what the machine
// does meanwhile falls on both alike; with it, also how regularly it
// toggled. Idle or loaded is whatever the machine is doing (stress-ng
// beside it).
void keepAliveFigures(double seconds)
{
    struct Rate {
        const char* label;
        double hz;
    };
    constexpr std::array<Rate, 2> rates{{{"30hz", 30.0}, {"1khz", 1000.0}}};
    constexpr int turns = 5;
    // One side's turns taken together.
    struct Side {
        std::vector<double> stepErrors;
        std::vector<double> toggleIntervals;
        double frequencyError = 0.0;  // %, the mean of the turns'
        double stepCpu = 0.0;         // %, the mean of the turns'
        double largestMargin = 0.0;   // us
    };
    print("keep_alive_half_period",
          std::chrono::duration<double, std::milli>(port::run::Sequencer::keepAliveHalfPeriod).count(), "ms");
    print("keep_alive_turns", turns, "turns");
    for (const bool realtime : {true, false}) {
        const std::string priority = realtime ? "realtime" : "normal";
        std::string modeShown;
        for (const Rate& rate : rates) {
            const std::int64_t delayCount = port::pattern::delayCountFor(stepTimeMsFor(rate.hz));
            const double defined = port::pattern::frequencyFor(delayCount);
            std::array<Side, 2> sides;
            for (int turn = 0; turn < turns; ++turn) {
                for (const bool keepAlive : {false, true}) {
                    const LoadRun run = measureUnderLoad(delayCount, seconds / turns, false, realtime,
                                                         std::numeric_limits<std::size_t>::max(), keepAlive);
                    if (const std::string mode = timingModeText(run.timing); mode != modeShown) {
                        printText("timing_mode_" + priority, mode);
                        modeShown = mode;
                    }
                    Side& side = sides[keepAlive ? 1 : 0];
                    const Measured& result = run.measured;
                    side.stepErrors.insert(side.stepErrors.end(), result.stepErrors.begin(), result.stepErrors.end());
                    side.toggleIntervals.insert(side.toggleIntervals.end(), run.toggleIntervals.begin(),
                                                run.toggleIntervals.end());
                    side.frequencyError += (result.meanFrequency - defined) / defined * 100.0 / turns;
                    side.stepCpu += run.stepCpuPercent / turns;
                    side.largestMargin = std::max(side.largestMargin, run.wakeMarginMicroseconds);
                }
            }
            for (const bool keepAlive : {false, true}) {
                Side& side = sides[keepAlive ? 1 : 0];
                std::sort(side.stepErrors.begin(), side.stepErrors.end());
                std::sort(side.toggleIntervals.begin(), side.toggleIntervals.end());
                const std::string tag = std::string(rate.label) + "_" + priority + (keepAlive ? "_keep_alive" : "_without");
                print("freq_error_" + tag + "_mean", side.frequencyError, "%");
                print("step_error_" + tag + "_p50", percentile(side.stepErrors, 0.5), "us");
                print("step_error_" + tag + "_p99", percentile(side.stepErrors, 0.99), "us");
                print("step_error_" + tag + "_p99.9", percentile(side.stepErrors, 0.999), "us");
                print("step_error_" + tag + "_max", side.stepErrors.empty() ? 0.0 : side.stepErrors.back(), "us");
                print("step_cpu_" + tag, side.stepCpu, "%");
                print("largest_wake_margin_" + tag, side.largestMargin, "us");
                if (!keepAlive)
                    continue;
                print("toggles_per_second_" + tag,
                      static_cast<double>(side.toggleIntervals.size() + turns) / seconds, "toggles/s");
                print("toggle_interval_" + tag + "_p50", percentile(side.toggleIntervals, 0.5), "ms");
                print("toggle_interval_" + tag + "_p99", percentile(side.toggleIntervals, 0.99), "ms");
                print("toggle_interval_" + tag + "_max",
                      side.toggleIntervals.empty() ? 0.0 : side.toggleIntervals.back(), "ms");
            }
        }
    }
}

// At full speed the record holds the last million writes, some 1.4 s of a
// loop without breaks: enough for the step lengths, and 24 MB, not gigabytes.
constexpr std::size_t fullSpeedRecord = std::size_t{1} << 20;

// What the breaks cost where a step is shorter than a break: at delay count
// 0 (RUN before Required Voltage, steps of 0.1 us) a real-time thread with
// its breaks and one that never blocks (--spin-limit-us -1's choice),
// idle. A break then holds one step for its length and a wake-up; the cycle
// rate and the longest step say what that takes from the output.
void breakFigures(double seconds)
{
    for (const bool breaks : {true, false}) {
        const std::optional<std::chrono::nanoseconds> chosen = spinLimit;
        spinLimit = breaks ? chosen : std::optional(port::run::StepClock::noDeadline);
        const LoadRun run = measureUnderLoad(0, seconds, false, true, fullSpeedRecord);
        spinLimit = chosen;
        const std::string tag = std::string("dc0_idle_realtime_") + (breaks ? "breaks" : "no_breaks");
        printText("timing_mode_" + tag, timingModeText(run.timing));
        print("cycle_rate_" + tag, run.cycleRate, "cycles/s");
        print("step_error_" + tag + "_p99", percentile(run.measured.stepErrors, 0.99), "us");
        print("step_error_" + tag + "_max",
              run.measured.stepErrors.empty() ? 0.0 : run.measured.stepErrors.back(), "us");
        print("step_cpu_" + tag, run.stepCpuPercent, "%");
        print("sleeps_per_step_" + tag, run.sleepsPerStep, "sleeps/step");
    }
}

// libieee1284 as far as the program's path goes, reaching no hardware: the
// port's own layers are measured, not a port's register access.
class StandInIeee1284 final : public port::backend::Ieee1284Api {
public:
    int findPorts(std::vector<FoundPort>&, void*&) const override { return 0; }
    void freePorts(void*) const override {}
    int checkDevice(const std::string&) const override { return 0; }
    int open(void*, int) const override { return 0; }
    int close(void*) const override { return 0; }
    int claim(void*) const override { return 0; }
    void release(void*) const override {}
    void writeData(void*, std::uint8_t value) const override { last_.store(value, std::memory_order_relaxed); }
    void writeControl(void*, std::uint8_t value) const override { last_.store(value, std::memory_order_relaxed); }
    int readData(void*) const override { return last_.load(std::memory_order_relaxed); }
    int readStatus(void*) const override { return 0; }
    int readControl(void*) const override { return last_.load(std::memory_order_relaxed); }
    int checkPort(void*) const override { return 0; }
    int ppdevFd(void*) const override { return -1; }
    void writeRawFromSignal(int, unsigned long, std::uint8_t) const noexcept override {}

private:
    mutable std::atomic<std::uint8_t> last_{0};
};

// A step's writes (data, then control) through the record on port, the idle
// pair over and over, which leaves the port as it is; ns a step.
double stepWriteCost(port::backend::Port& port)
{
    constexpr int steps = 200'000;
    port::record::RecordedPort recorded(port);
    port::backend::Module1 module(recorded);
    const auto started = Clock::now();
    for (int step = 0; step < steps; ++step) {
        module.vbOut(port::backend::dataPort, port::pattern::idleData);
        module.vbOut(port::backend::controlPort, port::pattern::idleControl);
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - started).count() / steps;
}

// Full speed on fc-bench's simulated port (as the rate figures above) or on
// the program's path; the cycle rate and the step thread's CPU time a cycle.
void fullSpeedFigures(const std::string& label, bool programPath, double seconds)
{
    StandInIeee1284 library;
    std::unique_ptr<port::backend::Port> target;
    if (programPath)
        target = std::make_unique<port::backend::Ieee1284Port>(
            library, nullptr, port::backend::Ieee1284Api::FoundPort{"stand-in", port::backend::dataPort, "/dev/parport0", &library});
    else
        target = std::make_unique<port::backend::SimulatedPort>();
    port::record::RecordedPort recorded(*target, programPath ? port::record::RecordedPort::programCapacity
                                                             : port::record::WriteRecord::defaultCapacity);
    if (programPath)
        port::backend::CrashGuard::install(recorded);
    port::backend::Module1 module(recorded);
    double rate = 0.0;
    double cpuPerCycle = 0.0;
    {
        port::run::RunControl control(module, recorded.record(), {});
        control.run(0);
        std::this_thread::sleep_for(loadRampUp);  // set up, and past the first cycles
        const std::uint64_t cyclesBefore = control.sequencer().cyclesWritten();
        const auto cpuBefore = control.sequencer().stepThreadCpuTime();
        const auto started = Clock::now();
        const auto end = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            std::this_thread::sleep_for(port::run::RunControl::watchInterval);
            if (programPath)
                control.readout();  // as the strip asks, ten times a second
            else
                control.heartbeat();
        }
        const double cycles = static_cast<double>(control.sequencer().cyclesWritten() - cyclesBefore);
        rate = cycles / std::chrono::duration<double>(Clock::now() - started).count();
        cpuPerCycle = static_cast<double>((control.sequencer().stepThreadCpuTime() - cpuBefore).count()) / cycles;
        control.shutDown();
    }
    port::backend::CrashGuard::forget(recorded);
    print("cycle_rate_dc0_" + label, rate, "cycles/s");
    print("step_cpu_per_cycle_dc0_" + label, cpuPerCycle, "ns");
}

void writeFigures(double seconds, const std::string& gpioChoice)
{
    port::backend::SimulatedPort simulated;
    print("step_writes_simulated", stepWriteCost(simulated), "ns");
    if (!gpioChoice.empty()) {
        const port::backend::OpenedPort opened = port::backend::openPort(gpioChoice);
        if (opened.port) {
            printText("step_writes_gpio_port", opened.description);
            print("step_writes_gpio", stepWriteCost(*opened.port), "ns");
        } else {
            printText("step_writes_gpio", "refused: " + opened.refusal);
        }
    }
    fullSpeedFigures("simulated_path", false, seconds);
    fullSpeedFigures("program_path", true, seconds);
}

// The monitor never exports here, so its file dialog is never asked.
class NoFileDialog : public app::window::FileDialog
{
public:
    QString saveFileName(const QString&, const QString&, const QString&) override { return {}; }
};

// CPU time the calling thread has used, ns.
std::int64_t threadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void latenessFigures(const std::string& prefix, const port::selftest::StepTiming& timing)
{
    const auto at = [&timing](double fraction) {
        return percentile(timing.lateness, fraction) / nanosecondsPerMicrosecond;
    };
    print(prefix + "_steps", static_cast<double>(timing.lateness.size()), "steps");
    print(prefix + "_lateness_p50", at(0.5), "us");
    print(prefix + "_lateness_p99", at(0.99), "us");
    print(prefix + "_lateness_p99.9", at(0.999), "us");
    print(prefix + "_lateness_max", at(1.0), "us");
    print(prefix + "_largest_stall", static_cast<double>(timing.largestStall) / nanosecondsPerMicrosecond, "us");
}

// One sequencer run at 1 kHz in three phases of `seconds` each: the monitor
// closed, open and refreshing, closed again. The GUI thread runs its event
// loop throughout, as in the program.
void monitorFigures(double seconds)
{
    const std::int64_t delayCount = port::pattern::delayCountFor(stepTimeMsFor(1000.0));
    const auto stepLength = port::pattern::stepLengthFor(delayCount);
    const double defined = port::pattern::frequencyFor(delayCount);
    const auto expectedWrites = static_cast<std::size_t>(defined * seconds * 3 * 1.5) * writesPerCycle;
    port::backend::SimulatedPort simulated;
    port::record::RecordedPort recorded(simulated, std::bit_ceil(expectedWrites + spareWrites));
    port::backend::Module1 module(recorded);
    port::run::Sequencer sequencer(module, {});
    NoFileDialog fileDialog;
    app::monitor::MonitorWindow monitor(recorded.record(), fileDialog);
    monitor.resize(900, 470);

    struct Phase {
        const char* name;
        bool open;
        std::int64_t begin = 0, end = 0;
        std::int64_t guiCpu = 0;  // ns the GUI thread ran
        int frames = 0;
    };
    std::array<Phase, 3> phases{{{"monitor_closed_before", false}, {"monitor_open", true},
                                 {"monitor_closed_after", false}}};
    sequencer.run(delayCount);
    for (Phase& phase : phases) {
        if (phase.open)
            monitor.show();
        const int framesBefore = monitor.view()->framesPainted();
        const std::int64_t cpuBefore = threadCpuNanoseconds();
        phase.begin = nowNanoseconds();
        QEventLoop loop;
        // A coarse timer may end a phase 5 % early or late; the figures are
        // per step, but equal phases are easier to read.
        QTimer::singleShot(static_cast<int>(seconds * 1000.0), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
        phase.end = nowNanoseconds();
        phase.guiCpu = threadCpuNanoseconds() - cpuBefore;
        phase.frames = monitor.view()->framesPainted() - framesBefore;
        if (phase.open)
            monitor.hide();
    }
    stopAndWait(sequencer);

    const auto writes = recorded.record().snapshot(recorded.record().capacity());
    print("monitor_run_delay_count", static_cast<double>(delayCount), "passes-1");
    print("monitor_writes_held", static_cast<double>(writes.size()) /
                                     static_cast<double>(recorded.record().total()) * 100.0, "%");
    for (const Phase& phase : phases) {
        std::vector<port::record::WriteRecord::Write> inPhase;
        for (const auto& write : writes)
            if (write.nanoseconds >= phase.begin && write.nanoseconds < phase.end)
                inPhase.push_back(write);
        latenessFigures(phase.name, port::selftest::stepTiming(inPhase, stepLength));
        print(std::string(phase.name) + "_gui_thread_cpu",
              static_cast<double>(phase.guiCpu) / static_cast<double>(phase.end - phase.begin) * 100.0, "%");
        if (phase.open)
            print("monitor_frames_per_second",
                  static_cast<double>(phase.frames) * nanosecondsPerSecond /
                      static_cast<double>(phase.end - phase.begin),
                  "frames/s");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--busy-loop") == 0)
        BusyLoad::spin(static_cast<pid_t>(std::atol(argv[2])));
    // As the program does: before any other thread, so the step CPU is the
    // step loop's alone.
    port::run::reserveStepCpu();
    double seconds = 10.0;
    bool monitorOnly = false;
    bool loadOnly = false;
    bool writesOnly = false;
    bool keepAliveOnly = false;
    std::string gpioChoice;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--seconds") == 0 && index + 1 < argc) {
            seconds = std::atof(argv[++index]);
        } else if (std::strcmp(argv[index], "--monitor-only") == 0) {
            monitorOnly = true;
        } else if (std::strcmp(argv[index], "--load-only") == 0) {
            loadOnly = true;
        } else if (std::strcmp(argv[index], "--writes-only") == 0) {
            writesOnly = true;
        } else if (std::strcmp(argv[index], "--keep-alive-only") == 0) {
            keepAliveOnly = true;
        } else if (std::strcmp(argv[index], "--gpio") == 0 && index + 1 < argc) {
            gpioChoice = argv[++index];
        } else if (std::strcmp(argv[index], "--spin-limit-us") == 0 && index + 1 < argc) {
            const double microseconds = std::atof(argv[++index]);
            spinLimit = microseconds < 0 ? port::run::StepClock::noDeadline
                                         : std::chrono::nanoseconds(static_cast<std::int64_t>(microseconds * 1e3));
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--load-only] [--monitor-only] [--writes-only] "
                                 "[--keep-alive-only] [--gpio gpio:CHIP[:LINES]] [--spin-limit-us N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0.0)) {
        std::fprintf(stderr, "fc-bench: --seconds needs a positive number\n");
        return 2;
    }
    const bool everything = !monitorOnly && !loadOnly && !writesOnly && !keepAliveOnly;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    print("seconds_per_measurement", seconds, "s");
    const double scheduleRate = port::pattern::frequencyFor(0);
    for (const bool useSequencer : {true, false}) {
        if (!everything)
            break;
        const std::string prefix = useSequencer ? "" : "literal_";
        frequencyFigures(prefix, "30hz", 30.0, seconds, useSequencer);
        frequencyFigures(prefix, "1khz", 1000.0, seconds, useSequencer);
        rateFigure(prefix, "dc0", 0, seconds, useSequencer);
        if (useSequencer)
            print("cycle_rate_dc0_schedule", scheduleRate, "cycles/s");
        rateFigure(prefix, "no_dwell", -1, seconds, useSequencer);
    }
    if (everything || writesOnly)
        writeFigures(seconds, gpioChoice);
    // Before QApplication exists, whose threads the load need not meet.
    if (everything || loadOnly) {
        loadFigures(seconds);
        breakFigures(seconds);
    }
    if (everything || keepAliveOnly)
        keepAliveFigures(seconds);
    if (!everything && !monitorOnly)
        return 0;
    // Without a display the monitor paints offscreen, which still runs every
    // refresh and every paint.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    monitorFigures(seconds);
    return 0;
}
