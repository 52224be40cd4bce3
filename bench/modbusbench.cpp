// fc-modbus-bench: what remote control costs. The real window (offscreen),
// bridge, register map and server on the simulated port, a client on
// loopback with raw sockets:
//   - the round trip of a read of the input registers and of a RUN command
//     (which goes through the window's thread), p50 and p99;
//   - one 1 kHz run in three phases of N seconds: no client, a client
//     reading the input registers every 10 ms, no client again, with the
//     step lateness of each, so that the cost stands beside no cost.
// Prints one "name: value unit" line per figure, the value locale-free.
//
//   fc-modbus-bench [--seconds N] [--round-trips N]
#include "app/remote/modbusserver.h"
#include "app/remote/registermap.h"
#include "app/remote/remotebridge.h"
#include "app/window/filedialog.h"
#include "app/window/form1.h"
#include "app/window/messagebox.h"
#include "app/window/runadapter.h"
#include "port/backend/module1.h"
#include "port/backend/simulatedport.h"
#include "port/pattern/delaycount.h"
#include "port/record/recordedport.h"
#include "port/report/durationfigure.h"
#include "port/run/threadpinning.h"
#include "port/selftest/timingselftest.h"

#include "loopbackmodbus.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = ModbusBytes;

class NoBox : public app::window::MessageBox {
public:
    void show(const QString&, const QString&) override {}
};
class NoFileDialog : public app::window::FileDialog {
public:
    QString saveFileName(const QString&, const QString&, const QString&) override { return {}; }
};

void print(const std::string& name, double value, const char* unit)
{
    std::fputs(port::report::figureLine(name, value, unit).c_str(), stdout);
}

int connectTo(std::uint16_t port)
{
    const int fd = connectToLoopback(port);
    if (fd < 0) {
        std::perror("fc-modbus-bench: connect");
        std::exit(1);
    }
    return fd;
}

// One request and its whole reply; the round trip in µs.
double roundTrip(int fd, const Bytes& pdu)
{
    const Bytes frame = modbusFrame(pdu, 1);
    const auto sent = Clock::now();
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        std::exit(1);
    std::array<std::uint8_t, 260> reply{};
    std::size_t got = 0;
    while (got < 7 || got < 6u + (reply[4] << 8 | reply[5])) {
        const ssize_t n = recv(fd, reply.data() + got, reply.size() - got, 0);
        if (n <= 0)
            std::exit(1);
        got += static_cast<std::size_t>(n);
    }
    if (reply[7] & 0x80) {
        std::fprintf(stderr, "fc-modbus-bench: exception %d to function %d\n", reply[8], pdu[0]);
        std::exit(1);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - sent).count();
}

// Runs f on a thread of its own while the window's event loop goes on.
template <class F>
auto whileWindowRuns(F f)
{
    auto result = std::async(std::launch::async, std::move(f));
    while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QTest::qWait(1);
    return result.get();
}

