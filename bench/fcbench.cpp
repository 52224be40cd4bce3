// fc-bench: how closely the step loop holds its frequency and step lengths
// on the simulated port, beside the literal counted loop for comparison.
// Prints one "name: value unit" line per figure. Last, one 1 kHz run is
// watched by the monitor window in its middle third only, so the step
// lateness with the monitor open and refreshing stands beside the lateness
// with it closed, in the same run.
//
//   fc-bench [--seconds N] [--monitor-only]
//     N: each measurement (each monitor phase) runs N seconds, default 10
#include "app/filedialog.h"
#include "app/messagebox.h"
#include "app/monitorwindow.h"
#include "app/traceview.h"
#include "port/delaycount.h"
#include "port/module1.h"
#include "port/recordedport.h"
#include "port/sequencer.h"
#include "port/simulatedport.h"
#include "port/steppattern.h"
#include "port/threadpinning.h"
#include "port/timingselftest.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double nanosecondsPerSecond = 1e9;
constexpr double nanosecondsPerMicrosecond = 1e3;
constexpr std::uint8_t cycleStartData = port::stepPattern.front().data;
constexpr std::size_t writesPerCycle = 2 * port::stepsPerCycle;
constexpr std::size_t spareWrites = 1 << 12;

struct Measured {
    double meanFrequency = 0.0;  // Hz, from the first to the last cycle start
    std::vector<double> stepErrors;  // |step length - scheduled|, µs
    std::uint64_t cycles = 0;
    double elapsedSeconds = 0.0;
    double largestLatenessMicroseconds = 0.0;
};

// The literal loop: a volatile counter counted up to delayCount, no clock.
class CountedLoop {
public:
    explicit CountedLoop(port::Module1& module) : module_(module) {}

    void run(std::int64_t delayCount)
    {
        running_ = true;
        thread_ = std::thread([this, delayCount] {
            port::pinCurrentThreadToStepCpu();
            while (running_.load(std::memory_order_acquire)) {
                for (const port::Step& step : port::stepPattern) {
                    module_.vbOut(port::dataPort, step.data);
                    module_.vbOut(port::controlPort, step.control);
                    volatile std::int64_t delayCounter = 0;
                    while (delayCounter <= delayCount)
                        delayCounter = delayCounter + 1;
                }
                cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            }
            module_.vbOut(port::dataPort, port::idleData);
            module_.vbOut(port::controlPort, port::idleControl);
        });
    }
    void stop()
    {
        running_ = false;
        thread_.join();
    }
    std::uint64_t cyclesWritten() const { return cycles_.load(std::memory_order_relaxed); }

private:
    port::Module1& module_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> cycles_{0};
};

