// A start that whoever asked for it may call off until it has happened: a
// remote client's RUN that waits for the window, for the timing self-test's
// step thread to end, or for a run still stopping. The sequencer says how it
// ends, under its own lock: Started(n) once run n has its count, or Dropped
// when it never will run. A start and its calling off never cross, so a
// dropped start never writes a step, and a number is given only to a run
// that exists.
#ifndef PORT_RUN_STARTTICKET_H
#define PORT_RUN_STARTTICKET_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace port::run {

class StartTicket {
public:
    // Armed: nobody has taken it yet. Queued: the sequencer holds it behind
    // a run still stopping.
    enum class State : std::uint8_t { Armed, Queued, Started, Dropped };

    State state() const noexcept { return stateOf(word_.load(std::memory_order_acquire)); }
    // The run it started, or gave its count to, once Started.
    std::optional<std::uint64_t> run() const noexcept
    {
        const std::uint64_t word = word_.load(std::memory_order_acquire);
        if (stateOf(word) != State::Started)
            return std::nullopt;
        return word >> stateBits;
    }
    bool waiting() const noexcept
    {
        const State now = state();
        return now == State::Armed || now == State::Queued;
    }

    // The sequencer moves it, under its own lock (see Sequencer::run and
    // Sequencer::callOff); a test double may move it as the sequencer would.
    bool queue() noexcept { return move(State::Queued, 0, false); }
    bool start(std::uint64_t run) noexcept { return move(State::Started, run, true); }
    bool drop() noexcept { return move(State::Dropped, 0, true); }

private:
    static constexpr unsigned stateBits = 2;  // the state in the low bits, the run above: read as one
    static constexpr std::uint64_t stateMask = (1u << stateBits) - 1;
    static State stateOf(std::uint64_t word) noexcept { return static_cast<State>(word & stateMask); }

    // From Armed, or from Queued where allowed: a start once over stays over.
    bool move(State to, std::uint64_t run, bool fromQueued) noexcept
    {
        std::uint64_t word = word_.load(std::memory_order_acquire);
        for (;;) {
            const State now = stateOf(word);
            if (now != State::Armed && !(fromQueued && now == State::Queued))
                return false;
            if (word_.compare_exchange_weak(word, run << stateBits | static_cast<std::uint64_t>(to),
                                            std::memory_order_acq_rel))
                return true;
        }
    }

    std::atomic<std::uint64_t> word_{static_cast<std::uint64_t>(State::Armed)};
};

// What a RUN may do beyond the operator's.
struct RunCondition {
    // A start only through this ticket while it waits; with newCountOnly,
    // never a start: a new count for the ticket's start while it waits, or
    // for the run it became while that run is Running.
    std::shared_ptr<StartTicket> ticket;
    bool newCountOnly = false;
};

// What became of a RUN.
struct RunAnswer {
    enum class Kind : std::uint8_t {
        Started,   // a run began with the count
        NewCount,  // the run alive takes the count at its next cycle
        Queued,    // it starts once the run still stopping has left the port idle
        Waiting,   // it starts once the timing self-test has let go of the step CPU
        Refused,   // nothing: a ticket no longer waiting, a run no longer Running, shut down
    };
    Kind kind = Kind::Refused;
    std::uint64_t run = 0;  // Started, NewCount: the run that has the count

    bool taken() const { return kind != Kind::Refused; }
};

}  // namespace port::run

#endif  // PORT_RUN_STARTTICKET_H
