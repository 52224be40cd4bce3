// A start that whoever asked for it may call off until it has happened: a
// remote client's RUN that waits for the window, or for the timing
// self-test's step thread to end, and that the client's communication-loss
// watch drops when the client falls silent first. The sequencer takes it, and
// calls it off, under its own lock: a start and its calling off never cross,
// so a called-off start never writes a step.
#ifndef PORT_RUN_STARTTICKET_H
#define PORT_RUN_STARTTICKET_H

#include <atomic>
#include <cstdint>
#include <optional>

namespace port::run {

class StartTicket {
public:
    enum class State : std::uint8_t { Armed, Taken, CalledOff };

    State state() const noexcept { return state_.load(std::memory_order_acquire); }
    // The run it started, or took the new count of, once Taken.
    std::optional<std::uint64_t> run() const noexcept
    {
        if (state() != State::Taken)
            return std::nullopt;
        return run_.load(std::memory_order_acquire);
    }

    // The sequencer takes it, and calls it off, under its own lock (see
    // Sequencer::run and Sequencer::callOff); a test double may call them
    // as the sequencer would.
    bool take(std::uint64_t run) noexcept
    {
        if (state() != State::Armed)
            return false;
        run_.store(run, std::memory_order_release);
        state_.store(State::Taken, std::memory_order_release);
        return true;
    }
    bool callOff() noexcept
    {
        State armed = State::Armed;
        return state_.compare_exchange_strong(armed, State::CalledOff, std::memory_order_acq_rel);
    }

private:
    std::atomic<State> state_{State::Armed};
    std::atomic<std::uint64_t> run_{0};
};

// What a RUN may do beyond the operator's: start only with a ticket not
// called off, or only give a run alive its new count.
struct RunCondition {
    StartTicket* ticket = nullptr;
    // Only a new count for this run while it is Running: never a start, and
    // nothing once that run is stopping or over.
    std::optional<std::uint64_t> onlyRun;
};

}  // namespace port::run

#endif  // PORT_RUN_STARTTICKET_H
