// A console for the register map's tests and fuzzer: run control and the
// window in one thread, as RunControl, the sequencer and RemoteConsole keep
// them (a start through its ticket, one start waiting for the self-test, one
// behind a run stopping, STOP, the watch, trips, the switch), with the
// requests handed to it kept until the test does them. The map's calls take
// a lock, so that a test may read it and do what was handed (doHanded())
// while the server's thread uses it.
#ifndef TESTS_APP_REMOTE_FAKECONSOLE_H
#define TESTS_APP_REMOTE_FAKECONSOLE_H

#include "app/fields/fieldconversion.h"
#include "app/remote/console.h"
#include "app/remote/requestcheck.h"
#include "drive/setpoint/setpoint.h"
#include "port/pattern/delaycount.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class FakeConsole : public app::remote::Console {
public:
    using State = port::run::SequencerState;
    using Ticket = std::shared_ptr<port::run::StartTicket>;
    struct Start {
        Ticket ticket;  // none: the operator's
        double speed;   // the reference it runs at
    };

    explicit FakeConsole(app::remote::ConsoleReadings shown = {}) : readings(shown) {}

    app::remote::ConsoleReadings readings;
    // Not begun by the window, in the order handed.
    std::map<app::remote::RequestId, app::remote::WindowRequest> handed;
    // "stop", "stop 1", "lost 1000 ms, run 1", "called off", in order.
    std::vector<std::string> done;
    std::vector<std::string> log;
    app::remote::RemoteView view;
    double runSpeed = 0;  // the reference the run alive uses
    std::int64_t runCount = 0;  // and the delay count it makes
    bool selfTest = false;  // the timing self-test holds the step CPU
    std::optional<Start> waiting;  // for the self-test
    std::optional<Start> queued;   // behind the run stopping
    std::optional<port::run::RunEndCause> ending;  // the run stopping ends at once with this
    std::optional<app::remote::Refusal> refuseNext;  // the window's checks refuse the next start
    Ticket lastTicket;  // the ticket of the run that began last; none: the operator's

    // The window begins the oldest request: it can no longer be withdrawn.
    std::pair<app::remote::RequestId, app::remote::WindowRequest> begin()
    {
        auto oldest = handed.extract(handed.begin());
        return {oldest.key(), std::move(oldest.mapped())};
    }

    // ---- run control (RunControl::run over Sequencer::run)
    port::run::RunAnswer run(double speed, const port::run::RunCondition& condition = {})
    {
        using Kind = port::run::RunAnswer::Kind;
        port::run::StartTicket* ticket = condition.ticket.get();
        if (ticket && !condition.newCountOnly && !ticket->waiting())
            return {};
        if (selfTest) {
            const bool same = waiting && waiting->ticket == condition.ticket;
            if ((condition.newCountOnly && !same) || (ticket && !ticket->waiting()))
                return {};
            if (waiting && (same || !ticket))
                waiting->speed = speed;
            else
                dropWaiting(), waiting = Start{condition.ticket, speed};
            return {Kind::Waiting, 0};
        }
        auto& [state, number] = readings.identity;
        if (condition.newCountOnly) {
            if (ticket && queued && queued->ticket == condition.ticket && state == State::Stopping)
                return queued->speed = speed, port::run::RunAnswer{Kind::Queued, 0};
            if (!ticket || state != State::Running || ticket->run() != number)
                return {};
            return retune(speed), port::run::RunAnswer{Kind::NewCount, number};
        }
        switch (state) {
        case State::Running:
            if (ticket && !ticket->start(number))
                return {};
            return retune(speed), port::run::RunAnswer{Kind::NewCount, number};
        case State::Stopping:
            if (ticket && (!queued || queued->ticket != condition.ticket)) {
                if (!ticket->queue())
                    return {};
                dropQueued();
                queued = Start{condition.ticket, speed};
            } else if (queued) {
                queued->speed = speed;
            } else {
                queued = Start{nullptr, speed};
            }
            return {Kind::Queued, 0};
        case State::Idle:
            break;
        }
        if (ticket && !ticket->start(number + 1))
            return {};
        lastTicket = condition.ticket;
        beginRun(speed);
        return {Kind::Started, number};
    }
    // The step thread: the idle pair of the run stopping, then the start
    // behind it, unless the run ended at once (an end request drops it).
    void finishStopping()
    {
        if (readings.identity.state != State::Stopping)
            return;
        readings.identity.state = State::Idle;
        if (const auto cause = std::exchange(ending, std::nullopt)) {
            readings.endCause = *cause;
            ++readings.trips;
            dropQueued();
        } else if (const auto start = std::exchange(queued, std::nullopt)) {
            if (start->ticket)
                start->ticket->start(readings.identity.run + 1);
            lastTicket = start->ticket;
            beginRun(start->speed);
        }
    }
    void endSelfTest()
    {
        selfTest = false;
        if (const auto start = std::exchange(waiting, std::nullopt))
            run(start->speed, {start->ticket});
    }
    // The port failed, the CPU limit, a silent window: the run ends at once.
    void trip(port::run::RunEndCause cause)
    {
        if (readings.identity.state == State::Idle)
            return;
        readings.identity.state = State::Stopping;
        ending = ending.value_or(cause);
    }
    void operatorStop()
    {
        dropWaiting();
        stopRun(port::run::StopSource::Operator, std::nullopt);
        dropQueued();
        switchRemote(false);
    }
    void switchRemote(bool on)
    {
        if (on == readings.remoteControlOn)
            return;
        readings.remoteControlOn = on;
        ++readings.switchChanges;
        if (!on && ((waiting && waiting->ticket && dropWaiting()) || (queued && queued->ticket && dropQueued())))
            done.push_back("called off");
    }

    // ---- the window (RemoteConsole::take)
    app::remote::WindowOutcome take(const app::remote::WindowRequest& request)
    {
        using app::remote::WindowOutcome;
        using Action = app::remote::WindowRequest::Action;
        const auto refused = [](app::remote::Refusal why) { return WindowOutcome{WindowOutcome::Kind::Refused, why}; };
        if (!readings.remoteControlOn)
            return refused(app::remote::Refusal::RemoteControlOff);
        const bool busy = readings.identity.alive() || waiting;
        if (request.ratingWritten && busy)
            return refused(app::remote::Refusal::RunAlive);
        if (request.action == Action::Start && !request.ticket->waiting())
            return refused(app::remote::Refusal::CalledOff);
        Action action = request.action;
        if (action == Action::NewCount && !request.ticket->waiting()) {
            const bool itsRun = readings.identity.alive() && request.ticket->run() == readings.identity.run;
            if ((!itsRun && busy) || waiting || queued)
                return refused(app::remote::Refusal::NotInControl);
            if (!itsRun || readings.identity.state != State::Running)
                action = Action::Type;
        }
        if (action == Action::Type && request.whileIdle && busy)
            return refused(app::remote::Refusal::NotInControl);
        if (action == Action::Start && refuseNext)
            return refused(*std::exchange(refuseNext, std::nullopt));
        app::remote::FieldTexts texts;
        for (const auto& [number, value] : fields())
            texts[number] = app::fields::displayText(*value);
        app::remote::WindowRequest asked = request;
        asked.action = action;
        if (const app::remote::RequestPlan plan = app::remote::planRequest(texts, asked); plan.refusal != app::remote::Refusal::None)
            return refused(plan.refusal);
        for (const app::remote::FieldValue& value : request.fields)
            *fields().at(static_cast<int>(value.field)) = value.value;
        if (action != Action::Type)
            run(readings.speedReference, {request.ticket, action == Action::NewCount});
        return {};
    }

    // ---- the console
    void setListener(Listener* listener) override
    {
        std::lock_guard lock(mutex_);
        listener_ = listener;
    }
    app::remote::ConsoleReadings read() override
    {
        std::lock_guard lock(mutex_);
        return readings;
    }
    void submit(app::remote::RequestId id, app::remote::WindowRequest request) override
    {
        std::lock_guard lock(mutex_);
        handed.emplace(id, std::move(request));
    }
    bool withdraw(app::remote::RequestId id) override
    {
        std::lock_guard lock(mutex_);
        return handed.erase(id) > 0;
    }
    bool stop(std::optional<std::uint64_t> onlyRun) override
    {
        std::lock_guard lock(mutex_);
        done.push_back(onlyRun ? "stop " + std::to_string(*onlyRun) : "stop");
        const bool dropped = !onlyRun && (dropWaiting() || (readings.identity.state == State::Stopping && dropQueued()));
        return stopRun(port::run::StopSource::Remote, onlyRun) || dropped;
    }
    bool callOff(port::run::StartTicket& ticket) override
    {
        std::lock_guard lock(mutex_);
        if (waiting && waiting->ticket.get() == &ticket)
            waiting.reset();
        if (queued && queued->ticket.get() == &ticket)
            queued.reset();
        const bool calledOff = ticket.drop();
        if (calledOff)
            done.push_back("called off");
        return calledOff;
    }
    void communicationLost(std::chrono::nanoseconds silence, std::uint64_t run) override
    {
        std::lock_guard lock(mutex_);
        done.push_back("lost " +
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(silence).count()) +
                       " ms, run " + std::to_string(run));
        if (readings.identity.run == run)
            trip(port::run::RunEndCause::CommunicationLost);
    }
    void show(const app::remote::RemoteView& shown) override
    {
        std::lock_guard lock(mutex_);
        view = shown;
    }
    void audit(const std::string& line) override
    {
        std::lock_guard lock(mutex_);
        log.push_back(line);
    }

    // As the window's thread: does what was handed and tells the listener.
    void doHanded()
    {
        std::lock_guard lock(mutex_);
        while (!handed.empty()) {
            auto [id, request] = begin();
            const app::remote::WindowOutcome outcome = take(request);
            if (listener_)
                listener_->completed(id, outcome);
        }
    }
    std::size_t handedCount()
    {
        std::lock_guard lock(mutex_);
        return handed.size();
    }
    std::vector<std::string> doneSoFar()
    {
        std::lock_guard lock(mutex_);
        return done;
    }
    std::vector<std::string> logSoFar()
    {
        std::lock_guard lock(mutex_);
        return log;
    }

