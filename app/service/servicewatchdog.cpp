// Each piece of evidence keeps what it saw last and when it last changed;
// the watchdog's thread is the only one that asks, so it needs no lock.
#include "app/service/servicewatchdog.h"

#include "app/service/servicenotifier.h"
#include "port/pattern/delaycount.h"
#include "port/record/writerecord.h"
#include "port/run/sequencer.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace app::service {

namespace {

using Clock = std::chrono::steady_clock;

std::string seconds(Clock::duration duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
    return text;
}

// Whether value has changed within allowed of now, remembering it.
struct Change {
    std::uint64_t value = 0;
    Clock::time_point at{};
    bool seen = false;

    Clock::duration stillFor(std::uint64_t now, Clock::time_point time)
    {
        if (!seen || now != value) {
            value = now;
            at = time;
            seen = true;
        }
        return time - at;
    }
};

}  // namespace

Evidence stepProgress(const port::run::Sequencer& sequencer, const port::record::WriteRecord& record)
{
    auto change = std::make_shared<Change>();
    return [&sequencer, &record, change](Clock::time_point now) -> std::string {
        // Passes start again from 0 with each run: a change either way is progress.
        const std::uint64_t progress = record.total() + sequencer.dwellPasses();
        const Clock::duration still = change->stillFor(progress, now);
        if (sequencer.state() == port::run::SequencerState::Idle) {
            change->at = now;  // waiting for a run is no stall
            return {};
        }
        // A step lasts delayCount + 1 passes; a count beyond a day is held at a day.
        constexpr std::int64_t day = std::chrono::hours(24) / port::pattern::passLength;
        const std::int64_t passes = std::clamp<std::int64_t>(sequencer.delayCount(), 0, day) + 1;
        const auto step = std::chrono::duration_cast<Clock::duration>(port::pattern::passLength * passes);
        if (still <= step + evidenceGrace)
            return {};
        return "the step thread has made no progress for " + seconds(still) + " in run " +
               std::to_string(sequencer.runNumber());
    };
}

Evidence loopTurns(std::string name, std::function<std::uint64_t()> turns, std::chrono::nanoseconds period)
{
    auto change = std::make_shared<Change>();
    return [name = std::move(name), turns = std::move(turns), period, change](Clock::time_point now) -> std::string {
        const Clock::duration still = change->stillFor(turns(), now);
        if (still <= period + evidenceGrace)
            return {};
        return name + " has not come round for " + seconds(still);
    };
}

ServiceWatchdog::ServiceWatchdog(const ServiceNotifier& notifier, std::chrono::microseconds interval,
                                 std::vector<Evidence> evidence)
    : notifier_(notifier), interval_(interval), evidence_(std::move(evidence))
{
    thread_ = std::thread(&ServiceWatchdog::watch, this);
}

ServiceWatchdog::~ServiceWatchdog()
{
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool ServiceWatchdog::look(Clock::time_point now)
{
    std::string failing;
    for (const Evidence& evidence : evidence_) {
        std::string why = evidence(now);
        if (!why.empty() && failing.empty())
            failing = std::move(why);
    }
    if (failing.empty() && !failing_.empty())
        std::fprintf(stderr, "frequency-converter: the watchdog is fed again\n");
    else if (!failing.empty() && failing_.empty())
        std::fprintf(stderr, "frequency-converter: ERROR: the watchdog is no longer fed: %s; systemd ends the "
                             "service within WatchdogSec\n", failing.c_str());
    failing_ = failing;
    return failing.empty() && notifier_.watchdog();
}

void ServiceWatchdog::watch()
{
    const auto every = interval_ / 4;
    std::unique_lock lock(mutex_);
    while (!ending_) {
        lock.unlock();
        look(Clock::now());
        lock.lock();
        wake_.wait_for(lock, every, [this] { return ending_; });
    }
}

}  // namespace app::service
