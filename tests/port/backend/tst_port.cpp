// The port layer below the sequencer: the delay count from the step time,
// the write record, the simulated port, the program's port surface, and the
// libieee1284 back end and port selection against a fake library, and the
// lock that keeps a second program off the port, on plain files for nodes.
#include "exactdouble.h"
#include "expectedpattern.h"
#include "piperecord.h"
#include "port/backend/ieee1284api.h"
#include "port/backend/ieee1284port.h"
#include "port/backend/module1.h"
#include "port/backend/portlock.h"
#include "port/backend/portselection.h"
#include "port/backend/simulatedport.h"
#include "port/pattern/delaycount.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/record/writerecord.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <thread>
#include <unistd.h>
#include <vector>

#include <linux/ppdev.h>
#include <sys/ioctl.h>

namespace {

constexpr int e1284Init = -7;  // E1284_INIT
constexpr int e1284Sys = -8;   // E1284_SYS: errno holds the reason

// Ends the refusal of a port that is there but cannot be used.
const std::string simulatedHint = ", or use --port=simulated to try the program without the converter";

// libieee1284 as the tests want it: ports to list, device nodes that exist
// or not, open and claim results; every call counted, every write kept.
class FakeIeee1284Api : public port::backend::Ieee1284Api {
public:
    struct Listed {
        std::string name;
        unsigned long base;
        std::string filename;
        int openResult = 0;
        int openErrno = 0;
    };
    std::vector<Listed> listed;
    std::map<std::string, int> deviceErrno;  // missing: the node opens
    int claimResult = 0;
    int claimErrno = 0;
    int findResult = 0;  // below 0: listing fails with this E1284 code

    mutable int finds = 0, frees = 0, opens = 0, closes = 0, claims = 0, releases = 0;
    mutable std::vector<std::uint8_t> dataWrites, controlWrites;
    mutable std::vector<std::string> opened;

    int findPorts(std::vector<FoundPort>& ports, void*& list) const override
    {
        ++finds;
        list = const_cast<FakeIeee1284Api*>(this);
        if (findResult < 0)
            return findResult;
        for (std::size_t index = 0; index < listed.size(); ++index)
            ports.push_back(FoundPort{listed[index].name, listed[index].base, listed[index].filename,
                                      const_cast<Listed*>(&listed[index])});
        return 0;
    }
    void freePorts(void* list) const override
    {
        if (list)
            ++frees;
    }
    int checkDevice(const std::string& path) const override
    {
        const auto found = deviceErrno.find(path);
        return found == deviceErrno.end() ? 0 : found->second;
    }
    int open(void* handle, int flags) const override
    {
        ++opens;
        const auto* entry = static_cast<const Listed*>(handle);
        if (flags != port::backend::Ieee1284Port::exclusiveAccess)
            return -1;
        errno = entry->openErrno;
        if (entry->openResult == 0)
            opened.push_back(entry->filename);
        return entry->openResult;
    }
    int close(void*) const override { return ++closes, 0; }
    int claim(void*) const override
    {
        ++claims;
        errno = claimErrno;
        return claimResult;
    }
    void release(void*) const override { ++releases; }
    void writeData(void*, std::uint8_t value) const override { dataWrites.push_back(value); }
    void writeControl(void*, std::uint8_t value) const override { controlWrites.push_back(value); }
    int readData(void*) const override { return 0x5A; }
    int readStatus(void*) const override { return 0x78; }
    int readControl(void*) const override { return 0x09; }
    int portError = 0;  // what checkPort answers: ENODEV once the port is gone
    int checkPort(void*) const override { return portError; }

    // What ppdevFd answers; below 0: raw I/O, no descriptor.
    int ppdevDescriptor = 7;
    struct RawWrite {
        int fd;
        unsigned long request;
        std::uint8_t value;
        bool operator==(const RawWrite&) const = default;
    };
    mutable std::vector<RawWrite> rawWrites;  // from a crash handler, past the library
    int ppdevFd(void*) const override { return ppdevDescriptor; }
    void writeRawFromSignal(int fd, unsigned long request, std::uint8_t value) const noexcept override
    {
        rawWrites.push_back({fd, request, value});
    }
};

// Takes any address, for the word-wide calls; answers the address' low byte.
class AnyAddressPort : public port::backend::Port {
public:
    std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;
    void out(std::uint16_t address, std::uint8_t value) override { writes.emplace_back(address, value); }
    std::uint8_t in(std::uint16_t address) override { return static_cast<std::uint8_t>(address & 0xFF); }
    std::string name() const override { return "any"; }
    void writeIdleFromSignalHandler() noexcept override {}  // never guarded
};

// What libieee1284 lists on a PC without a parallel port in its kernel.
std::vector<FakeIeee1284Api::Listed> phantomPorts()
{
    return {{"0x278", 0x278, "/dev/port"}, {"0x378", 0x378, "/dev/port"}, {"0x3bc", 0x3bc, "/dev/port"}};
}

FakeIeee1284Api parportAt0x378()
{
    FakeIeee1284Api api;
    api.listed = phantomPorts();
    api.listed.insert(api.listed.begin(), {"parport0", 0x378, "/dev/parport0"});
    return api;
}

// Plain files standing in for /dev/parport0, /dev/parport1 and /dev/port
// under a temporary root: flock works on them as on the device nodes, and a
// test never locks the machine's own port.
class DeviceNodes {
public:
    DeviceNodes()
    {
        QDir(dir_.path()).mkpath(QStringLiteral("dev"));
        for (const char* device : {"/dev/parport0", "/dev/parport1", "/dev/port"}) {
            QFile file(QString::fromStdString(node(device)));
            if (!file.open(QIODevice::WriteOnly))
                qFatal("cannot create %s", qPrintable(file.fileName()));
        }
    }
    const std::string& root() const { return root_; }
    std::string node(std::string_view device) const { return root_ + std::string(device); }
    // Whether another program could take the node now.
    bool free(std::string_view device) const { return port::backend::PortLock().acquire(node(device)); }

private:
    QTemporaryDir dir_;
    std::string root_ = dir_.path().toStdString();
};

// The fake that also notes, at the library's close, whether the node was
// still locked: the lock must outlast the port.
class LockWatchingApi : public FakeIeee1284Api {
public:
    explicit LockWatchingApi(const DeviceNodes& nodes)
        : FakeIeee1284Api(parportAt0x378()), nodes_(nodes)
    {
    }
    mutable std::vector<bool> freeAtClose;
    int close(void* handle) const override
    {
        freeAtClose.push_back(nodes_.free(static_cast<const Listed*>(handle)->filename));
        return FakeIeee1284Api::close(handle);
    }

private:
    const DeviceNodes& nodes_;
};

std::string heldBy(const std::string& node)
{
    // The holder's pid comes from /proc/locks; without it the line goes without.
    const std::string pid =
        QFile::exists(QStringLiteral("/proc/locks")) ? " (pid " + std::to_string(::getpid()) + ")" : "";
    return node + " is in use by another program" + pid + "; close the other frequency-converter first";
}

}  // namespace

