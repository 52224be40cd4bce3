// Runs the real run controller with the program's termination signals
// installed, on a port that sends every write to stdout as one 3-byte
// record (address low byte, address high byte, value), for tst_termination.
//
//   signaltarget DELAYCOUNT [slow-way-out]
//
// Says "running" on stderr once two steps are out (at 1 Hz the loop then
// sleeps in the second step's dwell). With slow-way-out the
// idle data write of the way out says "leaving" and waits for a second
// signal, so that it comes while the port is being left idle. Says
// "event loop ended" when exec() returns.
#include "app/runcontroller.h"
#include "app/terminationsignals.h"
#include "port/module1.h"
#include "port/port.h"
#include "port/recordedport.h"
#include "port/steppattern.h"
#include "piperecord.h"

#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// The slow idle write waits this long at most for the test's second signal.
constexpr auto secondSignalWait = std::chrono::seconds(20);

void say(const char* line)
{
    const std::size_t length = std::strlen(line);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, length);
}

class SignalledPort : public PipePort {
public:
    explicit SignalledPort(bool slowWayOut) : PipePort(STDOUT_FILENO), slowWayOut_(slowWayOut) {}

    void out(std::uint16_t address, std::uint8_t value) override
    {
        if (slowWayOut_ && address == port::dataPort && value == port::idleData) {
            say("leaving\n");
            const auto giveUp = std::chrono::steady_clock::now() + secondSignalWait;
            while (app::TerminationSignals::received() < 2 && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        put(address, value);
    }
private:
    bool slowWayOut_;
};

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return 2;
    const std::int64_t delayCount = std::strtoll(argv[1], nullptr, 10);
    const bool slowWayOut = argc > 2 && std::strcmp(argv[2], "slow-way-out") == 0;
    QCoreApplication application(argc, argv);
    SignalledPort pipe(slowWayOut);
    port::RecordedPort recorded(pipe);
    port::Module1 module(recorded);
    app::RunController controller(module, recorded.record(), {});
    app::TerminationSignals terminationSignals([&controller] { controller.shutDown(); });
    controller.run(delayCount);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (recorded.record().total() >= 2 * port::writesPerStep) {
            say("running\n");
            watch.stop();
        }
    });
    watch.start(1);
    const int status = application.exec();
    say("event loop ended\n");
    return status;
}
