// Feeds systemd's watchdog (WATCHDOG=1) only while every piece of evidence
// says that the run path is alive: the step thread progresses while a run is
// alive, and the loops that a request and a STOP go through turn. A timer
// alone would prove only that the timer's own thread runs. When evidence
// fails the feeding stops, systemd ends the process with SIGABRT after
// WatchdogSec, and the crash guard leaves the port idle. A process stopped
// whole (SIGSTOP) feeds nothing either. Plain C++: a thread of its own at
// normal priority that sleeps between its looks.
#ifndef APP_SERVICE_SERVICEWATCHDOG_H
#define APP_SERVICE_SERVICEWATCHDOG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace port::record {
class WriteRecord;
}
namespace port::run {
class Sequencer;
}

namespace app::service {

class ServiceNotifier;

// One piece of evidence, asked on the watchdog's thread: empty while what
// it watches is alive, else why it is not, in a few words.
using Evidence = std::function<std::string(std::chrono::steady_clock::time_point now)>;

// How much later than its own rhythm the watched thing may be before it
// counts as stuck: a loaded machine or a virtual one stalls for milliseconds,
// rarely for a second.
inline constexpr std::chrono::seconds evidenceGrace{2};

// The step thread while a run is alive: the writes it makes and the dwell
// passes it counts. It blocks until each step's end, so a step longer than
// the watchdog's look is not a stall: stuck means nothing for one step's
// length plus evidenceGrace. An idle step thread waits for a run and owes
// nothing. sequencer and record must outlive the evidence.
Evidence stepProgress(const port::run::Sequencer& sequencer, const port::record::WriteRecord& record);

// A loop that counts its turns (turns) and comes round at least every
// period: stuck after period plus evidenceGrace without a turn. name says
// which loop, in the log.
Evidence loopTurns(std::string name, std::function<std::uint64_t()> turns, std::chrono::nanoseconds period);

class ServiceWatchdog {
public:
    // Looks every interval / 4 and feeds when everything is alive; says on
    // stderr once when it stops feeding and why, and once when it feeds
    // again. notifier must outlive it.
    ServiceWatchdog(const ServiceNotifier& notifier, std::chrono::microseconds interval,
                    std::vector<Evidence> evidence);
    // Stops looking, then joins.
    ~ServiceWatchdog();
    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

    // Asks every piece of evidence once; feeds when all say alive. What the
    // thread does at each look; true when it fed.
    bool look(std::chrono::steady_clock::time_point now);

private:
    void watch();

    const ServiceNotifier& notifier_;
    const std::chrono::microseconds interval_;
    std::vector<Evidence> evidence_;  // the thread's alone once it runs
    std::string failing_;             // the thread's: why the last look did not feed
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace app::service

#endif  // APP_SERVICE_SERVICEWATCHDOG_H