class TestPort : public QObject {
    Q_OBJECT

private slots:
    void delayCountFromStepTime_data();
    void delayCountFromStepTime();
    void frequencyOfDelayCount_data();
    void frequencyOfDelayCount();
    void stepPatternIsTheConvertersTable();

    void recordKeepsWritesInOrder();
    void recordWrapsAroundKeepingTheNewest();
    void recordSinceDrainsWithoutLoss();
    void recordReadWhileWriting();

    void simulatedPortHoldsRegisters();
    void simulatedPortRefusesOtherAddresses();

    void vbOutWritesTheLowByte();
    void vbOutwSplitsTheWord();
    void vbInpwJoinsTheBytes();

    void autoFallsBackOnlyWithoutAPort_data();
    void autoFallsBackOnlyWithoutAPort();
    void selectionTakesThePpdevPort();
    void explicitDeviceIsTaken();
    void namedDeviceIsRefused_data();
    void namedDeviceIsRefused();
    void portInUseIsRefused_data();
    void portInUseIsRefused();
    void lockIsHeldWhileThePortIsOpen();
    void lockIsLetGoWhenTheOpenFails();
    void controlWritesUndoTheLibraryInversion_data();
    void controlWritesUndoTheLibraryInversion();
    void claimWaitsForTheFirstWrite();
    void claimFailureIsAPortError();
    void readsUndoTheInversions();
    void destructorReleasesAndClosesOnce();
    void checkFailsOnceThePortIsGone();

    void secondLockIsRefusedUntilTheFirstIsReleased();
    void lockOnAnUnusableNodeSaysWhy_data();
    void lockOnAnUnusableNodeSaysWhy();

    void crashHandlerWritesThePpdevPortIdle_data();
    void crashHandlerWritesThePpdevPortIdle();
    void crashHandlerControlByteIsWhatTheLibraryPutsOnTheRegister();
    void crashHandlerLeavesTheSimulatedPortIdle_data();
    void crashHandlerLeavesTheSimulatedPortIdle();

    void keepAliveNeedsASpareControlLine_data();
    void keepAliveNeedsASpareControlLine();
    void controlWritesKeepTheKeepAliveBit_data();
    void controlWritesKeepTheKeepAliveBit();
    void keepAliveIsRecordedApart();

private:
    DeviceNodes nodes_;
};

// ---- delay count ----------------------------------------------------------

void TestPort::delayCountFromStepTime_data()
{
    QTest::addColumn<double>("stepTime");
    QTest::addColumn<qint64>("count");
    QTest::newRow("unset 0") << 0.0 << qint64{0};
    QTest::newRow("0.0625 exact") << 0.0625 << qint64{625};
    QTest::newRow("0.06255 drops the fraction") << 0.06255 << qint64{625};
    // 0.009999999999999998 x 10000 is 99.99999999999999: 100 at 15 digits.
    QTest::newRow("product 99.99999999999999 is 100") << 0.009999999999999998 << qint64{100};
    QTest::newRow("30 Hz") << 2.380952380952381 << qint64{23809};
    QTest::newRow("negative toward zero") << -2.380952380952381 << qint64{-23809};
    QTest::newRow("2.5 Hz") << 28.571428571428573 << qint64{285714};
    QTest::newRow("below 1e-5 passes") << 1e-10 << qint64{0};
    QTest::newRow("small negative") << -1e-10 << qint64{0};
    QTest::newRow("NaN") << std::nan("") << qint64{0};
    QTest::newRow("beyond 15 digits") << 123456789012.3456 << qint64{1234567890123456};
    QTest::newRow("saturates high") << 1e300 << std::numeric_limits<qint64>::max();
    QTest::newRow("saturates low") << -1e300 << std::numeric_limits<qint64>::min();
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << std::numeric_limits<qint64>::max();
}

void TestPort::delayCountFromStepTime()
{
    QFETCH(double, stepTime);
    QFETCH(qint64, count);
    if (std::string_view(QTest::currentDataTag()) == "product 99.99999999999999 is 100")
        QCOMPARE(exact(stepTime * 10000.0), QStringLiteral("99.99999999999999"));  // the row means what it says
    QCOMPARE(port::pattern::delayCountFor(stepTime), std::int64_t{count});
}

// 14 steps of (count + 1) passes of 100 ns make one cycle: 23809 gives
// steps of 2.381 ms and cycles of 33.334 ms.
void TestPort::frequencyOfDelayCount_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<double>("hertz");
    QTest::newRow("30 Hz asked") << qint64{23809} << 29.99940001199976;
    QTest::newRow("1 kHz asked") << qint64{714} << 999.000999000999;
    QTest::newRow("no count") << qint64{0} << 714285.7142857143;
    QTest::newRow("no dwell") << qint64{-1} << 0.0;
}

void TestPort::frequencyOfDelayCount()
{
    QFETCH(qint64, count);
    QFETCH(double, hertz);
    QCOMPARE(port::pattern::frequencyFor(count), hertz);
}

