// The rules of remote start and stop as docs/remote-control.md states them,
// on one page and in one thread, for the fuzzer to hold the register map to:
// the state of the table, who is in control, whether a trip is latched, and
// the code each request is answered with (0 taken, -1 the window does it).
// The run's machinery (the sequencer, run control, the window) is the
// console double's; the model is told what it shows, as the map is.
#ifndef TESTS_APP_REMOTE_CONTROLMODEL_H
#define TESTS_APP_REMOTE_CONTROLMODEL_H

#include "app/remote/controlstate.h"
#include "port/run/startticket.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

struct ControlModel {
    using State = app::remote::ControlState;
    using Ticket = std::shared_ptr<port::run::StartTicket>;
    using Word = std::optional<std::uint16_t>;
    struct Write {  // one request's writes, as the fuzzer makes them
        Word word, speed, timeout;
        bool rating = false;  // 40003-40006
        bool bad = false;     // a value out of range or a reserved bit
    };
    struct Handed {  // a request the window does
        std::uint64_t connection;
        Ticket start;  // a start's
        bool reset;
        Word timeout;
        int at;  // ms
    };

    State state = State::Off;
    std::optional<std::string> controller, former;
    std::optional<std::uint64_t> formerRun;
    std::map<std::string, std::pair<Word, int>> words;  // a client's last control word, and the stops before it
    std::deque<Handed> handed;
    Ticket start;  // the controller's start, then the run it became: watched
    int heard = 0, timeout = 1000, stops = 0, lastStop = 0;
    bool trip = false;

    bool armed(const std::string& client) { return words[client].first && !(*words[client].first & 1) && words[client].second == stops; }
    bool busy() const { return state == State::Starting || state == State::Running || state == State::Unattended; }
    bool watching(std::uint64_t aliveRun) const { return start && (start->waiting() || start->run() == aliveRun); }
    void to(State next)
    {
        if (next != State::Starting && next != State::Running)
            controller.reset();
        state = next;
    }
    // A stop of any kind: a client's RUN 0 before it starts nothing.
    void stop() { ++stops; }
    void lose(bool alive) { stop(), to(state == State::Starting && !alive ? State::Ready : State::Unattended); }

    // Arrival. The watched client's write to 40001-40002 keeps its watch;
    // RUN 0 from a client that may stop acts now, calling off every start at
    // the window and the one waiting (acted: it stopped or called off
    // something; alive: a run is alive after it).
    bool arrive(const std::string& client, const Write& w, int number, int at, bool acted, bool alive)
    {
        if (start && client == controller && (w.word || w.speed))
            heard = at;
        if (!w.word || (*w.word & 1) || !(state != State::Off || former == client))
            return false;
        lastStop = number;
        for (auto it = handed.begin(); it != handed.end();)
            it = it->start && state != State::Off ? (acted = true, handed.erase(it)) : it + 1;
        if (acted)
            stop();
        if (start && state == State::Starting)
            start.reset(), to(alive ? State::Unattended : State::Ready);
        words[client] = {*w.word & 3, stops};
        return true;
    }
    // Its turn; stopped: its STOP acted as it arrived, over the word before.
    int turn(const std::string& client, std::uint64_t connection, const Write& w, int number, bool stopped, Word before,
             bool alive, int at, const Ticket& ticket)
    {
        const auto refused = [&](int code) { return stopped ? 0 : code; };
        if (w.bad)
            return refused(3);
        if (!w.word && !w.speed && !w.timeout && !w.rating)
            return 0;  // a read
        if (!stopped)
            before = words[client].first;
        const bool wasArmed = armed(client);
        if (w.word && !stopped)
            words[client] = {*w.word, stops};
        const bool reset = w.word && (*w.word & 2) && !(before.value_or(0) & 2);
        if (stopped && !w.speed && !w.timeout && !w.rating) {
            if (reset && state != State::Off)
                stop(), trip = false;
            return 0;
        }
        if (state == State::Off || (busy() && controller != client))
            return refused(1);
        if (w.rating && (alive || state == State::Starting))
            return refused(4);
        const bool edge = w.word && (*w.word & 1) && !reset && wasArmed;
        if (edge && number < lastStop)
            return 6;
        if (edge && trip)
            return 4;
        if (!edge && !w.speed && !w.rating) {
            if (w.timeout)
                timeout = *w.timeout;
            if (reset)
                stop(), trip = false;
            return 0;
        }
        if (edge) {
            if (controller != client)
                stop();  // control changing hands
            controller = client, start = ticket, heard = at, state = State::Starting;
        }
        handed.push_back({connection, edge ? ticket : nullptr, reset, w.timeout, at});
        return -1;
    }
    // The window did the oldest, or refused it with code (by a check: byCheck).
    int done(int code, bool byCheck, bool alive)
    {
        const Handed request = handed.front();
        handed.pop_front();
        if (code && request.start && byCheck)
            trip = true, stop();
        if (request.start && request.start == start)
            follow(alive, 0, 0, false, false, false);
        if (code)
            return code;
        if (request.start && request.start->state() == port::run::StartTicket::State::Dropped)
            return 6;
        if (request.timeout)
            timeout = *request.timeout;
        if (request.reset)
            stop(), trip = false;
        return 0;
    }
    // The operator's switch.
    void switched(bool on, bool alive)
    {
        stop();
        former = on ? std::nullopt : controller;
        formerRun = on || !start ? std::nullopt : start->run();
        start.reset();
        to(!on ? State::Off : alive ? State::Unattended : State::Ready);
    }
    // A connection closed: one that was its client alone is gone.
    void closed(std::uint64_t connection, const std::string& client, bool alone, bool alive)
    {
        std::erase_if(handed, [&](const Handed& request) { return request.connection == connection; });
        if (alone && controller == client)
            lose(alive);
        if (alone && former == client)
            former.reset();
    }
    // What the console did since the last look: a trip, the start's ticket,
    // the run that ended (ended: its number; byRemote: a STOP from afar),
    // one that began that no client's start began.
    void follow(bool alive, std::uint64_t aliveRun, std::uint64_t ended, bool byRemote, bool foreign, bool tripped)
    {
        if (tripped)
            trip = true, stop();
        if (start && state == State::Starting && start->state() == port::run::StartTicket::State::Started)
            state = State::Running;
        if (start && start->state() == port::run::StartTicket::State::Dropped) {
            start.reset();
            if (state == State::Starting)
                to(alive ? State::Unattended : State::Ready);
        }
        if (ended && !byRemote)
            stop();
        if (ended && former && formerRun == ended)
            former.reset();
        if (ended && start && start->run() == ended)
            start.reset();
        if (ended && (state == State::Unattended || (state == State::Running && !start)))
            to(State::Ready);
        if (foreign && state == State::Ready)
            to(State::Unattended);
        (void)aliveRun;
    }
    // Time: a request the window has not begun within 250 ms never runs;
    // the watch runs out. How many requests were answered for it.
    int tick(int at, bool alive, std::uint64_t aliveRun)
    {
        int withdrawn = 0;
        for (; !handed.empty() && at >= handed.front().at + 250; handed.pop_front(), ++withdrawn)
            if (handed.front().start && handed.front().start == start && state == State::Starting)
                start.reset(), to(alive ? State::Unattended : State::Ready);
        if (!watching(aliveRun) || at < heard + timeout)
            return withdrawn;
        withdrawn += static_cast<int>(std::erase_if(handed, [&](const Handed& request) { return request.start == start; }));
        trip = true, stop(), start.reset();
        if (controller)
            lose(alive);
        return withdrawn;
    }
};

#endif  // TESTS_APP_REMOTE_CONTROLMODEL_H