void stopAndWait(port::Sequencer& sequencer)
{
    sequencer.stop();
    while (sequencer.state() != port::Sequencer::State::Idle)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Measured measure(std::int64_t delayCount, double seconds, std::size_t recordCapacity, bool useSequencer)
{
    port::SimulatedPort simulated;
    port::RecordedPort recorded(simulated, recordCapacity);
    port::Module1 module(recorded);
    port::Sequencer sequencer(module, {});
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

    const auto writes = recorded.record().snapshot(recordCapacity);
    std::vector<std::int64_t> cycleStarts;
    const double scheduled = static_cast<double>(port::stepLengthFor(delayCount).count());
    std::int64_t previousData = -1;
    for (const auto& write : writes) {
        if (write.address != port::dataPort || write.value == port::idleData)
            continue;
        if (write.value == cycleStartData)
            cycleStarts.push_back(write.nanoseconds);
        if (previousData >= 0)
            result.stepErrors.push_back(
                std::fabs(static_cast<double>(write.nanoseconds - previousData) - scheduled) /
                nanosecondsPerMicrosecond);
        previousData = write.nanoseconds;
    }
    if (cycleStarts.size() >= 2)
        result.meanFrequency = static_cast<double>(cycleStarts.size() - 1) * nanosecondsPerSecond /
                               static_cast<double>(cycleStarts.back() - cycleStarts.front());
    std::sort(result.stepErrors.begin(), result.stepErrors.end());
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

void print(const std::string& name, double value, const char* unit)
{
    std::printf("%s: %.6g %s\n", name.c_str(), value, unit);
}

double stepTimeMsFor(double hz)
{
    return 1.0 / hz / static_cast<double>(port::stepsPerCycle) * 1000.0;
}

void frequencyFigures(const std::string& prefix, const std::string& label, double asked, double seconds,
                      bool useSequencer)
{
    const std::int64_t delayCount = port::delayCountFor(stepTimeMsFor(asked));
    const double defined = port::frequencyFor(delayCount);
    // The record must hold the whole measurement: 28 writes a cycle.
    const auto expectedWrites = static_cast<std::size_t>(defined * seconds * 1.5) * writesPerCycle;
    const Measured result = measure(delayCount, seconds, std::bit_ceil(expectedWrites + spareWrites),
                                          useSequencer);
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
    const Measured result = measure(delayCount, seconds, port::WriteRecord::defaultCapacity, useSequencer);
    print(prefix + "cycle_rate_" + label, static_cast<double>(result.cycles) / result.elapsedSeconds,
          "cycles/s");
}

// The monitor never exports here, so neither service is ever asked.
class NoMessageBox : public app::MessageBox
{
public:
    void show(const QString&, const QString&) override {}
};

class NoFileDialog : public app::FileDialog
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

void latenessFigures(const std::string& prefix, const port::StepTiming& timing)
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
    const std::int64_t delayCount = port::delayCountFor(stepTimeMsFor(1000.0));
    const auto stepLength = port::stepLengthFor(delayCount);
    const double defined = port::frequencyFor(delayCount);
    const auto expectedWrites = static_cast<std::size_t>(defined * seconds * 3 * 1.5) * writesPerCycle;
    port::SimulatedPort simulated;
    port::RecordedPort recorded(simulated, std::bit_ceil(expectedWrites + spareWrites));
    port::Module1 module(recorded);
    port::Sequencer sequencer(module, {});
    NoMessageBox messageBox;
    NoFileDialog fileDialog;
    app::MonitorWindow monitor(recorded.record(), messageBox, fileDialog);
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
        std::vector<port::WriteRecord::Write> inPhase;
        for (const auto& write : writes)
            if (write.nanoseconds >= phase.begin && write.nanoseconds < phase.end)
                inPhase.push_back(write);
        latenessFigures(phase.name, port::stepTiming(inPhase, stepLength));
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
    // As the program does: before any other thread, so the step CPU is the
    // step loop's alone.
    port::reserveStepCpu();
    double seconds = 10.0;
    bool monitorOnly = false;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--seconds") == 0 && index + 1 < argc) {
            seconds = std::atof(argv[++index]);
        } else if (std::strcmp(argv[index], "--monitor-only") == 0) {
            monitorOnly = true;
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--monitor-only]\n", argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0.0)) {
        std::fprintf(stderr, "fc-bench: --seconds needs a positive number\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    print("seconds_per_measurement", seconds, "s");
    const double scheduleRate = port::frequencyFor(0);
    for (const bool useSequencer : {true, false}) {
        if (monitorOnly)
            break;
        const std::string prefix = useSequencer ? "" : "literal_";
        frequencyFigures(prefix, "30hz", 30.0, seconds, useSequencer);
        frequencyFigures(prefix, "1khz", 1000.0, seconds, useSequencer);
        rateFigure(prefix, "dc0", 0, seconds, useSequencer);
        if (useSequencer)
            print("cycle_rate_dc0_schedule", scheduleRate, "cycles/s");
        rateFigure(prefix, "no_dwell", -1, seconds, useSequencer);
    }
    // Without a display the monitor paints offscreen, which still runs every
    // refresh and every paint.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    monitorFigures(seconds);
    return 0;
}