void TestPort::stepPatternIsTheConvertersTable()
{
    for (std::size_t step = 0; step < expectedSteps.size(); ++step) {
        QCOMPARE(port::pattern::stepPattern[step].data, expectedSteps[step].data);
        QCOMPARE(port::pattern::stepPattern[step].control, expectedSteps[step].control);
    }
    QCOMPARE(port::pattern::stepPattern.size(), expectedSteps.size());
}

// ---- write record ---------------------------------------------------------

void TestPort::recordKeepsWritesInOrder()
{
    port::record::WriteRecord record(8);
    record.add(10, port::backend::dataPort, 0x60);
    record.add(20, port::backend::controlPort, 2);
    record.add(30, port::backend::dataPort, 0xFF);
    QCOMPARE(record.total(), std::uint64_t{3});
    const auto all = record.snapshot(100);
    QCOMPARE(all.size(), std::size_t{3});
    QCOMPARE(all[0].nanoseconds, std::int64_t{10});
    QCOMPARE(all[0].address, port::backend::dataPort);
    QCOMPARE(all[0].value, std::uint8_t{0x60});
    QCOMPARE(all[1].address, port::backend::controlPort);
    QCOMPARE(all[1].value, std::uint8_t{2});
    QCOMPARE(all[2].value, std::uint8_t{0xFF});
    const auto last = record.snapshot(2);
    QCOMPARE(last.size(), std::size_t{2});
    QCOMPARE(last[0].nanoseconds, std::int64_t{20});
    QCOMPARE(last[1].nanoseconds, std::int64_t{30});
}

void TestPort::recordWrapsAroundKeepingTheNewest()
{
    port::record::WriteRecord record(6);  // rounds up to 8
    QCOMPARE(record.capacity(), std::size_t{8});
    for (int index = 0; index < 21; ++index)
        record.add(index, port::backend::dataPort, static_cast<std::uint8_t>(index));
    QCOMPARE(record.total(), std::uint64_t{21});
    const auto held = record.snapshot(100);
    QCOMPARE(held.size(), std::size_t{8});
    for (std::size_t at = 0; at < held.size(); ++at) {
        QCOMPARE(held[at].nanoseconds, std::int64_t(13 + at));
        QCOMPARE(held[at].index, std::uint64_t(13 + at));
    }
}

void TestPort::recordSinceDrainsWithoutLoss()
{
    port::record::WriteRecord record(16);
    std::uint64_t next = 0;
    std::vector<std::int64_t> drained;
    for (int index = 0; index < 100; ++index) {
        record.add(index, port::backend::dataPort, 1);
        if (index % 5 == 4)
            for (const auto& write : record.since(next, 1000, next))
                drained.push_back(write.nanoseconds);
    }
    QCOMPARE(drained.size(), std::size_t{100});
    for (std::size_t at = 0; at < drained.size(); ++at)
        QCOMPARE(drained[at], std::int64_t(at));
    // Falling behind by more than the capacity loses the oldest, visibly.
    for (int index = 100; index < 140; ++index)
        record.add(index, port::backend::dataPort, 1);
    const std::uint64_t first = next;
    const auto late = record.since(first, 1000, next);
    QCOMPARE(late.size(), std::size_t{16});
    QCOMPARE(next - first, std::uint64_t{40});
    QCOMPARE(late.front().nanoseconds, std::int64_t{124});
}

void TestPort::recordReadWhileWriting()
{
    // A reader racing the writer gets consistent, ordered entries only: the
    // value is tied to the time, so a torn entry shows.
    port::record::WriteRecord record(64);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::int64_t index = 0; index < 200000; ++index)
            record.add(index, index % 2 ? port::backend::controlPort : port::backend::dataPort,
                       static_cast<std::uint8_t>(index & 0xFF));
        done = true;
    });
    bool consistent = true, ordered = true;
    std::size_t reads = 0;
    while (!done || reads == 0) {
        const auto writes = record.snapshot(64);
        for (std::size_t at = 0; at < writes.size(); ++at) {
            const auto& write = writes[at];
            if (write.value != (write.nanoseconds & 0xFF) ||
                write.address != (write.nanoseconds % 2 ? port::backend::controlPort : port::backend::dataPort))
                consistent = false;
            if (at > 0 && write.nanoseconds <= writes[at - 1].nanoseconds)
                ordered = false;
        }
        ++reads;
    }
    writer.join();
    QVERIFY(consistent);
    QVERIFY(ordered);
    QCOMPARE(record.total(), std::uint64_t{200000});
    QCOMPARE(record.snapshot(1).front().nanoseconds, std::int64_t{199999});
}

// ---- simulated port -------------------------------------------------------

void TestPort::simulatedPortHoldsRegisters()
{
    port::backend::SimulatedPort simulated;
    port::record::RecordedPort recorded(simulated, 16);
    QCOMPARE(recorded.name(), std::string("simulated"));
    recorded.out(port::backend::dataPort, 0x99);
    recorded.out(port::backend::controlPort, 2);
    QCOMPARE(recorded.in(port::backend::dataPort), std::uint8_t{0x99});
    QCOMPARE(simulated.in(port::backend::controlPort), std::uint8_t{2});
    QCOMPARE(recorded.in(port::backend::statusPort), port::backend::SimulatedPort::unconnectedStatus);
    const auto writes = recorded.record().snapshot(16);
    QCOMPARE(writes.size(), std::size_t{2});
    QCOMPARE(writes[0].address, port::backend::dataPort);
    QCOMPARE(writes[1].value, std::uint8_t{2});
    QCOMPARE(writes[0].index, std::uint64_t{0});
    QCOMPARE(writes[1].index, std::uint64_t{1});
    QVERIFY(writes[0].nanoseconds > 0);
    QVERIFY(writes[1].nanoseconds >= writes[0].nanoseconds);
}

// A write the port underneath refuses never shows in the record.
void TestPort::simulatedPortRefusesOtherAddresses()
{
    port::backend::SimulatedPort simulated;
    port::record::RecordedPort recorded(simulated, 16);
    QVERIFY_THROWS_EXCEPTION(port::backend::PortError, recorded.out(port::backend::statusPort, 1));
    QVERIFY_THROWS_EXCEPTION(port::backend::PortError, recorded.out(0x278, 1));
    QVERIFY_THROWS_EXCEPTION(port::backend::PortError, recorded.in(0x3BC));
    QCOMPARE(recorded.record().total(), std::uint64_t{0});
}

