// The GPIO back end: the GPIO choice as written, the levels the register values give the
// lines, the checks at start that refuse before anything is written, and the
// sets a write and a crash handler make, against a fake chip.
#include "port/backend/crashguard.h"
#include "port/backend/gpioport.h"
#include "port/backend/portselection.h"

#include <QTest>

#include <cerrno>
#include <map>

namespace {

using port::backend::GpioApi;

// A chip of 16 lines, a few of them named; what it was asked is kept.
class FakeChip : public GpioApi {
public:
    int openError = 0;
    int requestError = 0;
    int setError = 0;
    int fd = 9;
    std::map<std::string, unsigned> names{{"GPIO0", 0},  {"GPIO12", 12}, {"GPIO13", 13}, {"GPIO17", 1},
                                          {"GPIO18", 9}, {"GPIO22", 2},  {"GPIO23", 3},  {"GPIO24", 4},
                                          {"GPIO25", 7}, {"GPIO27", 8}};
    std::map<unsigned, Line> used;
    mutable std::vector<std::vector<unsigned>> requests;
    mutable std::vector<QString> sets, signalSets;  // levels as "0101..." in the request's order
    mutable int opens = 0, closes = 0, releases = 0;

    QString text(const Levels& levels) const
    {
        QString shown;
        for (std::size_t at = 0; at < requests.back().size(); ++at)
            shown += levels[at] ? '1' : '0';
        return shown;
    }
    int openChip(const std::string&, Chip& opened) const override
    {
        opened = Chip{"gpiochip0", "fake", 16, const_cast<FakeChip*>(this)};
        return openError == 0 ? (++opens, 0) : openError;
    }
    void closeChip(void*) const override { ++closes; }
    int findLine(void*, const std::string& name, unsigned& offset) const override
    {
        const auto found = names.find(name);
        return found == names.end() ? ENOENT : (offset = found->second, 0);
    }
    int lineInfo(void*, unsigned offset, Line& line) const override
    {
        const auto found = used.find(offset);
        line = found == used.end() ? Line{} : found->second;
        return 0;
    }
    int requestOutputs(void*, const std::vector<unsigned>& offsets, const Levels& levels, void*& request) const override
    {
        if (requestError != 0)
            return requestError;
        requests.push_back(offsets);
        sets.push_back(text(levels));  // the request's initial values: the first levels the lines take
        request = const_cast<FakeChip*>(this);
        return 0;
    }
    int setLevels(void*, const Levels& levels) const override
    {
        return setError != 0 ? setError : (sets.push_back(text(levels)), 0);
    }
    void release(void*) const override { ++releases; }
    int requestFd(void*) const override { return fd; }
    void setLevelsFromSignal(int descriptor, const Levels& levels) const noexcept override
    {
        if (descriptor == fd)
            signalSets.push_back(text(levels));
    }
};

constexpr char twelveLines[] = "gpio:gpiochip0:0,1,2,3,4,5,6,7,8,9,10,11";
// D0-D7 low; pin 14 low; pins 1, 16, 17 high, low, high.
const QString idleLevels = QStringLiteral("000000000101");

}  // namespace

class TestGpioPort : public QObject {
    Q_OBJECT

private slots:
    void gpioChoice_data();
    void gpioChoice();
    void levelsFollowTheRegisters_data();
    void levelsFollowTheRegisters();
    void refusedBeforeAnythingIsWritten_data();
    void refusedBeforeAnythingIsWritten();
    void requestHoldsTheIdleLevelsFromTheStart();
    void failedSetIsAPortError();
    void crashHandlerSetsDataLowThenIdle();
    void keepAliveHasALineOfItsOwn_data();
    void keepAliveHasALineOfItsOwn();
};