private:
    void beginRun(double speed)
    {
        readings.identity = {State::Running, readings.identity.run + 1};
        readings.endCause = port::run::RunEndCause::None;
        retune(speed);
    }
    void retune(double speed)
    {
        runSpeed = speed;
        runCount = port::pattern::delayCountFor(
            drive::computeSetPoint(readings.poles, speed, readings.voltsPerHertz, readings.ratedVoltage, {}).values.stepTime);
    }
    std::map<int, double*> fields()
    {
        return {{1, &readings.ratedVoltage}, {5, &readings.ratedSpeed}, {6, &readings.poles},
                {7, &readings.speedReference}, {8, &readings.voltsPerHertz}};
    }
    bool stopRun(port::run::StopSource source, std::optional<std::uint64_t> onlyRun)
    {
        auto& [state, number] = readings.identity;
        if (state != State::Running || (onlyRun && *onlyRun != number))
            return false;
        state = State::Stopping;
        readings.lastEnd = {number, source};
        return true;
    }
    bool dropWaiting()
    {
        const bool had = waiting.has_value();
        if (waiting && waiting->ticket)
            waiting->ticket->drop();
        waiting.reset();
        return had;
    }
    bool dropQueued()
    {
        const bool had = queued.has_value();
        if (queued && queued->ticket)
            queued->ticket->drop();
        queued.reset();
        return had;
    }

    std::mutex mutex_;
    Listener* listener_ = nullptr;
};

#endif  // TESTS_APP_REMOTE_FAKECONSOLE_H