// ---- Module1 --------------------------------------------------------------

void TestPort::vbOutWritesTheLowByte()
{
    port::backend::SimulatedPort simulated;
    port::backend::Module1 module(simulated);
    QCOMPARE(&module.port(), static_cast<port::backend::Port*>(&simulated));
    module.vbOut(port::backend::dataPort, 0x1C5);
    module.vbOut(port::backend::controlPort, -254);  // 0xFF02 as a 16-bit Integer
    QCOMPARE(simulated.in(port::backend::dataPort), std::uint8_t{0xC5});
    QCOMPARE(module.vbInp(port::backend::controlPort), 0x02);
}

void TestPort::vbOutwSplitsTheWord()
{
    AnyAddressPort any;
    port::backend::Module1 module(any);
    module.vbOutw(port::backend::dataPort, 0x4B60);
    QCOMPARE(any.writes, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{0x378, 0x60}, {0x379, 0x4B}}));
}

void TestPort::vbInpwJoinsTheBytes()
{
    port::backend::SimulatedPort simulated;
    port::backend::Module1 module(simulated);
    module.vbOut(port::backend::dataPort, 0x60);
    QCOMPARE(module.vbInpw(port::backend::dataPort), 0x60 | port::backend::SimulatedPort::unconnectedStatus << 8);
    AnyAddressPort any;
    port::backend::Module1 anyModule(any);
    QCOMPARE(anyModule.vbInpw(0x300), 0x0100 | 0x00);  // each register answers its low byte
    QCOMPARE(anyModule.vbInpw(0x3FE), 0xFFFE);
}

// ---- libieee1284 back end and selection -----------------------------------

// Under auto only a missing port gives the simulated one, and says why; a
// port that is there but cannot be used stops the program with the remedy,
// as a device named by hand does: a simulated port in its place would look
// like a running motor.
void TestPort::autoFallsBackOnlyWithoutAPort_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("listed");      // the library lists /dev/parport0 at 0x378
    QTest::addColumn<int>("findResult");   // below 0: listing fails
    QTest::addColumn<int>("nodeErrno");    // what opening /dev/parport0 answers; 0: it opens
    QTest::addColumn<int>("openErrno");    // 0: the library opens it
    QTest::addColumn<bool>("fallsBack");
    QTest::addColumn<QString>("text");     // the description, or the refusal

    const QString bios = QStringLiteral("; check that the port is enabled in the BIOS and that parport_pc and "
                                        "ppdev are loaded");
    const QString hint = QString::fromStdString(simulatedHint);
    // no port: the simulated one
    QTest::newRow("phantoms only, no node")
        << "auto" << false << 0 << ENOENT << 0 << true
        << "Port: simulated — no parallel port (/dev/parport0: No such file or directory)";
    QTest::newRow("empty choice means auto")
        << "" << false << 0 << ENOENT << 0 << true
        << "Port: simulated — no parallel port (/dev/parport0: No such file or directory)";
    QTest::newRow("node without hardware")
        << "auto" << false << 0 << ENXIO << 0 << true
        << "Port: simulated — no parallel port (/dev/parport0: No such device or address" + bios + ")";
    QTest::newRow("listed, no driver behind the node")
        << "auto" << true << 0 << ENODEV << 0 << true
        << "Port: simulated — no parallel port (/dev/parport0: No such device" + bios + ")";
    QTest::newRow("node opens, not listed at 0x378")
        << "auto" << false << 0 << 0 << 0 << true
        << "Port: simulated — no parallel port (/dev/parport0: not a parallel port listed by libieee1284 at 0x378)";
    QTest::newRow("listing fails, no node")
        << "auto" << false << e1284Init << ENOENT << 0 << true
        << "Port: simulated — no parallel port (/dev/parport0: No such file or directory)";
    QTest::newRow("chosen simulated")
        << "simulated" << true << 0 << 0 << 0 << true << "Port: simulated (chosen with --port=simulated)";
    // a port that is there: refused with the remedy
    QTest::newRow("no permission")
        << "auto" << true << 0 << EACCES << 0 << false
        << "/dev/parport0: Permission denied; add the user to group lp and log in again" + hint;
    QTest::newRow("operation not permitted")
        << "auto" << true << 0 << EPERM << 0 << false
        << "/dev/parport0: Operation not permitted; add the user to group lp and log in again" + hint;
    QTest::newRow("no permission, not listed")
        << "auto" << false << 0 << EACCES << 0 << false
        << "/dev/parport0: Permission denied; add the user to group lp and log in again" + hint;
    QTest::newRow("node busy")
        << "auto" << true << 0 << EBUSY << 0 << false
        << "/dev/parport0: Device or resource busy; close the other program that uses the port" + hint;
    QTest::newRow("library open busy")
        << "auto" << true << 0 << 0 << EBUSY << false
        << "opening /dev/parport0 (0x378) failed: E1284_SYS: Device or resource busy; check the cable and that no "
           "printer driver holds it; add the user to group lp" + hint;
    QTest::newRow("listing fails, node opens")
        << "auto" << false << e1284Init << 0 << 0 << false
        << "listing parallel ports failed: E1284_INIT: error initialising the port" + hint;
}