void TestGpioPort::gpioChoice_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("chip");
    QTest::addColumn<QString>("lines");  // joined with commas; empty: not wired
    QTest::addColumn<QString>("error");  // a part of it; empty: accepted

    QTest::newRow("chip alone: the Pi's header") << "gpiochip0" << "gpiochip0"
                                                 << "GPIO17,GPIO18,GPIO27,GPIO22,GPIO23,GPIO24,GPIO25,GPIO12,GPIO13,,,"
                                                 << "";
    QTest::newRow("nine offsets") << "/dev/gpiochip1:0,1,2,3,4,5,6,7,8" << "/dev/gpiochip1"
                                  << "0,1,2,3,4,5,6,7,8,,," << "";
    QTest::newRow("label, names, pin 16 unwired") << "my-gpio:a,b,c,d,e,f,g,h,i,j,-,l" << "my-gpio"
                                                  << "a,b,c,d,e,f,g,h,i,j,,l" << "";
    QTest::newRow("no chip") << ":0,1,2,3,4,5,6,7,8" << "" << "" << "no GPIO chip named";
    QTest::newRow("ten lines") << "c:0,1,2,3,4,5,6,7,8,9" << "" << "" << "'0,1,2,3,4,5,6,7,8,9': 10 lines; give 9";
    QTest::newRow("empty entry") << "c:0,1,,3,4,5,6,7,8" << "" << "" << "no line for D2";
    QTest::newRow("C1 unwired") << "c:0,1,2,3,4,5,6,7,-" << "" << "" << "C1 must be wired";
    QTest::newRow("named twice") << "c:0,1,2,3,4,5,6,7,0" << "" << "" << "line 0 named twice (D0 and C1)";
}

void TestGpioPort::gpioChoice()
{
    QFETCH(QString, choice);
    QFETCH(QString, chip);
    QFETCH(QString, lines);
    QFETCH(QString, error);

    std::string problem;
    const auto parsed = port::backend::parseGpioChoice(choice.toStdString(), problem);
    QCOMPARE(parsed.has_value(), error.isEmpty());
    QVERIFY2(QString::fromStdString(problem).contains(error), problem.c_str());
    if (!parsed)
        return;
    QCOMPARE(QString::fromStdString(parsed->chip), chip);
    QStringList given;
    for (const std::string& line : parsed->lines)
        given << QString::fromStdString(line);
    QCOMPARE(given.join(','), lines);
}

void TestGpioPort::levelsFollowTheRegisters_data()
{
    QTest::addColumn<int>("data");
    QTest::addColumn<int>("control");
    QTest::addColumn<QString>("afterData");     // D0-D7, pins 14, 1, 16, 17
    QTest::addColumn<QString>("afterControl");

    QTest::newRow("idle pair") << 0x00 << 2 << idleLevels << idleLevels;
    QTest::newRow("step 1: C1 0 puts pin 14 high") << 0x60 << 0 << "000001100101" << "000001101101";
    QTest::newRow("step 6") << 0xC5 << 2 << "101000110101" << "101000110101";
    QTest::newRow("every control line set") << 0xFF << 0x0F << "111111110101" << "111111110010";
}

void TestGpioPort::levelsFollowTheRegisters()
{
    QFETCH(int, data);
    QFETCH(int, control);
    QFETCH(QString, afterData);
    QFETCH(QString, afterControl);

    FakeChip chip;
    port::backend::OpenedPort opened = port::backend::openGpioPort(twelveLines, chip);
    QVERIFY2(opened.port, opened.refusal.c_str());
    opened.port->out(port::backend::dataPort, static_cast<std::uint8_t>(data));
    opened.port->out(port::backend::controlPort, static_cast<std::uint8_t>(control));
    QCOMPARE(chip.sets, (std::vector<QString>{idleLevels, afterData, afterControl}));
    QCOMPARE(opened.port->in(port::backend::controlPort), control);
}

