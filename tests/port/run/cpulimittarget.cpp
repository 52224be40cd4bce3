// Runs the real sequencer at full speed (delay count 0) at real-time priority
// under a low RLIMIT_RTTIME, for tst_cpulimit. Every port write goes to
// stdout as one 3-byte record; stderr gets "cause=N cycles=N" at the end.
//
//   cpulimittarget SECONDS HARD_LIMIT_US breaks|no-breaks
//
// With breaks the step thread blocks once in every longestSpin and the limit
// is never met. With no-breaks it never blocks: the kernel sends SIGXCPU at
// the soft limit the ladder leaves below the hard one, and the run must end
// there with the idle pair, before SIGKILL comes at the hard limit; runs
// start one after the other until SECONDS have passed. One line a run.
// Exit status 77: real-time priority was refused (the test skips); 2: a
// wrong command line or a run that never got going.
#include "piperecord.h"
#include "port/backend/module1.h"
#include "port/run/realtimepriority.h"
#include "port/run/sequencer.h"
#include "port/run/threadpinning.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

class StdoutPort : public PipePort {
public:
    StdoutPort() : PipePort(STDOUT_FILENO) {}
    void out(std::uint16_t address, std::uint8_t value) override { put(address, value); }
};

template <class Predicate>
bool waitFor(Predicate predicate, std::chrono::nanoseconds longest)
{
    const auto giveUp = std::chrono::steady_clock::now() + longest;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4)
        return 2;
    const auto seconds = std::chrono::duration<double>(std::strtod(argv[1], nullptr));
    const rlim_t hard = std::strtoull(argv[2], nullptr, 10);
    const bool breaks = std::strcmp(argv[3], "breaks") == 0;
    port::run::reserveStepCpu();
    const rlimit limit{hard, hard};  // soft = hard, as prlimit --rttime=N:N leaves it
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
        std::perror("setrlimit RLIMIT_RTTIME");
        return 2;
    }

    StdoutPort pipe;
    port::backend::Module1 module(pipe);
    port::run::Sequencer sequencer(module, {}, [](int tid) {
        return port::run::requestRealtime(tid, port::run::stepThreadPriority, port::run::linuxScheduling(), nullptr);
    });
    if (!waitFor([&] { return sequencer.timing().known; }, 20s))
        return 2;
    if (sequencer.timing().grant.priorityClass != port::run::PriorityClass::Realtime) {
        std::fprintf(stderr, "no real-time priority: %s\n", sequencer.timing().grant.refusal.c_str());
        return 77;
    }
    if (!breaks)
        sequencer.setSpinLimit(port::run::StepClock::noDeadline);
    for (const auto end = std::chrono::steady_clock::now() + seconds; std::chrono::steady_clock::now() < end;) {
        sequencer.run(0);
        waitFor([&] { return sequencer.state() == port::run::SequencerState::Idle; },
                std::chrono::duration_cast<std::chrono::nanoseconds>(seconds));
        if (sequencer.state() != port::run::SequencerState::Idle)
            sequencer.stop();
        if (!waitFor([&] { return sequencer.state() == port::run::SequencerState::Idle; }, 20s))
            return 2;
        std::fprintf(stderr, "cause=%d cycles=%llu\n", static_cast<int>(sequencer.endCause()),
                     static_cast<unsigned long long>(sequencer.cyclesWritten()));
    }
    return 0;
}