void TestPort::autoFallsBackOnlyWithoutAPort()
{
    QFETCH(QString, choice);
    QFETCH(bool, listed);
    QFETCH(int, findResult);
    QFETCH(int, nodeErrno);
    QFETCH(int, openErrno);
    QFETCH(bool, fallsBack);
    QFETCH(QString, text);
    FakeIeee1284Api api;
    api.listed = phantomPorts();
    if (listed)
        api.listed.push_back({"parport0", 0x378, "/dev/parport0", openErrno ? e1284Sys : 0, openErrno});
    api.findResult = findResult;
    if (nodeErrno != 0)
        api.deviceErrno["/dev/parport0"] = nodeErrno;

    const auto opened = port::backend::openPort(choice.toStdString(), api, nodes_.root());
    QCOMPARE(QString::fromStdString(fallsBack ? opened.description : opened.refusal), text);
    QCOMPARE(opened.port != nullptr, fallsBack);
    if (fallsBack) {
        QCOMPARE(opened.port->name(), std::string("simulated"));
        QVERIFY(opened.refusal.empty());
    } else {
        QVERIFY(opened.description.empty());
    }
    QVERIFY(!opened.lock);  // the simulated port keeps nobody off a real one
    QVERIFY(nodes_.free("/dev/parport0"));
    QVERIFY(api.opened.empty());  // the /dev/port phantoms were never opened
    QCOMPARE(api.claims, 0);
    QVERIFY(api.dataWrites.empty() && api.controlWrites.empty());
    QCOMPARE(api.frees, choice == "simulated" ? 0 : 1);
}

void TestPort::selectionTakesThePpdevPort()
{
    FakeIeee1284Api api = parportAt0x378();
    auto opened = port::backend::openPort("auto", api, nodes_.root());
    QCOMPARE(opened.description, std::string("Port: /dev/parport0 (0x378)"));
    QCOMPARE(opened.port->name(), std::string("/dev/parport0"));
    QCOMPARE(api.opened, std::vector<std::string>{"/dev/parport0"});
    QCOMPARE(api.claims, 0);  // nothing touched at start
    QVERIFY(api.dataWrites.empty() && api.controlWrites.empty());
    opened.port.reset();
    QCOMPARE(api.frees, 1);  // the list lives as long as the port
}

void TestPort::explicitDeviceIsTaken()
{
    FakeIeee1284Api api = parportAt0x378();
    api.listed.push_back({"parport1", 0x278, "/dev/parport1"});
    const auto chosen = port::backend::openPort("/dev/parport1", api, nodes_.root());
    QCOMPARE(chosen.description, std::string("Port: /dev/parport1 (0x278)"));
    QCOMPARE(api.opened, std::vector<std::string>{"/dev/parport1"});
    QVERIFY(!nodes_.free("/dev/parport1"));
    QVERIFY(nodes_.free("/dev/parport0"));  // only the port in use is locked

    // Chosen by hand, raw /dev/port is allowed, and means the port at 0x378.
    FakeIeee1284Api raw;
    raw.listed = phantomPorts();
    const auto rawPort = port::backend::openPort("/dev/port", raw, nodes_.root());
    QCOMPARE(rawPort.description, std::string("Port: /dev/port (0x378)"));
}

// A device named by hand that cannot be used stops the program: no simulated
// port in its place, nothing opened, nothing locked. "<root>" stands for the
// directory of the stand-in nodes.
void TestPort::namedDeviceIsRefused_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<int>("checkErrno");   // what opening the node answers; 0: it opens
    QTest::addColumn<int>("openErrno");    // 0: the library opens it
    QTest::addColumn<bool>("unreadableNode");
    QTest::addColumn<QString>("refusal");
    const QString hint = QString::fromStdString(simulatedHint);
    QTest::newRow("no such node")
        << "/dev/parport1" << ENOENT << 0 << false
        << "/dev/parport1: No such file or directory; check the name, or use --port=auto";
    QTest::newRow("node not listed by the library")
        << "/dev/parport7" << 0 << 0 << false
        << "/dev/parport7: not a parallel port listed by libieee1284; check the name, or use --port=auto";
    QTest::newRow("no permission")
        << "/dev/parport1" << EACCES << 0 << false
        << "/dev/parport1: Permission denied; add the user to group lp and log in again" + hint;
    QTest::newRow("operation not permitted")
        << "/dev/parport1" << EPERM << 0 << false
        << "/dev/parport1: Operation not permitted; add the user to group lp and log in again" + hint;
    QTest::newRow("no port behind the node")
        << "/dev/parport1" << ENXIO << 0 << false
        << "/dev/parport1: No such device or address; check that the port is enabled in the BIOS and that "
           "parport_pc and ppdev are loaded";
    QTest::newRow("node mode 000")
        << "/dev/parport1" << 0 << 0 << true
        << "<root>/dev/parport1: Permission denied; add the user to group lp" + hint;
    QTest::newRow("library open fails")
        << "/dev/parport1" << 0 << EBUSY << false
        << "opening /dev/parport1 (0x278) failed: E1284_SYS: Device or resource busy; check the cable and "
           "that no printer driver holds it; add the user to group lp" + hint;
}

void TestPort::namedDeviceIsRefused()
{
    QFETCH(QString, choice);
    QFETCH(int, checkErrno);
    QFETCH(int, openErrno);
    QFETCH(bool, unreadableNode);
    QFETCH(QString, refusal);
    if (unreadableNode && ::geteuid() == 0)
        QSKIP("root opens a node whatever its mode");
    FakeIeee1284Api api = parportAt0x378();
    if (checkErrno != ENOENT)
        api.listed.push_back({"parport1", 0x278, "/dev/parport1", openErrno ? e1284Sys : 0, openErrno});
    if (checkErrno != 0)
        api.deviceErrno["/dev/parport1"] = checkErrno;
    QFile node(QString::fromStdString(nodes_.node("/dev/parport1")));
    const auto permissions = node.permissions();
    if (unreadableNode)
        QVERIFY(node.setPermissions({}));

    const auto opened = port::backend::openPort(choice.toStdString(), api, nodes_.root());
    node.setPermissions(permissions);
    QCOMPARE(QString::fromStdString(opened.refusal),
             QString(refusal).replace(QStringLiteral("<root>"), QString::fromStdString(nodes_.root())));
    QVERIFY(!opened.port);
    QVERIFY(!opened.lock);
    QVERIFY(opened.description.empty());
    QVERIFY(api.opened.empty());
    QCOMPARE(api.claims, 0);
    QVERIFY(api.dataWrites.empty() && api.controlWrites.empty());
}

// Another program on the port stops this one even under auto: a simulated
// port in its place would look like a running motor. The simulated port
// takes no lock, so it starts regardless.
void TestPort::portInUseIsRefused_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("refused");
    QTest::newRow("auto") << "auto" << true;
    QTest::newRow("empty means auto") << "" << true;
    QTest::newRow("named") << "/dev/parport0" << true;
    QTest::newRow("simulated") << "simulated" << false;
}

