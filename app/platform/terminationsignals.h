// SIGTERM, SIGINT, SIGHUP and SIGQUIT take the program's orderly way out, as
// EXIT does: the run ends with the idle pair, then the event loop ends with
// status 0. They are blocked in every thread and taken by a thread of their
// own, so that they are answered whatever the window's thread is doing: when
// the window has not taken the way out within answerWait, the signal thread
// ends the run itself and ends the program, the port idle.
#ifndef APP_PLATFORM_TERMINATIONSIGNALS_H
#define APP_PLATFORM_TERMINATIONSIGNALS_H

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace port::run {
class RunControl;
}

namespace app::platform {

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // The window's event loop answers within milliseconds; one that has not
    // taken the way out after a second is hung or stuck in a long call, and
    // the motor must not wait for it.
    static constexpr std::chrono::seconds answerWait{1};
    // How long the signal thread gives the step thread to write the idle pair
    // itself before it takes the port over: a step thread that is not stuck
    // ends the pair under way within microseconds.
    static constexpr std::chrono::milliseconds idleWait{200};

    // First thing in main(), before anything starts a thread: every thread
    // inherits the mask, so that none but the signal thread ever takes these
    // signals (one that did would die of the default action, the port left as
    // it was). A child process made by fork() gets them back unblocked.
    static void blockInEveryThread();
    // For a program that starts no signal thread after all (the self-test, a
    // refusal at start): this thread takes them again, with their default
    // actions.
    static void unblockInThisThread();

    // wayOut ends the run and leaves the port idle; it runs once, on this
    // object's thread (the window's). control is the run the signal thread
    // ends itself when the window does not answer; it must outlive this
    // object. One instance per program.
    TerminationSignals(std::function<void()> wayOut, port::run::RunControl& control, QObject* parent = nullptr);
    // Ends the signal thread; the signals stay blocked, so one that comes
    // later is left pending while the program ends on its own.
    ~TerminationSignals() override;

    // How many termination signals have come so far.
    static int received();

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    // Where the way out stands once a signal has come; the window's thread
    // and the signal thread each move it on from Waiting with one
    // compare-exchange, so only one of them decides how the program ends.
    enum class WayOut { Waiting, Taken, Forced };

    void takeWayOut();  // on the window's thread
    void watch();       // the signal thread
    [[noreturn]] void endFromSignalThread(int signalNumber);

    std::function<void()> wayOut_;
    port::run::RunControl& control_;
    int signalFd_ = -1;
    int wakeFd_ = -1;  // the destructor wakes the signal thread through it
    std::atomic<WayOut> wayOutState_{WayOut::Waiting};
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace app::platform

#endif