void percentiles(const std::string& name, std::vector<double> samples)
{
    if (samples.empty()) {
        std::fprintf(stderr, "fc-modbus-bench: no samples for %s\n", name.c_str());
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double f) { return samples[static_cast<std::size_t>(f * (samples.size() - 1))]; };
    print(name + "_p50", at(0.5), "us");
    print(name + "_p99", at(0.99), "us");
    print(name + "_max", samples.back(), "us");
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 5.0;
    int trips = 2000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--round-trips") == 0)
            trips = std::atoi(argv[i + 1]);
    }
    if (!(seconds > 0.0) || trips < 1 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--round-trips N]\n", argv[0]);
        return 2;
    }
    port::run::reserveStepCpu();
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    port::backend::SimulatedPort simulated;
    const auto writes = static_cast<std::size_t>(1000.0 * 1.5 * 3 * seconds) * port::pattern::writesPerCycle;
    port::record::RecordedPort recorded(simulated, std::bit_ceil(writes + 4096));
    port::backend::Module1 module(recorded);
    NoBox box;
    NoFileDialog fileDialog;
    app::window::Form1 form(box, fileDialog, module, recorded.record(), QStringLiteral("Port: simulated"));
    auto& runs = *form.findChild<app::window::RunAdapter*>();
    app::remote::RemoteBridge bridge(form, runs);
    app::remote::RegisterMap map(bridge);
    app::remote::ModbusServer server(map, {"127.0.0.1", 0});
    form.offerRemoteControl(QString::fromStdString(server.endpoint().text()));
    form.show();
    form.findChild<QLineEdit*>(QStringLiteral("Text5"))->setText(QStringLiteral("3000"));
    form.findChild<QCheckBox*>(QStringLiteral("RemoteControl"))->setChecked(true);
    const std::uint16_t port = server.endpoint().port;
    const int fd = connectTo(port);

    // The round trips on a 30 Hz run (380 V, 4 poles, 900 rpm, 7.6 V/Hz):
    // RUN while it runs takes the count again, through the window's handler.
    const Bytes point{16, 0, 0, 0, 5, 10, 0x0E, 0xD8, 0, 4, 0x03, 0x84, 0x02, 0xF8, 0, 1};
    whileWindowRuns([&] { return roundTrip(fd, point); });
    std::vector<double> reads, runsTaken;
    whileWindowRuns([&] {
        for (int i = 0; i < trips; ++i)
            reads.push_back(roundTrip(fd, {4, 0, 0, 0, 13}));
        for (int i = 0; i < trips; ++i)
            runsTaken.push_back(roundTrip(fd, {6, 0, 4, 0, 2}));
        return 0;
    });
    percentiles("modbus_read_round_trip", reads);
    percentiles("modbus_run_round_trip", runsTaken);
    whileWindowRuns([&] { return roundTrip(fd, {6, 0, 4, 0, 3}); });
    ::close(fd);
    QTest::qWait(500);

    // The step timing at 1 kHz (no field combination the checks pass gives
    // it, so run control is asked directly) with and without a client
    // polling every 10 ms.
    const std::int64_t delayCount = port::pattern::delayCountFor(1.0 / 1000.0 / port::pattern::stepsPerCycle * 1000.0);
    const auto stepLength = port::pattern::stepLengthFor(delayCount);
    runs.run(delayCount);
    struct Phase {
        const char* name;
        bool polling;
        std::int64_t begin = 0, end = 0;
        int requests = 0;
    };
    std::array<Phase, 3> phases{{{"modbus_idle_before", false}, {"modbus_polling_10ms", true}, {"modbus_idle_after", false}}};
    const auto now = [] { return Clock::now().time_since_epoch() / std::chrono::nanoseconds(1); };
    for (Phase& phase : phases) {
        phase.begin = now();
        std::atomic<bool> done{false};
        std::thread client;
        if (phase.polling)
            client = std::thread([&] {
                const int poller = connectTo(port);
                auto next = Clock::now();
                while (!done.load()) {
                    roundTrip(poller, {4, 0, 0, 0, 13});
                    ++phase.requests;
                    next += std::chrono::milliseconds(10);
                    std::this_thread::sleep_until(next);
                }
                ::close(poller);
            });
        QTest::qWait(static_cast<int>(seconds * 1000));
        done = true;
        if (client.joinable())
            client.join();
        phase.end = now();
    }
    runs.stop();
    QTest::qWait(200);
    const auto all = recorded.record().snapshot(recorded.record().capacity());
    print("modbus_run_delay_count", static_cast<double>(delayCount), "passes-1");
    for (const Phase& phase : phases) {
        std::vector<port::record::WriteRecord::Write> inPhase;
        for (const auto& write : all)
            if (write.nanoseconds >= phase.begin && write.nanoseconds < phase.end)
                inPhase.push_back(write);
        const port::selftest::StepTiming timing = port::selftest::stepTiming(inPhase, stepLength);
        std::vector<double> lateness(timing.lateness.begin(), timing.lateness.end());
        for (double& l : lateness)
            l /= 1000.0;
        percentiles(std::string(phase.name) + "_lateness", lateness);
        if (phase.polling)
            print("modbus_polling_requests_per_second",
                  phase.requests / (static_cast<double>(phase.end - phase.begin) / 1e9), "requests/s");
    }
    return 0;
}