void TestPort::portInUseIsRefused()
{
    QFETCH(QString, choice);
    QFETCH(bool, refused);
    const std::string node = nodes_.node("/dev/parport0");
    port::backend::PortLock otherProgram;
    QVERIFY(otherProgram.acquire(node));
    FakeIeee1284Api api = parportAt0x378();

    const auto opened = port::backend::openPort(choice.toStdString(), api, nodes_.root());
    if (refused) {
        QCOMPARE(opened.refusal, heldBy(node) + simulatedHint);
        QVERIFY(!opened.port);
        QVERIFY(!opened.lock);
    } else {
        QVERIFY(opened.refusal.empty());
        QCOMPARE(opened.port->name(), std::string("simulated"));
    }
    QCOMPARE(api.opens, 0);  // stopped before the library opened the node
    QCOMPARE(api.claims, 0);
    QVERIFY(api.dataWrites.empty() && api.controlWrites.empty());
    QVERIFY(otherProgram.held());
}

void TestPort::lockIsHeldWhileThePortIsOpen()
{
    LockWatchingApi api(nodes_);
    {
        const auto opened = port::backend::openPort("auto", api, nodes_.root());
        QVERIFY(opened.lock && opened.lock->held());
        const auto second = port::backend::openPort("auto", api, nodes_.root());
        QCOMPARE(second.refusal, heldBy(nodes_.node("/dev/parport0")) + simulatedHint);
        QCOMPARE(api.opens, 1);
    }
    QCOMPARE(api.freeAtClose, std::vector<bool>{false});  // still locked as the port closed
    QVERIFY(nodes_.free("/dev/parport0"));
}

// A port the library cannot open is refused under auto too; the node is let go.
void TestPort::lockIsLetGoWhenTheOpenFails()
{
    for (const char* choice : {"auto", "/dev/parport0"}) {
        FakeIeee1284Api api;
        api.listed.push_back({"parport0", 0x378, "/dev/parport0", e1284Sys, EBUSY});
        const auto opened = port::backend::openPort(choice, api, nodes_.root());
        QVERIFY(!opened.port);
        QVERIFY(!opened.refusal.empty());
        QVERIFY(!opened.lock);
        QCOMPARE(api.opens, 1);
        QVERIFY(nodes_.free("/dev/parport0"));
    }
}

void TestPort::controlWritesUndoTheLibraryInversion_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("written");
    QTest::newRow("idle 2 -> 0x09") << 2 << 0x09;
    QTest::newRow("0 -> 0x0B") << 0 << 0x0B;
    QTest::newRow("0x0B -> 0") << 0x0B << 0x00;
    QTest::newRow("nInit 0x04 untouched") << 0x04 << 0x0F;
}

void TestPort::controlWritesUndoTheLibraryInversion()
{
    QFETCH(int, raw);
    QFETCH(int, written);
    FakeIeee1284Api api = parportAt0x378();
    auto opened = port::backend::openPort("auto", api, nodes_.root());
    port::backend::Module1 module(*opened.port);
    module.vbOut(port::backend::controlPort, raw);
    module.vbOut(port::backend::dataPort, 0xC5);
    QCOMPARE(api.controlWrites, std::vector<std::uint8_t>{static_cast<std::uint8_t>(written)});
    QCOMPARE(api.dataWrites, std::vector<std::uint8_t>{0xC5});  // data goes out as it is
    QVERIFY_THROWS_EXCEPTION(port::backend::PortError, module.vbOut(port::backend::statusPort, 0));
}

void TestPort::claimWaitsForTheFirstWrite()
{
    FakeIeee1284Api api = parportAt0x378();
    auto opened = port::backend::openPort("auto", api, nodes_.root());
    auto* parallel = dynamic_cast<port::backend::Ieee1284Port*>(opened.port.get());
    QVERIFY(parallel);
    QCOMPARE(parallel->state(), port::backend::Ieee1284Port::State::Open);
    QCOMPARE(api.claims, 0);
    parallel->out(port::backend::dataPort, 0);
    QCOMPARE(parallel->state(), port::backend::Ieee1284Port::State::Claimed);
    parallel->out(port::backend::controlPort, 2);
    QCOMPARE(api.claims, 1);  // once
}

void TestPort::claimFailureIsAPortError()
{
    FakeIeee1284Api api = parportAt0x378();
    api.claimResult = e1284Sys;
    api.claimErrno = EACCES;
    auto opened = port::backend::openPort("auto", api, nodes_.root());
    try {
        opened.port->out(port::backend::dataPort, 0x60);
        QFAIL("no PortError");
    } catch (const port::backend::PortError& error) {
        QCOMPARE(std::string(error.what()),
                 std::string("claiming /dev/parport0 failed: E1284_SYS: Permission denied; check the cable "
                             "and that no printer driver holds it; add the user to group lp"));
    }
    QVERIFY(api.dataWrites.empty());
    api.claimResult = 0;  // tried again at the next write
    opened.port->out(port::backend::dataPort, 0x60);
    QCOMPARE(api.dataWrites, std::vector<std::uint8_t>{0x60});
    QCOMPARE(api.claims, 2);
}

void TestPort::readsUndoTheInversions()
{
    FakeIeee1284Api api = parportAt0x378();
    auto opened = port::backend::openPort("auto", api, nodes_.root());
    QCOMPARE(opened.port->in(port::backend::dataPort), std::uint8_t{0x5A});
    QCOMPARE(opened.port->in(port::backend::statusPort), std::uint8_t{0x78 ^ 0x80});
    QCOMPARE(opened.port->in(port::backend::controlPort), std::uint8_t{0x02});
    QCOMPARE(api.claims, 1);
}

void TestPort::checkFailsOnceThePortIsGone()
{
    FakeIeee1284Api api = parportAt0x378();
    auto opened = port::backend::openPort("auto", api, nodes_.root());
    QVERIFY(opened.port);
    api.portError = ENODEV;
    opened.port->check();  // never claimed: nothing to ask
    api.portError = 0;
    opened.port->out(port::backend::dataPort, 0x60);
    opened.port->check();
    api.portError = ENODEV;
    QVERIFY_THROWS_EXCEPTION(port::backend::PortError, opened.port->check());
}

