// Every signal whose default action would end the process without leaving
// the port idle takes the program's orderly way out, as EXIT does: SIGTERM,
// SIGINT, SIGHUP, SIGQUIT, SIGUSR1 and all the others whose route is
// SignalRoute::WayOut (port/backend/signalname.h), the real-time signals
// too. The run ends with the idle pair, then the event loop ends with status
// 0. SIGTSTP, SIGTTIN and SIGTTOU (Ctrl+Z) stop the run as STOP does, and
// the process stops itself once the port is idle. All of them are blocked in
// every thread and taken by a thread of their own, so that they are answered
// whatever the window's thread is doing: when the window has not taken the
// way out within answerWait, the signal thread ends the run itself and ends
// the program, the port idle. SIGPIPE is ignored: a line to a closed pipe on
// stderr fails instead of ending the program.
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

    // How long Ctrl+Z waits for the port to be idle before the process stops:
    // STOP lets a cycle of up to 100 ms complete, and the idle pair follows
    // within microseconds.
    static constexpr std::chrono::milliseconds stopWait{300};

    // First thing in main(), before anything starts a thread: every thread
    // inherits the mask, so that none but the signal thread ever takes these
    // signals (one that did would die of the default action, the port left as
    // it was); and SIGPIPE is ignored. A child process made by fork() gets
    // them back as they were.
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

    // SIGHUP calls reload on this object's thread instead of taking the way
    // out (a server reloading its certificates); set before it is wanted.
    void reloadOnHangUp(std::function<void()> reload);

    // How many termination signals have come so far (Ctrl+Z and a SIGHUP
    // that reloads are none).
    static int received();

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    // Where the way out stands once a signal has come; the window's thread
    // and the signal thread each move it on from Waiting with one
    // compare-exchange, so only one of them decides how the program ends.
    enum class WayOut { Waiting, Taken, Forced };

private slots:
    // On the window's thread. Posted by name, not as a functor: an event
    // that carries a functor made on the signal thread and freed on the
    // window's shows to ThreadSanitizer as a race, since it cannot see
    // Qt's own locks.
    void takeWayOut();
    void reloadNow();

private:
    void watch();  // the signal thread
    [[noreturn]] void endFromSignalThread(int signalNumber);
    void stopThenHalt(int signalNumber);  // the signal thread: STOP, then SIGSTOP once idle

    std::function<void()> wayOut_;
    std::function<void()> reload_;  // the window's thread only
    std::atomic<bool> hangUpReloads_{false};
    port::run::RunControl& control_;
    int signalFd_ = -1;
    int wakeFd_ = -1;  // the destructor wakes the signal thread through it
    std::atomic<WayOut> wayOutState_{WayOut::Waiting};
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace app::platform

#endif