void TestGpioPort::refusedBeforeAnythingIsWritten_data()
{
    QTest::addColumn<QString>("choice");
    QTest::addColumn<int>("openError");
    QTest::addColumn<unsigned>("usedLine");  // 99: none
    QTest::addColumn<QString>("consumer");
    QTest::addColumn<int>("requestError");
    QTest::addColumn<QString>("refusal");  // a part of it

    const QString nine = QStringLiteral("gpio:gpiochip0:0,1,2,3,4,5,6,7,");
    QTest::newRow("chip not there") << "gpio:gpiochip9" << ENOENT << 99u << "" << 0
                                    << "gpiochip9: no such GPIO chip; name it as /dev/gpiochipN";
    QTest::newRow("chip not ours to use") << "gpio:/dev/gpiochip0" << EACCES << 99u << "" << 0
                                          << "/dev/gpiochip0: Permission denied; give the user read and write";
    QTest::newRow("C1 left empty") << nine << 0 << 99u << "" << 0 << "no line for C1";
    QTest::newRow("offset out of range")
        << nine + "16" << 0 << 99u << "" << 0
        << "line 16 of gpiochip0 [fake] (for C1) is out of range: the chip has 16 lines, 0-15; gpioinfo gpiochip0";
    QTest::newRow("no such name") << nine + "nope" << 0 << 99u << "" << 0
                                  << "no line named 'nope' on gpiochip0 [fake] (for C1)";
    QTest::newRow("one line by offset and by name")
        << nine + "GPIO0" << 0 << 99u << "" << 0 << "line 0 of gpiochip0 [fake] is named twice (as 0 for D0 and as GPIO0 for C1)";
    QTest::newRow("held by another program") << nine + "8" << 0 << 3u << "frequency-converter" << 0
                                             << "line 3 of gpiochip0 [fake] (for D3) is in use by 'frequency-converter'; close";
    QTest::newRow("held by the kernel") << nine + "8" << 0 << 8u << "" << 0 << "(for C1) is in use by the kernel";
    QTest::newRow("taken between the check and the request")
        << nine + "8" << 0 << 99u << "" << EBUSY << "Device or resource busy; another program took one";
}

void TestGpioPort::refusedBeforeAnythingIsWritten()
{
    QFETCH(QString, choice);
    QFETCH(int, openError);
    QFETCH(unsigned, usedLine);
    QFETCH(QString, consumer);
    QFETCH(int, requestError);
    QFETCH(QString, refusal);

    FakeChip chip;
    chip.openError = openError;
    chip.requestError = requestError;
    chip.used[usedLine] = GpioApi::Line{"", true, consumer.toStdString()};
    const port::backend::OpenedPort opened = port::backend::openGpioPort(choice.toStdString(), chip);
    QVERIFY(!opened.port);
    QVERIFY2(QString::fromStdString(opened.refusal).contains(refusal), opened.refusal.c_str());
    QVERIFY(chip.requests.empty());
    QVERIFY(chip.sets.empty());
    QCOMPARE(chip.closes, chip.opens);
}