void TestPort::destructorReleasesAndClosesOnce()
{
    FakeIeee1284Api api = parportAt0x378();
    {
        auto opened = port::backend::openPort("auto", api, nodes_.root());
        opened.port->out(port::backend::dataPort, 0);
        auto* parallel = dynamic_cast<port::backend::Ieee1284Port*>(opened.port.get());
        parallel->close();
        QCOMPARE(parallel->state(), port::backend::Ieee1284Port::State::Closed);
        QVERIFY_THROWS_EXCEPTION(port::backend::PortError, parallel->out(port::backend::dataPort, 0));
    }
    QCOMPARE(api.releases, 1);
    QCOMPARE(api.closes, 1);
    QCOMPARE(api.frees, 1);
    {
        auto unclaimed = port::backend::openPort("auto", api, nodes_.root());
    }
    QCOMPARE(api.releases, 1);  // never claimed: nothing to release
    QCOMPARE(api.closes, 2);
}

// ---- port lock -------------------------------------------------------------

void TestPort::secondLockIsRefusedUntilTheFirstIsReleased()
{
    const std::string node = nodes_.node("/dev/parport1");
    auto first = std::make_unique<port::backend::PortLock>();
    QVERIFY(first->acquire(node));
    port::backend::PortLock second;
    QVERIFY(!second.acquire(node));
    QVERIFY(second.inUse());
    QVERIFY(!second.held());
    QCOMPARE(second.reason(), heldBy(node));

    first.reset();  // the destructor lets go
    QVERIFY(second.acquire(node));
    QVERIFY(!second.inUse());
    QVERIFY(second.reason().empty());

    second.release();
    second.release();  // twice is harmless
    QVERIFY(!second.held());
    QVERIFY(nodes_.free("/dev/parport1"));
}

void TestPort::lockOnAnUnusableNodeSaysWhy_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("unreadableNode");
    QTest::addColumn<QString>("reasonAfterNode");
    QTest::newRow("missing") << "/dev/parport7" << false << ": No such file or directory";
    QTest::newRow("mode 000") << "/dev/parport1" << true << ": Permission denied; add the user to group lp";
}

void TestPort::lockOnAnUnusableNodeSaysWhy()
{
    QFETCH(QString, device);
    QFETCH(bool, unreadableNode);
    QFETCH(QString, reasonAfterNode);
    if (unreadableNode && ::geteuid() == 0)
        QSKIP("root opens a node whatever its mode");
    const std::string node = nodes_.node(device.toStdString());
    QFile file(QString::fromStdString(node));
    const auto permissions = file.permissions();
    if (unreadableNode)
        QVERIFY(file.setPermissions({}));
    port::backend::PortLock lock;
    const bool acquired = lock.acquire(node);
    if (unreadableNode)
        file.setPermissions(permissions);
    QVERIFY(!acquired);
    QVERIFY(!lock.inUse());  // a fault of this program's setup, not another program
    QCOMPARE(QString::fromStdString(lock.reason()), QString::fromStdString(node) + reasonAfterNode);
}

// ---- writes from a crash handler -------------------------------------------

static port::backend::Ieee1284Api::FoundPort firstListed(FakeIeee1284Api& api)
{
    auto& entry = api.listed.front();
    return {entry.name, entry.base, entry.filename, &entry};
}

void TestPort::crashHandlerWritesThePpdevPortIdle_data()
{
    QTest::addColumn<QString>("before");  // what the program did with the port
    QTest::addColumn<int>("descriptor");  // what the library gives for it
    QTest::addColumn<bool>("written");
    QTest::newRow("never claimed: nothing to undo") << "nothing" << 7 << false;
    QTest::newRow("claimed by a write") << "write" << 7 << true;
    QTest::newRow("claimed by a read") << "read" << 7 << true;
    QTest::newRow("claim refused") << "refused" << 7 << false;
    QTest::newRow("raw I/O: no descriptor") << "write" << -2 << false;
    QTest::newRow("closed after the claim") << "close" << 7 << false;
}

void TestPort::crashHandlerWritesThePpdevPortIdle()
{
    QFETCH(QString, before);
    QFETCH(int, descriptor);
    QFETCH(bool, written);
    FakeIeee1284Api api = parportAt0x378();
    api.ppdevDescriptor = descriptor;
    if (before == "refused")
        api.claimResult = e1284Sys;
    port::backend::Ieee1284Port parallel(api, nullptr, firstListed(api));
    if (before == "write" || before == "close")
        parallel.out(port::backend::dataPort, 0x99);
    if (before == "read")
        parallel.in(port::backend::statusPort);
    if (before == "refused")
        QVERIFY_THROWS_EXCEPTION(port::backend::PortError, parallel.out(port::backend::dataPort, 0x99));
    if (before == "close")
        parallel.close();
    parallel.writeIdleFromSignalHandler();
    using Raw = FakeIeee1284Api::RawWrite;
    const std::vector<Raw> idle{{descriptor, PPWDATA, port::pattern::idleData}, {descriptor, PPWCONTROL, port::pattern::idleControl}};
    QCOMPARE(api.rawWrites, written ? idle : std::vector<Raw>{});
}

// The handler goes past the library, which XORs the inverted lines C0, C1
// and C3 (0x0B) into every control byte before its PPWCONTROL: the program
// gives the library 0x09 for the idle control value, the library puts 0x02
// on the register, and so must the handler.
void TestPort::crashHandlerControlByteIsWhatTheLibraryPutsOnTheRegister()
{
    FakeIeee1284Api api = parportAt0x378();
    port::backend::Ieee1284Port parallel(api, nullptr, firstListed(api));
    parallel.out(port::backend::controlPort, port::pattern::idleControl);
    parallel.writeIdleFromSignalHandler();
    QCOMPARE(api.controlWrites, std::vector<std::uint8_t>{0x09});
    QCOMPARE(api.rawWrites.size(), std::size_t{2});
    QCOMPARE(api.rawWrites[1].value, std::uint8_t{0x02});
}

