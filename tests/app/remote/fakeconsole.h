// A console for the register map's tests and fuzzer: shows what it is told
// to, keeps the requests handed to it until the test does them, and records
// what it is asked to do at once. The map's calls take a lock, so that a test
// may read it (doneSoFar(), logSoFar(), handedCount()) and do what was handed (doHanded())
// while the server's thread uses it.
#ifndef TESTS_APP_REMOTE_FAKECONSOLE_H
#define TESTS_APP_REMOTE_FAKECONSOLE_H

#include "app/remote/console.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

class FakeConsole : public app::remote::Console {
public:
    app::remote::ConsoleReadings readings;
    // Not begun by the window, in the order handed.
    std::map<app::remote::RequestId, app::remote::WindowRequest> handed;
    // "stop", "stop 1", "lost 1000 ms, run 1", "called off", in order.
    std::vector<std::string> done;
    std::vector<std::string> log;
    std::string controller;

    // The window begins the oldest request: it can no longer be withdrawn.
    std::pair<app::remote::RequestId, app::remote::WindowRequest> begin()
    {
        auto oldest = handed.extract(handed.begin());
        return {oldest.key(), std::move(oldest.mapped())};
    }

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
        return readings.state != port::run::SequencerState::Idle;
    }
    bool callOff(port::run::StartTicket& ticket) override
    {
        std::lock_guard lock(mutex_);
        const bool calledOff = ticket.callOff();
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
    }
    void showController(const std::string& who) override
    {
        std::lock_guard lock(mutex_);
        controller = who;
    }
    void audit(const std::string& line) override
    {
        std::lock_guard lock(mutex_);
        log.push_back(line);
    }

    // As the window's thread: does what was handed, a start beginning run 1,
    // and tells the listener.
    void doHanded()
    {
        std::lock_guard lock(mutex_);
        while (!handed.empty()) {
            auto [id, request] = begin();
            if (request.ticket && request.ticket->take(1)) {
                readings.state = port::run::SequencerState::Running;
                readings.run = 1;
            }
            if (listener_)
                listener_->completed(id, {});
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
    std::mutex mutex_;
    Listener* listener_ = nullptr;
};

#endif  // TESTS_APP_REMOTE_FAKECONSOLE_H
