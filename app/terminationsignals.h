// SIGTERM, SIGINT, SIGHUP and SIGQUIT take the program's orderly way out, as
// EXIT does: the run ends with the idle pair, then the event loop ends with
// status 0. The handler only writes to a pipe; the way out runs on the
// window's thread, where the event loop reads the pipe.
#ifndef APP_TERMINATIONSIGNALS_H
#define APP_TERMINATIONSIGNALS_H

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace app {

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // wayOut ends the run and leaves the port idle; it runs once, on this
    // object's thread. One instance per program.
    explicit TerminationSignals(std::function<void()> wayOut, QObject* parent = nullptr);
    ~TerminationSignals() override;  // the signals' default actions come back

    // How many termination signals have come so far.
    static int received();

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

private:
    void takeWayOut();

    std::function<void()> wayOut_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace app

#endif