void TestGpioPort::requestHoldsTheIdleLevelsFromTheStart()
{
    FakeChip chip;
    {
        port::backend::OpenedPort pi = port::backend::openGpioPort("gpio:gpiochip0", chip);
        QCOMPARE(QString::fromStdString(pi.description),
                 "Port: GPIO gpiochip0 [fake], lines 1,9,8,2,3,4,7,12,13 (D0-D7, C1)");
        QCOMPARE(chip.sets, std::vector<QString>{"000000000"});
        port::backend::OpenedPort unwired = port::backend::openGpioPort("gpio:gpiochip0:9,8,7,6,5,4,3,2,1,-,0,-", chip);
        QCOMPARE(QString::fromStdString(unwired.description),
                 "Port: GPIO gpiochip0 [fake], lines 9,8,7,6,5,4,3,2,1,-,0,- (D0-D7, C1, pins 1, 16, 17)");
        QCOMPARE(chip.requests.back(), (std::vector<unsigned>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
        QCOMPARE(chip.sets.back(), "0000000000");
    }
    QCOMPARE(chip.releases, 2);
    QCOMPARE(chip.closes, 2);
}

void TestGpioPort::failedSetIsAPortError()
{
    FakeChip chip;
    port::backend::OpenedPort opened = port::backend::openGpioPort(twelveLines, chip);
    chip.setError = ENODEV;
    try {
        opened.port->out(port::backend::dataPort, 0x60);
        QFAIL("a set the chip refused was taken");
    } catch (const port::backend::PortError& error) {
        QVERIFY2(QString::fromLatin1(error.what()).startsWith("gpiochip0 [fake] stopped taking writes: No such device"),
                 error.what());
    }
    QCOMPARE(opened.port->in(port::backend::dataPort), 0);  // what the lines still show
}

void TestGpioPort::crashHandlerSetsDataLowThenIdle()
{
    FakeChip chip;
    FakeChip unknownFd;
    unknownFd.fd = -1;
    port::backend::OpenedPort opened = port::backend::openGpioPort(twelveLines, chip);
    opened.port->out(port::backend::dataPort, 0x99);
    opened.port->out(port::backend::controlPort, 0);
    opened.port->writeIdleFromSignalHandler();
    QCOMPARE(chip.signalSets, (std::vector<QString>{"000000001101", idleLevels}));

    // a crash could not set the lines idle: refused at start, the lines let go
    opened = port::backend::openGpioPort(twelveLines, unknownFd);
    QVERIFY(!opened.port);
    QVERIFY2(opened.refusal.find("gave no descriptor to set them idle with on a crash; refused") != std::string::npos,
             opened.refusal.c_str());
    QCOMPARE(unknownFd.releases, 1);
}

void TestGpioPort::keepAliveHasALineOfItsOwn_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("refusal");  // a part of it; empty: taken
    QTest::newRow("an offset") << "12" << "";
    QTest::newRow("a name") << "GPIO12" << "";
    QTest::newRow("a line of the port's")
        << "9" << "line 9 of gpiochip0 [fake] is named twice (as 9 for C0 and as 9 for the keep-alive)";
    QTest::newRow("held by another program") << "13" << "line 13 of gpiochip0 [fake] (for the keep-alive) is in use by 'gpioset'";
}

// Requested with the port's lines, low; every set after keeps its level,
// the crash handler's too.
void TestGpioPort::keepAliveHasALineOfItsOwn()
{
    QFETCH(QString, line);
    QFETCH(QString, refusal);
    FakeChip chip;
    chip.used[13] = GpioApi::Line{"", true, "gpioset"};
    const port::backend::OpenedPort opened = port::backend::openGpioPort(twelveLines, chip, line.toStdString());
    QVERIFY2(QString::fromStdString(opened.refusal).contains(refusal), opened.refusal.c_str());
    if (!refusal.isEmpty()) {
        QVERIFY(!opened.port && chip.requests.empty() && chip.sets.empty());
        return;
    }
    QVERIFY(opened.description.ends_with("(D0-D7, C1, pins 1, 16, 17), keep-alive on line 12"));
    QCOMPARE(chip.requests.back().back(), 12u);
    opened.port->writeKeepAlive(true);
    opened.port->out(port::backend::dataPort, 0x60);
    opened.port->writeKeepAlive(false);
    opened.port->out(port::backend::controlPort, 0);
    opened.port->writeKeepAlive(true);
    opened.port->writeIdleFromSignalHandler();
    QCOMPARE(chip.sets, (std::vector<QString>{idleLevels + '0', idleLevels + '1', "0000011001011", "0000011001010",
                                              "0000011011010", "0000011011011"}));
    QCOMPARE(chip.signalSets, (std::vector<QString>{"0000000011011", idleLevels + '1'}));
}

QTEST_APPLESS_MAIN(TestGpioPort)
#include "tst_gpioport.moc"
