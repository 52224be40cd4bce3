// fc-modbus-bench: what remote control costs. The real window (offscreen),
// console, register map and server on the simulated port, a client on
// loopback with raw sockets:
//   - the round trip of a read of the input registers, p50 and p99;
//   - at 30 Hz and at 1 kHz, from the client's STOP (the control word's RUN
//     bit written 0) to the idle pair on the port, and from RUN's rising
//     edge (which goes through the window's thread: Required Voltage, then
//     RUN) to the first step on the port, p50 and p99, on the record's
//     clock;
//   - one 1 kHz run in three phases of N seconds: no client, a client
//     reading the input registers every 10 ms, no client again, with the
//     step lateness of each, so that the cost stands beside no cost.
// The round trips, starts and stops are measured in plain Modbus TCP, then
// over Modbus/TCP Security with TLS 1.3 and with TLS 1.2 (modbus_tls13_...,
// modbus_tls12_...), beside a handshake's time: from connect() until the
// client's handshake is done, and until the server's reply to a first read.
// The certificates are made with the tests' script (the openssl command);
// where it fails, only plain Modbus is measured.
// Prints one "name: value unit" line per figure, the value locale-free.
//
//   fc-modbus-bench [--seconds N] [--round-trips N] [--starts N]
#include "app/remote/modbusserver.h"
#include "app/remote/registermap.h"
#include "app/remote/remoteconsole.h"
#include "app/remote/remoteswitch.h"
#include "app/remote/requestmessagebox.h"
#include "app/window/filedialog.h"
#include "app/window/form1.h"
#include "app/window/messagebox.h"
#include "app/window/runadapter.h"
#include "port/backend/module1.h"
#include "port/backend/simulatedport.h"
#include "port/pattern/delaycount.h"
#include "port/record/recordedport.h"
#include "port/report/durationfigure.h"
#include "port/run/realtimepriority.h"
#include "port/run/threadpinning.h"
#include "port/selftest/timingselftest.h"

#include "loopbackmodbus.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QApplication>
#include <QEventLoop>
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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <future>
#include <optional>
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

// A client's connection: plain, or TLS over it.
struct Link {
    Link(int fd, SSL* tls = nullptr) : fd(fd), tls(tls) {}
    int fd;
    SSL* tls;

    void close()
    {
        if (tls) {
            SSL_shutdown(tls);
            SSL_free(tls);
        }
        ::close(fd);
    }
};

// The bench's Modbus/TCP Security: certificates made in dir with the tests'
// script, the bench's own with a role the table allows everything.
std::optional<app::remote::SecureListen> secureListen(const std::string& dir)
{
    for (const char* made : {" ca ca", " server server ca", " client bench ca bench"})
        if (std::system((std::string(FC_TLSCERTIFICATES " ") + dir + made).c_str()) != 0)
            return std::nullopt;
    std::ofstream(dir + "/roles") << "bench = read, stop, control, commission\n";
    return app::remote::SecureListen{{"127.0.0.1", 0},
                                     {dir + "/server.crt", dir + "/server.key", dir + "/ca.crt", dir + "/roles"}};
}

SSL_CTX* clientContext(const std::string& dir, int version)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, version);
    SSL_CTX_set_max_proto_version(context, version);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context, (dir + "/ca.crt").c_str(), nullptr) != 1 ||
        SSL_CTX_use_certificate_file(context, (dir + "/bench.crt").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, (dir + "/bench.key").c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        std::exit(1);
    }
    return context;
}

Link connectTls(SSL_CTX* context, std::uint16_t port)
{
    const int fd = connectTo(port);
    SSL* tls = SSL_new(context);
    SSL_set_fd(tls, fd);
    if (SSL_connect(tls) != 1) {
        std::fprintf(stderr, "fc-modbus-bench: TLS handshake failed\n");
        ERR_print_errors_fp(stderr);
        std::exit(1);
    }
    return {fd, tls};
}