void TestPort::crashHandlerLeavesTheSimulatedPortIdle_data()
{
    QTest::addColumn<bool>("recorded");  // through a RecordedPort
    QTest::addColumn<int>("writes");     // of step {0xC5, 2} before the crash
    QTest::newRow("never written") << false << 0;
    QTest::newRow("half a step") << false << 1;
    QTest::newRow("a whole step") << false << 2;
    QTest::newRow("a whole step, recorded") << true << 2;
}

void TestPort::crashHandlerLeavesTheSimulatedPortIdle()
{
    QFETCH(bool, recorded);
    QFETCH(int, writes);
    port::backend::SimulatedPort simulated;
    port::record::RecordedPort recording(simulated, 16);
    port::backend::Port& guarded = recorded ? static_cast<port::backend::Port&>(recording) : simulated;
    if (writes >= 1)
        guarded.out(port::backend::dataPort, 0xC5);
    if (writes >= 2)
        guarded.out(port::backend::controlPort, 2);
    guarded.writeIdleFromSignalHandler();
    QCOMPARE(simulated.in(port::backend::dataPort), port::pattern::idleData);
    QCOMPARE(simulated.in(port::backend::controlPort), port::pattern::idleControl);
    // The record keeps its one writer: the handler stays out of it.
    QCOMPARE(recording.record().total(), std::uint64_t(recorded ? writes : 0));
}

// ---- keep-alive ------------------------------------------------------------

void TestPort::keepAliveNeedsASpareControlLine_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QString>("said");  // the description's end, or a part of the refusal
    QTest::newRow("pin 1: C0") << "1" << ", keep-alive on pin 1 (C0)";
    QTest::newRow("pin 16: C2") << "16" << ", keep-alive on pin 16 (C2)";
    QTest::newRow("pin 17: C3") << "17" << ", keep-alive on pin 17 (C3)";
    QTest::newRow("pin 14: the pattern's C1")
        << "14" << "keep-alive pin 14 refused: the pattern drives it (C1); give pin 1, 16 or 17";
    QTest::newRow("pin 11: an input") << "11" << "keep-alive pin 11 refused: not an output of the parallel port";
    QTest::newRow("a GPIO line's name") << "GPIO5" << "bad keep-alive pin 'GPIO5': a DB-25 pin number";
}

// On the parallel port and on the simulated one alike; refused before the
// port is opened.
void TestPort::keepAliveNeedsASpareControlLine()
{
    QFETCH(QString, pin);
    QFETCH(QString, said);
    FakeIeee1284Api api = parportAt0x378();
    const bool taken = said.startsWith(QLatin1String(", keep-alive"));
    for (const char* choice : {"auto", "simulated"}) {
        const auto opened = port::backend::openPort(choice, api, nodes_.root(), pin.toStdString());
        QCOMPARE(opened.port && opened.port->keepAlive(), taken);
        const QString shown = QString::fromStdString(taken ? opened.description : opened.refusal);
        QVERIFY2(taken ? shown.endsWith(said) : shown.contains(said), qPrintable(shown));
    }
    QCOMPARE(api.opens, taken ? 1 : 0);
}

void TestPort::controlWritesKeepTheKeepAliveBit_data()
{
    // What the library is given (the inverted lines 0x0B undone): the idle
    // control value, the keep-alive set, then step 1's control value; and
    // the crash handler's byte for the idle pair with the keep-alive set.
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QList<int>>("library");
    QTest::addColumn<int>("crash");
    QTest::newRow("pin 1, C0") << "1" << QList<int>{0x09, 0x08, 0x0A} << 0x03;
    QTest::newRow("pin 16, C2") << "16" << QList<int>{0x09, 0x0D, 0x0F} << 0x06;
    QTest::newRow("pin 17, C3") << "17" << QList<int>{0x09, 0x01, 0x03} << 0x0A;
}

void TestPort::controlWritesKeepTheKeepAliveBit()
{
    QFETCH(QString, pin);
    QFETCH(QList<int>, library);
    QFETCH(int, crash);
    FakeIeee1284Api api = parportAt0x378();
    auto opened = port::backend::openPort("auto", api, nodes_.root(), pin.toStdString());
    opened.port->out(port::backend::controlPort, port::pattern::idleControl);
    opened.port->writeKeepAlive(true);
    opened.port->out(port::backend::controlPort, expectedSteps[0].control);
    opened.port->writeIdleFromSignalHandler();
    QCOMPARE(QList<int>(api.controlWrites.begin(), api.controlWrites.end()), library);
    QCOMPARE(api.rawWrites.back().value, crash);
}

// The keep-alive's writes go to a record and a log line of their own: the
// pattern's record and registers read as without it.
void TestPort::keepAliveIsRecordedApart()
{
    int log[2];
    QCOMPARE(::pipe(log), 0);
    std::string problem;
    port::backend::SimulatedPort simulated(*port::backend::parallelKeepAlivePin("17", problem));
    simulated.logWritesTo(log[1]);
    port::record::RecordedPort recorded(simulated, 16);
    recorded.out(port::backend::dataPort, 0x60);
    recorded.writeKeepAlive(true);
    recorded.out(port::backend::controlPort, 0);
    QCOMPARE(recorded.record().total(), std::uint64_t{2});
    QCOMPARE(recorded.keepAliveRecord().snapshot(16).back().value, std::uint8_t{1});
    QCOMPARE(simulated.in(port::backend::controlPort), std::uint8_t{0});
    char bytes[64];
    const ssize_t got = ::read(log[0], bytes, sizeof bytes);
    ::close(log[0]);
    QCOMPARE(pipeWrites(bytes, static_cast<std::size_t>(std::max<ssize_t>(got, 0))),
             (std::vector<PipeWrite>{{port::backend::dataPort, 0x60}, {port::backend::keepAliveAddress, 1},
                                     {port::backend::controlPort, 0}}));
}

QTEST_GUILESS_MAIN(TestPort)
#include "tst_port.moc"
