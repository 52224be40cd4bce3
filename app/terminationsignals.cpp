// The self-pipe between the signal handler and the event loop. A second
// signal during the way out ends the program as soon as the port is idle,
// never before: the idle pair is what makes leaving safe.
#include "app/terminationsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {

constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

int pipeEnds[2] = {-1, -1};
volatile std::sig_atomic_t signalsSeen = 0;
volatile std::sig_atomic_t portIdle = 0;

// Async-signal-safe only: write(2) and _exit(2).
extern "C" void onTerminationSignal(int number)
{
    const int savedErrno = errno;
    signalsSeen = signalsSeen + 1;
    if (signalsSeen == 1) {
        const unsigned char byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = write(pipeEnds[1], &byte, 1);
    } else if (portIdle != 0) {
        _exit(0);
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(std::function<void()> wayOut, QObject* parent)
    : QObject(parent)
    , wayOut_(std::move(wayOut))
{
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "frequency-converter: ERROR: no pipe for termination signals (%s); "
                             "SIGTERM and Ctrl+C will end the program without leaving the port idle\n",
                     std::strerror(errno));
        return;
    }
    notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::takeWayOut);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : handled)
        sigaddset(&action.sa_mask, number);  // one handler at a time
    action.sa_flags = SA_RESTART;
    for (const int number : handled)
        sigaction(number, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    // Once the way out has left the port idle, a late signal only ends the
    // program a little sooner, with the same status: the handler stays.
    if (portIdle == 0)
        for (const int number : handled)
            std::signal(number, SIG_DFL);
    if (pipeEnds[0] >= 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        pipeEnds[0] = pipeEnds[1] = -1;
    }
}

int TerminationSignals::received()
{
    return signalsSeen;
}

void TerminationSignals::takeWayOut()
{
    notifier_->setEnabled(false);
    unsigned char byte = 0;
    while (read(pipeEnds[0], &byte, 1) == 1) {
    }
    if (wayOut_)
        wayOut_();
    portIdle = 1;
    if (signalsSeen > 1)
        _exit(0);  // a second signal came while the port was being left idle
    QCoreApplication::exit(0);
}

} // namespace app