// One request and its whole reply; the round trip in µs.
double roundTrip(const Link& link, const Bytes& pdu)
{
    const Bytes frame = modbusFrame(pdu, 1);
    const auto sent = Clock::now();
    const auto size = static_cast<int>(frame.size());
    if ((link.tls ? SSL_write(link.tls, frame.data(), size) : send(link.fd, frame.data(), frame.size(), MSG_NOSIGNAL)) !=
        size)
        std::exit(1);
    std::array<std::uint8_t, 260> reply{};
    std::size_t got = 0;
    while (got < 7 || got < 6u + (reply[4] << 8 | reply[5])) {
        const ssize_t n = link.tls ? SSL_read(link.tls, reply.data() + got, static_cast<int>(reply.size() - got))
                                   : recv(link.fd, reply.data() + got, reply.size() - got, 0);
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

// Runs f on a thread of its own while the window's event loop goes on, as
// it does in the program: woken by each event as it is posted. (Polled with
// QTest::qWait(1), the window's thread slept up to a millisecond between its
// looks, and the RUN edge's time to the first step measured that sleep.)
template <class F>
auto whileWindowRuns(F f)
{
    QEventLoop loop;
    auto result = std::async(std::launch::async, [&] {
        auto value = f();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        return value;
    });
    loop.exec();
    return result.get();
}

// Where the writes of a start and a stop fall on the record's clock: the
// first step, and the idle pair's control write, among the writes from index
// first on (only the newest few thousand are looked at: a cycle is 28).
struct Edges {
    std::int64_t firstStep = -1;
    std::int64_t idlePair = -1;
};

Edges edgesSince(const port::record::WriteRecord& record, std::uint64_t first)
{
    constexpr std::size_t looked = 4096;
    Edges edges;
    std::uint64_t next = 0;
    const auto writes = record.since(first, looked, next);
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const auto& write = writes[i];
        if (edges.firstStep < 0 && write.address == port::backend::dataPort &&
            write.value == port::pattern::stepPattern[0].data)
            edges.firstStep = write.nanoseconds;
        if (edges.idlePair < 0 && i > 0 && write.address == port::backend::controlPort &&
            write.value == port::pattern::idleControl && writes[i - 1].address == port::backend::dataPort &&
            writes[i - 1].value == port::pattern::idleData)
            edges.idlePair = write.nanoseconds;
    }
    return edges;
}

std::int64_t nowNanoseconds()
{
    return Clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
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
    int starts = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--round-trips") == 0)
            trips = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--starts") == 0)
            starts = std::atoi(argv[i + 1]);
    }
    if (!(seconds > 0.0) || trips < 1 || starts < 1 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--round-trips N] [--starts N]\n", argv[0]);
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
    app::remote::RequestMessageBox requestBox(box);
    NoFileDialog fileDialog;
    // The step thread at the priority the program asks for, where this user may take it.
    const port::run::StepThreadSetup realtime = [](int tid) {
        return port::run::requestRealtime(tid, port::run::stepThreadPriority, port::run::linuxScheduling(), nullptr);
    };
    app::window::Form1 form(requestBox, fileDialog, module, recorded.record(), QStringLiteral("Port: simulated"),
                            realtime);
    auto& runs = *form.findChild<app::window::RunAdapter*>();
    app::remote::RemoteConsole console(form.console(), requestBox);
    // The operator's row, as the program shows it: it is laid out on the window's thread.
    form.addStripRow(new app::remote::RemoteSwitch(console), app::remote::RemoteSwitch::rowHeight);
    app::remote::RegisterMap map(console, {"bench", "frequency-converter", "bench"});
    std::array<char, 32> certificates{"/tmp/fc-modbus-bench-XXXXXX"};
    std::optional<app::remote::SecureListen> secure;
    // Removed once the server, which watches them, has ended.
    const std::unique_ptr<char, void (*)(char*)> removed(mkdtemp(certificates.data()),
                                                         [](char* dir) { std::filesystem::remove_all(dir); });
    if (removed)
        secure = secureListen(certificates.data());
    if (!secure)
        std::fprintf(stderr, "fc-modbus-bench: no certificates could be made: Modbus/TCP Security is not measured\n");
    app::remote::ModbusServer server(map, console, app::remote::Endpoint{"127.0.0.1", 0}, secure);
    form.show();
    console.setRemoteControl(true);
    while (!runs.control().timing().known)
        QTest::qWait(1);
    print("modbus_step_thread_realtime",
          runs.control().timing().grant.priorityClass == port::run::PriorityClass::Realtime ? 1 : 0, "yes");
    const std::uint16_t port = server.endpoint().port;

    // Plain, then each TLS version in turn, one connection at a time: the
    // first to start a run stays in control until it closes.
    struct Transport {
        std::string prefix;
        std::function<Link()> open;
    };
    std::vector<Transport> transports{{"modbus_", [&] { return Link(connectTo(port)); }}};
    std::vector<SSL_CTX*> contexts;
    if (secure) {
        const std::uint16_t securePort = server.secureEndpoint()->port;
        for (const auto& [name, version] : {std::pair{"tls13", TLS1_3_VERSION}, std::pair{"tls12", TLS1_2_VERSION}}) {
            SSL_CTX* context = contexts.emplace_back(clientContext(certificates.data(), version));
            const std::string prefix = std::string("modbus_") + name + "_";
            std::vector<double> handshakes, firstReplies;
            whileWindowRuns([&] {
                for (int i = 0; i < 200; ++i) {
                    const auto began = Clock::now();
                    Link link = connectTls(context, securePort);
                    handshakes.push_back(std::chrono::duration<double, std::micro>(Clock::now() - began).count());
                    roundTrip(link, {4, 0, 0, 0, 13});
                    firstReplies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - began).count());
                    link.close();
                }
                return 0;
            });
            percentiles(prefix + "handshake", handshakes);
            percentiles(prefix + "connect_to_first_reply", firstReplies);
            transports.push_back({prefix, [context, securePort] { return connectTls(context, securePort); }});
        }
    }

    // RUN's rising edge with the operating point, then STOP, again and
    // again: 30 Hz is 900 rpm with 4 poles at 7.6 V/Hz under 380 V; 1 kHz
    // (999 Hz by the counts) is 5000 rpm with 24 poles at 0.5 V/Hz under
    // 1000 V. The watch at 60 s: the client writes only its edges.
    struct Rate {
        const char* name;
        Bytes run;
    };
    const std::array<Rate, 2> rates{{
        {"30hz", {16, 0, 0, 0, 7, 14, 0, 1, 0x03, 0x84, 0x0E, 0xD8, 0x03, 0xC0, 0, 4, 0x02, 0xF8, 0xEA, 0x60}},
        {"1khz", {16, 0, 0, 0, 7, 14, 0, 1, 0x13, 0x88, 0x27, 0x10, 0x27, 0x0F, 0, 24, 0, 50, 0xEA, 0x60}},
    }};
    // The reads of every transport in turn, request by request, so that each
    // meets the same load on a shared machine.
    std::vector<Link> readers;
    for (const Transport& transport : transports)
        readers.push_back(transport.open());
    std::vector<std::vector<double>> reads(transports.size());
    whileWindowRuns([&] {
        for (int i = 0; i < trips; ++i)
            for (std::size_t t = 0; t < readers.size(); ++t)
                reads[t].push_back(roundTrip(readers[t], {4, 0, 0, 0, 13}));
        return 0;
    });
    for (std::size_t t = 0; t < readers.size(); ++t) {
        percentiles(transports[t].prefix + "read_round_trip", reads[t]);
        readers[t].close();
    }
    QTest::qWait(500);
    for (const Transport& transport : transports) {
        Link link = transport.open();
        // A client's first control word is never a start: RUN 0 first, as a
        // PLC's sequence begins. Each STOP below is this client's RUN 0 again.
        whileWindowRuns([&] { return roundTrip(link, {6, 0, 0, 0, 0}); });
        for (const Rate& rate : rates) {
            std::vector<double> toFirstStep, toIdle;
            const port::record::WriteRecord& record = recorded.record();
            for (int i = 0; i < starts; ++i) {
                const std::uint64_t before = record.total();
                const std::int64_t edge = nowNanoseconds();
                whileWindowRuns([&] { return roundTrip(link, rate.run); });
                while (edgesSince(record, before).firstStep < 0)
                    QTest::qWait(1);
                toFirstStep.push_back((edgesSince(record, before).firstStep - edge) / 1000.0);
                QTest::qWait(40 + i * 7 % 34);  // a cycle or more, the STOP landing anywhere in a cycle
                const std::uint64_t running = record.total();
                const std::int64_t stop = nowNanoseconds();
                whileWindowRuns([&] { return roundTrip(link, {6, 0, 0, 0, 0}); });
                while (edgesSince(record, running).idlePair < 0)
                    QTest::qWait(1);
                toIdle.push_back((edgesSince(record, running).idlePair - stop) / 1000.0);
            }
            percentiles(transport.prefix + rate.name + "_stop_to_idle_pair", toIdle);
            percentiles(transport.prefix + rate.name + "_run_edge_to_first_step", toFirstStep);
        }
        link.close();
        QTest::qWait(500);
    }
    for (SSL_CTX* context : contexts)
        SSL_CTX_free(context);

    // The step timing at 1 kHz, with and without a client polling every
    // 10 ms; run control is asked directly, so the run needs no client.
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
