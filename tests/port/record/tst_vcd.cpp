// The VCD export: the file read back by a small VCD reader of this test, the
// round trip through GTKWave's own reader (vcd2fst, then fst2vcd back), which
// must give every one of the nine lines the same values at the same times as
// the run that was exported, and sigrok's reader (PulseView's), which must
// read a long run whole and in useful time.
#include "expectedpattern.h"
#include "port/backend/keepalivepin.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/record/vcdexport.h"
#include "port/record/writerecord.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

using Write = port::record::WriteRecord::Write;
using port::backend::controlPort;
using port::backend::dataPort;

constexpr std::size_t lineCount = 9;
const std::array<std::string, lineCount> lineNames{"D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7", "C1"};

// A large steady_clock reading (some 85 days of uptime), so time 0 of the
// file is far from the clock's zero.
constexpr std::int64_t start = 7'345'678'901'234'567;

// ---- A small VCD reader -------------------------------------------------

struct Dump {
    struct Var {
        std::string type;
        std::string size;
        std::string id;
        std::string name;
    };
    struct Change {
        std::int64_t time;
        std::string name;
        char value;
        bool inDumpvars;
    };

    std::string error;                         // empty: the file was read
    std::map<std::string, std::string> header;  // "version" -> its words
    std::vector<std::string> scopes;            // "module parport"
    std::vector<Var> vars;
    std::vector<std::int64_t> times;  // every #t, in file order
    std::vector<Change> changes;      // in file order

    // Each line's changes, as (time, value) in file order.
    std::map<std::string, std::vector<std::pair<std::int64_t, char>>> byLine;

    // A line's value at time: the last change at or before it, x before any.
    char valueAt(const std::string& name, std::int64_t time) const
    {
        const auto found = byLine.find(name);
        if (found == byLine.end())
            return 'x';
        const auto& line = found->second;
        const auto after = std::upper_bound(line.begin(), line.end(), time,
                                            [](std::int64_t at, const auto& change) { return at < change.first; });
        return after == line.begin() ? 'x' : std::prev(after)->second;
    }

    // Nanoseconds in one unit of the times, from $timescale; 0 when unknown.
    std::int64_t tick() const
    {
        const auto found = header.find("timescale");
        if (found == header.end())
            return 0;
        std::string text = found->second;
        std::erase(text, ' ');
        static const std::map<std::string, std::int64_t> units{{"ns", 1}, {"us", 1'000}, {"ms", 1'000'000},
                                                               {"s", 1'000'000'000}};
        for (const std::string number : {"100", "10", "1"}) {
            if (text.starts_with(number) && units.contains(text.substr(number.size())))
                return std::stoll(number) * units.at(text.substr(number.size()));
        }
        return 0;
    }

    // The last time at which a line changed.
    std::int64_t lastChange() const { return changes.empty() ? 0 : changes.back().time; }

    std::set<std::string> names() const
    {
        std::set<std::string> result;
        for (const Var& var : vars)
            result.insert(var.name);
        return result;
    }
};

// Words up to "$end", joined by one space.
std::string untilEnd(std::istream& in, bool& ended)
{
    std::string words, word;
    ended = false;
    while (in >> word) {
        if (word == "$end") {
            ended = true;
            break;
        }
        words += (words.empty() ? "" : " ") + word;
    }
    return words;
}

// fst2vcd leaves the $dumpvars of a dump that has only time 0 without its
// $end (it writes that $end when it goes on to the next time); fromFst
// forgives that, and only that, at the end of the file.
// sigrok-cli puts a "META samplerate" line of its own before the header.
enum class Source { ours, fromFst, sigrok };

Dump readVcd(const std::string& text, Source source = Source::ours)
{
    Dump dump;
    std::istringstream in(text);
    std::map<std::string, std::string> nameOf;  // identifier code -> name
    std::string word;
    bool ended = false;

    // Declarations.
    bool definitionsEnded = false;
    while (!definitionsEnded && in >> word) {
        if (source == Source::sigrok && word == "META") {
            std::getline(in, word);  // "META samplerate: 1000000", sigrok-cli's own line
            continue;
        }
        if (word == "$var") {
            std::istringstream fields(untilEnd(in, ended));
            Dump::Var var;
            if (!ended || !(fields >> var.type >> var.size >> var.id >> var.name))
                return dump.error = "bad $var", dump;
            dump.vars.push_back(var);
            nameOf[var.id] = var.name;
        } else if (word == "$scope") {
            dump.scopes.push_back(untilEnd(in, ended));
        } else if (word == "$upscope") {
            untilEnd(in, ended);
        } else if (word == "$enddefinitions") {
            untilEnd(in, ended);
            definitionsEnded = true;
        } else if (word.size() > 1 && word[0] == '$') {
            dump.header[word.substr(1)] = untilEnd(in, ended);
        } else {
            return dump.error = "unexpected '" + word + "' among the declarations", dump;
        }
        if (!ended)
            return dump.error = "no $end after " + word, dump;
    }
    if (!definitionsEnded)
        return dump.error = "no $enddefinitions", dump;

    // Value changes.
    bool haveTime = false;
    bool inDumpvars = false;
    std::int64_t time = 0;
    const auto change = [&](const std::string& id, char value) {
        const auto found = nameOf.find(id);
        if (found == nameOf.end())
            return dump.error = "unknown identifier '" + id + "'", false;
        if (!haveTime)
            return dump.error = "a value change before the first time", false;
        dump.changes.push_back({time, found->second, value, inDumpvars});
        dump.byLine[found->second].emplace_back(time, value);
        return true;
    };
    while (in >> word) {
        const char first = word[0];
        if (first == '#') {
            try {
                std::size_t used = 0;
                time = std::stoll(word.substr(1), &used);
                if (used != word.size() - 1)
                    throw std::invalid_argument(word);
            } catch (const std::exception&) {
                return dump.error = "bad time '" + word + "'", dump;
            }
            haveTime = true;
            dump.times.push_back(time);
        } else if (word == "$dumpvars" || word == "$dumpall" || word == "$dumpon" || word == "$dumpoff") {
            inDumpvars = true;
        } else if (word == "$end") {
            if (!inDumpvars)
                return dump.error = "a $end out of place", dump;
            inDumpvars = false;
        } else if (word == "$comment") {
            untilEnd(in, ended);
        } else if (std::string("01xXzZ").find(first) != std::string::npos) {
            if (!change(word.substr(1), static_cast<char>(std::tolower(first))))
                return dump;
        } else if (first == 'b' || first == 'B') {
            std::string id;
            if (word.size() < 2 || !(in >> id))
                return dump.error = "bad vector change '" + word + "'", dump;
            if (!change(id, static_cast<char>(std::tolower(word.back()))))
                return dump;
        } else {
            return dump.error = "unexpected '" + word + "' among the value changes", dump;
        }
    }
    if (inDumpvars && !(source == Source::fromFst && dump.times.size() == 1))
        return dump.error = "no $end after $dumpvars", dump;
    return dump;
}

// ---- Runs and what the lines must show ------------------------------------

class Run {
public:
    explicit Run(std::int64_t time = start) : time_(time) {}

    Run& at(std::int64_t time)
    {
        time_ = time;
        return *this;
    }
    Run& after(std::int64_t nanoseconds)
    {
        time_ += nanoseconds;
        return *this;
    }
    Run& data(std::uint8_t value) { return out(dataPort, value); }
    Run& control(std::uint8_t value) { return out(controlPort, value); }
    Run& out(std::uint16_t address, std::uint8_t value)
    {
        writes.push_back(Write{time_, address, value, writes.size()});
        return *this;
    }

    std::vector<Write> writes;

private:
    std::int64_t time_;
};

// Three cycles of the pattern at uneven times (some steps write data and
// control in the same nanosecond), then STOP's idle writes.
std::vector<Write> knownRun()
{
    Run run;
    for (int cycle = 0; cycle < 3; ++cycle) {
        for (std::size_t step = 0; step < port::pattern::stepsPerCycle; ++step) {
            run.data(expectedSteps[step].data);
            run.after(step % 4 == 0 ? 0 : 150 + 7 * static_cast<std::int64_t>(step));
            run.control(expectedSteps[step].control);
            run.after(10'000 + 1'337 * static_cast<std::int64_t>((cycle * 14 + step) % 11) + cycle * 3);
        }
    }
    run.after(2'500).data(port::pattern::idleData).after(400).control(port::pattern::idleControl);
    return run.writes;
}

// A run at 30 Hz (delay count 23809, steps of 2.381 ms) for seconds, each
// control write 1.5 µs after its data write as through ppdev, the steps
// a few µs late now and then, then STOP's idle pair after the cycle.
std::vector<Write> thirtyHertz(int seconds)
{
    constexpr std::int64_t stepLength = 2'381'000;
    const std::int64_t steps = seconds * 1'000'000'000LL / stepLength / 14 * 14;
    Run run;
    for (std::int64_t step = 0; step < steps; ++step) {
        const ExpectedStep& pattern = expectedStep(static_cast<std::size_t>(step));
        run.at(start + step * stepLength + (step * 7'919) % 4'000);
        run.data(pattern.data).after(1'500).control(pattern.control);
    }
    run.at(start + steps * stepLength).data(port::pattern::idleData).after(1'500).control(port::pattern::idleControl);
    return run.writes;
}

std::int64_t originOf(const std::vector<Write>& writes)
{
    for (const Write& write : writes) {
        if (write.address == dataPort || write.address == controlPort)
            return write.nanoseconds;
    }
    return 0;
}

// The test that asked fails when the export says it failed.
std::string exported(const std::vector<Write>& writes, const std::string& comment = {})
{
    std::ostringstream out;
    if (!port::record::writeVcd(out, writes, comment))
        QTest::qFail("writeVcd returned false on a healthy std::ostringstream", __FILE__, __LINE__);
    return out.str();
}

// The level a write leaves on line, or 0 when it does not drive the line.
char levelAfter(const Write& write, std::size_t line)
{
    if (line < 8 && write.address == dataPort)
        return (write.value >> line & 1) != 0 ? '1' : '0';
    if (line == 8 && write.address == controlPort)
        return (write.value & 2) != 0 ? '1' : '0';
    return 0;
}

// Every line of the dump shows what the writes put there, at each write's
// time and just before it, and changes at no other time; times in the
// dump's units. For writes no two of which to one register share a unit.
// A reader with only 0 and 1 (sigrok) may show an x as either.
enum class Unknown { shown, either };
void compareWithRun(const Dump& dump, const std::vector<Write>& writes, Unknown unknown = Unknown::shown)
{
    const std::int64_t tick = dump.tick();
    QVERIFY2(tick > 0, "no timescale");
    const std::int64_t origin = originOf(writes);
    std::array<char, lineCount> levels;
    levels.fill('x');
    std::set<std::int64_t> writeTimes{0};
    const auto compare = [&](std::int64_t at) {
        for (std::size_t line = 0; line < lineCount; ++line) {
            const char got = dump.valueAt(lineNames[line], at);
            if (got != levels[line] && !(unknown == Unknown::either && levels[line] == 'x'))
                return QStringLiteral("%1 at %2: %3 in the dump, %4 written")
                    .arg(QString::fromStdString(lineNames[line]))
                    .arg(at)
                    .arg(QChar(got))
                    .arg(QChar(levels[line]));
        }
        return QString();
    };
    // The writes in groups of one unit: the levels before a group must hold
    // up to the unit before it, and those after it at its unit.
    std::optional<std::int64_t> unit;
    for (const Write& write : writes) {
        if (write.address != dataPort && write.address != controlPort)
            continue;
        const std::int64_t at = std::max((write.nanoseconds - origin) / tick, unit.value_or(0));
        if (at != unit) {
            if (unit) {
                const QString wrong = compare(*unit);
                QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
            }
            const QString wrong = compare(at - 1);
            QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
            unit = at;
            writeTimes.insert(at);
        }
        for (std::size_t line = 0; line < lineCount; ++line) {
            if (const char level = levelAfter(write, line))
                levels[line] = level;
        }
    }
    const QString wrong = compare(unit.value_or(0));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    for (const Dump::Change& change : dump.changes) {
        if (!writeTimes.contains(change.time))
            QFAIL(qPrintable(QStringLiteral("%1 changes at %2, when nothing was written")
                                 .arg(QString::fromStdString(change.name))
                                 .arg(change.time)));
    }
}

// ---- Streams that fail ----------------------------------------------------

// Takes the first capacity bytes, then refuses every further one.
class RefusingBuffer : public std::streambuf {
public:
    explicit RefusingBuffer(std::size_t capacity) : capacity_(capacity) {}
    std::size_t taken = 0;

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        if (taken == capacity_)
            return traits_type::eof();
        ++taken;
        return c;
    }
    std::streamsize xsputn(const char*, std::streamsize count) override
    {
        const auto room = static_cast<std::streamsize>(capacity_ - taken);
        const std::streamsize accepted = std::min(count, room);
        taken += static_cast<std::size_t>(accepted);
        return accepted;
    }

private:
    std::size_t capacity_;
};

// ---- Running GTKWave's converters ----------------------------------------

// Runs program to its end; false with what went wrong (and its stderr) in why.
[[maybe_unused]] bool runTool(const QString& program, const QStringList& arguments, QString& why)
{
    constexpr int startTimeout = 30'000;
    constexpr int finishTimeout = 120'000;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(startTimeout)) {
        why = program + " did not start: " + process.errorString();
        return false;
    }
    if (!process.waitForFinished(finishTimeout)) {
        process.kill();
        process.waitForFinished();
        why = program + " did not finish within 120 s";
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        why = QStringLiteral("%1 %2 failed (exit code %3): %4")
                  .arg(program, arguments.join(' '))
                  .arg(process.exitCode())
                  .arg(QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

[[maybe_unused]] std::string readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

}  // namespace

class TestVcd : public QObject {
    Q_OBJECT

private slots:
    void roundTripThroughGtkwave_data();
    void roundTripThroughGtkwave();
    void headerDeclaresNineWires();
    void ownFileHoldsTheRun();
    void linesAreXUntilTheirRegisterIsWritten();
    void writesAtTheSameTimeFold();
    void onlyChangesAreEmitted();
    void timesStrictlyIncrease();
    void otherAddressesAreIgnored();
    void emptyListGivesAValidFile();
    void failedStreamReturnsFalse();
    void summarySaysWhatTheFileHolds_data();
    void summarySaysWhatTheFileHolds();
    void progressReachesTheEnd();
    void fullRecordHasATimeForEveryChange();
    void timescaleFollowsTheLength_data();
    void timescaleFollowsTheLength();
    void writesCloserThanAUnitStayApart();
    void sigrokReadsAThirtySecondRun();
    void keepAliveIsALineOfItsOwn();
};

void TestVcd::roundTripThroughGtkwave_data()
{
    QTest::addColumn<std::vector<Write>>("writes");
    QTest::newRow("three cycles and STOP") << knownRun();
    QTest::newRow("no writes") << std::vector<Write>{};
    QTest::newRow("data only: C1 stays x") << Run().data(0x5A).after(70).data(0xA5).writes;
    QTest::newRow("control first, same-time writes")
        << Run().control(2).control(0).after(1).data(0xFF).data(0x01).control(2).after(1'000).data(0x01).writes;
    QTest::newRow("30 s at 30 Hz: 1 us units") << thirtyHertz(30);
}

void TestVcd::roundTripThroughGtkwave()
{
#if !defined(FC_VCD2FST) || !defined(FC_FST2VCD)
    QSKIP("gtkwave's vcd2fst/fst2vcd not found when configuring: install gtkwave and reconfigure");
#else
    QFETCH(std::vector<Write>, writes);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString vcd = dir.filePath("run.vcd");
    const QString fst = dir.filePath("run.fst");
    const QString back = dir.filePath("back.vcd");
    {
        std::ofstream file(QFile::encodeName(vcd).constData(), std::ios::binary);
        QVERIFY(port::record::writeVcd(file, writes, "round trip of tst_vcd"));
    }

    QString why;
    QVERIFY2(runTool(QStringLiteral(FC_VCD2FST), {vcd, fst}, why), qPrintable(why));
    QVERIFY2(runTool(QStringLiteral(FC_FST2VCD), {QStringLiteral("-o"), back, fst}, why), qPrintable(why));

    const std::string text = readFile(back);
    QVERIFY2(!text.empty(), "fst2vcd wrote nothing");
    const Dump dump = readVcd(text, Source::fromFst);
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.tick(), readVcd(readFile(vcd)).tick());
    QCOMPARE(dump.names(), std::set<std::string>(lineNames.begin(), lineNames.end()));
    compareWithRun(dump, writes);
#endif
}

void TestVcd::headerDeclaresNineWires()
{
    const Dump withComment = readVcd(exported(knownRun(), "50 Hz, 230 V, simulated port"));
    QVERIFY2(withComment.error.empty(), withComment.error.c_str());
    QCOMPARE(withComment.header.at("version"), std::string("frequency-converter"));
    QCOMPARE(withComment.header.at("comment"), std::string("50 Hz, 230 V, simulated port"));
    QCOMPARE(withComment.header.at("timescale"), std::string("1 ns"));
    QVERIFY(!withComment.header.at("date").empty());
    QCOMPARE(withComment.scopes, std::vector<std::string>{"module parport"});
    QCOMPARE(withComment.vars.size(), lineCount);
    std::set<std::string> ids;
    for (std::size_t line = 0; line < lineCount; ++line) {
        QCOMPARE(withComment.vars[line].name, lineNames[line]);
        QCOMPARE(withComment.vars[line].type, std::string("wire"));
        QCOMPARE(withComment.vars[line].size, std::string("1"));
        ids.insert(withComment.vars[line].id);
    }
    QCOMPARE(ids.size(), lineCount);

    const Dump without = readVcd(exported(knownRun()));
    QVERIFY2(without.error.empty(), without.error.c_str());
    QCOMPARE(without.header.count("comment"), std::size_t{0});
}

void TestVcd::ownFileHoldsTheRun()
{
    const std::vector<Write> writes = knownRun();
    const Dump dump = readVcd(exported(writes));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    compareWithRun(dump, writes);
    // The last write's time, counted from the first one's, then the closing
    // time a unit later.
    const std::int64_t last = writes.back().nanoseconds - writes.front().nanoseconds;
    QCOMPARE(dump.lastChange(), last);
    QCOMPARE(dump.times.back(), last + 1);
}

void TestVcd::linesAreXUntilTheirRegisterIsWritten()
{
    // Only data written: C1 is x in $dumpvars and never changes.
    const Dump dataOnly = readVcd(exported(Run().data(0x5A).after(100).data(0xA5).writes));
    QVERIFY2(dataOnly.error.empty(), dataOnly.error.c_str());
    QCOMPARE(dataOnly.valueAt("C1", 0), 'x');
    QCOMPARE(dataOnly.valueAt("C1", 1'000), 'x');
    QCOMPARE(dataOnly.valueAt("D1", 0), '1');  // 0x5A
    QCOMPARE(dataOnly.valueAt("D0", 100), '1');  // 0xA5
    for (const Dump::Change& change : dataOnly.changes) {
        if (change.name == "C1")
            QVERIFY(change.inDumpvars && change.value == 'x');
    }

    // Control first: the data lines are x until data is written at 50 ns.
    const Dump controlFirst = readVcd(exported(Run().control(2).after(50).data(0x01).writes));
    QVERIFY2(controlFirst.error.empty(), controlFirst.error.c_str());
    QCOMPARE(controlFirst.valueAt("C1", 0), '1');
    for (std::size_t line = 0; line < 8; ++line) {
        QCOMPARE(controlFirst.valueAt(lineNames[line], 0), 'x');
        QCOMPARE(controlFirst.valueAt(lineNames[line], 49), 'x');
        QCOMPARE(controlFirst.valueAt(lineNames[line], 50), line == 0 ? '1' : '0');
    }
    QCOMPARE(controlFirst.times, (std::vector<std::int64_t>{0, 50, 51}));
}

void TestVcd::writesAtTheSameTimeFold()
{
    const std::vector<Write> writes =
        Run().data(0x01).data(0x02).control(0).after(10).data(0x03).control(2).data(0x80).control(2).writes;
    const Dump dump = readVcd(exported(writes));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.times, (std::vector<std::int64_t>{0, 10, 11}));
    compareWithRun(dump, writes);
    // At 10 ns only what differs from 0x02 / C1 0 in the end: D1 falls,
    // D7 rises, C1 rises; each once.
    std::vector<std::string> changedAt10;
    for (const Dump::Change& change : dump.changes) {
        if (change.time == 10)
            changedAt10.push_back(change.name + change.value);
    }
    QCOMPARE(changedAt10, (std::vector<std::string>{"D10", "D71", "C11"}));
}

void TestVcd::onlyChangesAreEmitted()
{
    // Rewriting the same value, or a control value with the same bit 1,
    // gives no time at all: only the closing one after the last write.
    const Dump same = readVcd(exported(
        Run().data(0x55).control(0).after(5).data(0x55).after(2).control(0).after(2).control(1).after(2).data(0x55).writes));
    QVERIFY2(same.error.empty(), same.error.c_str());
    QCOMPARE(same.times, (std::vector<std::int64_t>{0, 12}));

    // In the known run every change outside $dumpvars is a real one, and
    // $dumpvars gives each line once.
    const Dump dump = readVcd(exported(knownRun()));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    std::map<std::string, char> value;
    std::map<std::string, int> inDumpvars;
    for (const Dump::Change& change : dump.changes) {
        if (change.inDumpvars) {
            ++inDumpvars[change.name];
        } else {
            QVERIFY2(value.at(change.name) != change.value,
                     qPrintable(QStringLiteral("%1 rewritten with its value at %2 ns")
                                    .arg(QString::fromStdString(change.name))
                                    .arg(change.time)));
        }
        value[change.name] = change.value;
    }
    QCOMPARE(inDumpvars.size(), lineCount);
    for (const auto& [name, count] : inDumpvars)
        QCOMPARE(count, 1);
}

void TestVcd::timesStrictlyIncrease()
{
    const Dump dump = readVcd(exported(knownRun()));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.times.front(), std::int64_t{0});
    for (std::size_t index = 1; index < dump.times.size(); ++index)
        QVERIFY(dump.times[index] > dump.times[index - 1]);

    // A time going backwards (steady_clock never does) joins the time
    // before it instead of repeating or reversing it.
    const Dump backwards = readVcd(exported(
        Run().data(0x01).after(100).data(0x02).after(-50).data(0x03).after(150).data(0x04).writes));
    QVERIFY2(backwards.error.empty(), backwards.error.c_str());
    QCOMPARE(backwards.times, (std::vector<std::int64_t>{0, 100, 200, 201}));
    QCOMPARE(backwards.valueAt("D0", 100), '1');  // 0x03
    QCOMPARE(backwards.valueAt("D1", 100), '1');
    QCOMPARE(backwards.valueAt("D2", 200), '1');  // 0x04
}

void TestVcd::otherAddressesAreIgnored()
{
    const std::vector<Write> writes = Run()
                                          .out(port::backend::statusPort, 0xFF)
                                          .after(1'000)
                                          .data(0x0F)
                                          .after(5)
                                          .out(port::backend::statusPort, 0x00)
                                          .out(0x278, 0x00)
                                          .after(15)
                                          .data(0xF0)
                                          .writes;
    const Dump dump = readVcd(exported(writes));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    // Time 0 is the first data write; the other writes give no times.
    QCOMPARE(dump.times, (std::vector<std::int64_t>{0, 20, 21}));
    QCOMPARE(dump.valueAt("D0", 0), '1');
    QCOMPARE(dump.valueAt("D7", 20), '1');
    QCOMPARE(dump.valueAt("C1", 20), 'x');
}

void TestVcd::emptyListGivesAValidFile()
{
    const std::string text = exported({});
    const Dump dump = readVcd(text);
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.vars.size(), lineCount);
    QCOMPARE(dump.times, std::vector<std::int64_t>{0});
    QCOMPARE(dump.changes.size(), lineCount);
    for (const Dump::Change& change : dump.changes)
        QVERIFY(change.inDumpvars && change.value == 'x');
}

void TestVcd::failedStreamReturnsFalse()
{
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    QVERIFY(!port::record::writeVcd(bad, knownRun()));
    QVERIFY(bad.str().empty());

    // A buffer refusing everything, one refusing within the header, and one
    // refusing deep into the value changes or at the very last byte.
    std::vector<Write> writes;
    for (std::int64_t copy = 0; copy < 1'000; ++copy) {
        for (Write write : knownRun()) {
            write.nanoseconds += copy * 10'000'000;
            writes.push_back(write);
        }
    }
    const std::size_t whole = exported(writes).size();
    QVERIFY(whole > 4 * 65'536);  // several of the writer's 64 KiB blocks
    for (const std::size_t capacity : {std::size_t{0}, std::size_t{100}, whole / 2, whole - 1}) {
        RefusingBuffer buffer(capacity);
        std::ostream out(&buffer);
        QVERIFY2(!port::record::writeVcd(out, writes), qPrintable(QStringLiteral("capacity %1").arg(capacity)));
        QVERIFY(!out);
    }

    // The same run into a buffer with room is written.
    RefusingBuffer roomy(std::size_t{1} << 24);
    std::ostream out(&roomy);
    QVERIFY(port::record::writeVcd(out, knownRun()));
    QCOMPARE(roomy.taken, exported(knownRun()).size());
}

// The summary against the file itself, as this test's reader sees it: the
// changes it counts are the ones in the file, and its first and last times
// span the file's times.
void TestVcd::summarySaysWhatTheFileHolds_data()
{
    QTest::addColumn<std::vector<Write>>("writes");
    QTest::addColumn<bool>("anyWrite");  // to dataPort or controlPort

    QTest::newRow("three cycles and STOP")    << knownRun() << true;
    QTest::newRow("no writes")                << std::vector<Write>{} << false;
    QTest::newRow("only other registers")     << Run().out(port::backend::statusPort, 0xFF).after(10).out(0x278, 1).writes
                                              << false;
    QTest::newRow("one write")                << Run().data(0x60).writes << true;
    QTest::newRow("rewrites change nothing")  << Run().data(0x55).after(5).data(0x55).after(5).control(1).writes
                                              << true;
    QTest::newRow("same-time writes fold")    << Run().data(0x01).data(0x02).after(10).data(0x03).control(2).writes
                                              << true;
    QTest::newRow("time going backwards")     << Run().data(0x01).after(100).data(0x02).after(-50).data(0x03).writes
                                              << true;
    QTest::newRow("other register first")     << Run().out(port::backend::statusPort, 0).after(1'000).data(0x0F).after(20)
                                                     .data(0xF0).after(30).out(port::backend::statusPort, 1).writes
                                              << true;
}

void TestVcd::summarySaysWhatTheFileHolds()
{
    QFETCH(std::vector<Write>, writes);
    QFETCH(bool, anyWrite);

    std::ostringstream out;
    const port::record::VcdSummary summary = port::record::writeVcd(out, writes);
    QVERIFY(summary.written);
    const Dump dump = readVcd(out.str());
    QVERIFY2(dump.error.empty(), dump.error.c_str());

    const auto changes = std::count_if(dump.changes.begin(), dump.changes.end(),
                                       [](const Dump::Change& change) { return !change.inDumpvars; });
    QCOMPARE(summary.changes, static_cast<std::uint64_t>(changes));
    QCOMPARE(summary.firstWrite.has_value(), anyWrite);
    QCOMPARE(summary.lastWrite.has_value(), anyWrite);
    if (!anyWrite)
        return;
    QCOMPARE(*summary.firstWrite, originOf(writes));
    QCOMPARE(summary.tick, dump.tick());
    // The file's last change is the last write that changed a line; the
    // summary's last write is at or after it, and no later than any write;
    // the file closes a unit after it.
    QVERIFY(*summary.lastWrite - *summary.firstWrite >= dump.lastChange());
    std::int64_t latest = *summary.firstWrite;
    for (const Write& write : writes) {
        if (write.address == dataPort || write.address == controlPort)
            latest = std::max(latest, write.nanoseconds);
    }
    QCOMPARE(*summary.lastWrite, latest);
    QCOMPARE(dump.times.back(), *summary.lastWrite - *summary.firstWrite + 1);
}

void TestVcd::progressReachesTheEnd()
{
    const std::vector<Write> writes = thirtyHertz(3);
    std::vector<std::size_t> done;
    std::ostringstream out;
    QVERIFY(port::record::writeVcd(out, writes, {}, [&](std::size_t part, std::size_t total) {
        QCOMPARE(total, writes.size());
        done.push_back(part);
    }));
    QVERIFY(done.size() >= writes.size() / 8192);  // enough to move a bar along
    QVERIFY(std::is_sorted(done.begin(), done.end()));
    QCOMPARE(done.back(), writes.size());
}

void TestVcd::fullRecordHasATimeForEveryChange()
{
    // A record as the program keeps it, wrapped around once over: the
    // export sees its 262 144 newest writes, index not starting at 0.
    port::record::WriteRecord record(port::record::RecordedPort::programCapacity);
    std::int64_t time = start;
    for (std::size_t write = 0; write < record.capacity() + 12'345; write += 2) {
        const ExpectedStep& step = expectedStep(write / 2);
        record.add(time, dataPort, step.data);
        time += 40;
        record.add(time, controlPort, step.control);
        time += 1'000 + static_cast<std::int64_t>(write % 7);
    }
    const std::vector<Write> writes = record.snapshot(record.capacity());
    QCOMPARE(writes.size(), port::record::RecordedPort::programCapacity);

    std::ostringstream out;
    const port::record::VcdSummary summary = port::record::writeVcd(out, writes);
    QVERIFY(summary);
    qInfo("%zu writes exported to %zu bytes", writes.size(), out.str().size());
    const Dump dump = readVcd(out.str());
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    // 137 ms of writes: 10 ns units, finer than the 40 ns between a step's
    // data and control.
    QCOMPARE(dump.tick(), std::int64_t{10});
    for (std::size_t index = 1; index < dump.times.size(); ++index)
        QVERIFY(dump.times[index] > dump.times[index - 1]);

    // The file has time 0, then one time for each write that changed a
    // line, no more, no less, and the closing time.
    std::vector<std::int64_t> changing{0};
    int data = -1, control1 = -1;
    for (std::size_t index = 0; index < writes.size(); ++index) {
        const Write& write = writes[index];
        const int before = data * 2 + control1;
        if (write.address == dataPort)
            data = write.value;
        else
            control1 = write.value >> 1 & 1;
        if (index != 0 && data * 2 + control1 != before)
            changing.push_back((write.nanoseconds - writes.front().nanoseconds) / dump.tick());
    }
    changing.push_back((writes.back().nanoseconds - writes.front().nanoseconds) / dump.tick() + 1);
    QCOMPARE(dump.times, changing);
}

// The unit is the finest power of ten that keeps the dump within 10^8 of
// them: two writes span apart, the second at its time in units, then the
// closing time.
void TestVcd::timescaleFollowsTheLength_data()
{
    QTest::addColumn<qint64>("span");
    QTest::addColumn<QString>("timescale");
    QTest::addColumn<qint64>("unitsApart");

    QTest::newRow("one write")                  << qint64(0)                 << "1 ns"   << qint64(0);
    QTest::newRow("a step at full speed")       << qint64(100)               << "1 ns"   << qint64(100);
    QTest::newRow("0.1 s")                      << qint64(100'000'000)       << "1 ns"   << qint64(100'000'000);
    QTest::newRow("just over 0.1 s")            << qint64(100'000'001)       << "10 ns"  << qint64(10'000'000);
    QTest::newRow("30 s")                       << qint64(30'000'000'000)    << "1 us"   << qint64(30'000'000);
    QTest::newRow("100 s")                      << qint64(100'000'000'000)   << "1 us"   << qint64(100'000'000);
    QTest::newRow("the record at 30 Hz, 312 s") << qint64(312'000'000'000)   << "10 us"  << qint64(31'200'000);
    QTest::newRow("the record at 1 Hz, 2.6 h")  << qint64(9'362'000'000'000) << "100 us" << qint64(93'620'000);
}

void TestVcd::timescaleFollowsTheLength()
{
    QFETCH(qint64, span);
    QFETCH(QString, timescale);
    QFETCH(qint64, unitsApart);
    Run run;
    run.data(0x60);
    if (span > 0)
        run.after(span).data(0x99);
    const Dump dump = readVcd(exported(run.writes));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(QString::fromStdString(dump.header.at("timescale")), timescale);
    const std::vector<std::int64_t> times =
        span > 0 ? std::vector<std::int64_t>{0, unitsApart, unitsApart + 1} : std::vector<std::int64_t>{0, 1};
    QCOMPARE(dump.times, times);
}

// In a 30 s dump (1 µs units) a run ended at once writes the idle pair
// right after a step: each register written twice within one unit. The
// step keeps its unit, the idle pair goes one on; three data writes in one
// unit take three; a write far enough behind has its own time again.
void TestVcd::writesCloserThanAUnitStayApart()
{
    constexpr std::int64_t unit = 1'000;
    const std::int64_t end = 30'000'000'000;
    Run run;
    run.data(0x60).control(0);
    run.at(start + end).data(0x99).after(300).control(2);
    run.after(100).data(port::pattern::idleData).after(50).control(port::pattern::idleControl);
    run.at(start + end + 5 * unit).data(0x01).after(10).data(0x02).after(10).data(0x04);
    run.at(start + end + 20 * unit).data(0x80);
    const Dump dump = readVcd(exported(run.writes));
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.tick(), unit);

    const std::int64_t last = end / unit;
    QCOMPARE(dump.times, (std::vector<std::int64_t>{0, last, last + 1, last + 5, last + 6, last + 7, last + 20,
                                                    last + 21}));
    QCOMPARE(dump.valueAt("D0", last), '1');  // 0x99 and C1 high: the last step
    QCOMPARE(dump.valueAt("C1", last), '1');
    QCOMPARE(dump.valueAt("D0", last + 1), '0');  // the idle pair
    QCOMPARE(dump.valueAt("D7", last + 1), '0');
    QCOMPARE(dump.valueAt("C1", last + 1), '1');
    QCOMPARE(dump.valueAt("D0", last + 5), '1');
    QCOMPARE(dump.valueAt("D1", last + 6), '1');
    QCOMPARE(dump.valueAt("D2", last + 7), '1');
    QCOMPARE(dump.valueAt("D7", last + 20), '1');
}

// sigrok (PulseView's reader) makes one sample of each unit: a 30 s run at
// 30 Hz must come back whole, every step at its time, and STOP's idle pair
// last, held up to the closing time.
void TestVcd::sigrokReadsAThirtySecondRun()
{
#if !defined(FC_SIGROK_CLI)
    QSKIP("sigrok-cli not found when configuring: install Debian's sigrok-cli and reconfigure to check that "
          "sigrok reads the export");
#else
    const std::vector<Write> writes = thirtyHertz(30);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString vcd = dir.filePath("run.vcd");
    const QString back = dir.filePath("sigrok.vcd");
    {
        std::ofstream file(QFile::encodeName(vcd).constData(), std::ios::binary);
        QVERIFY(port::record::writeVcd(file, writes, "read by sigrok-cli in tst_vcd"));
    }
    QElapsedTimer timer;
    timer.start();
    QString why;
    QVERIFY2(runTool(QStringLiteral(FC_SIGROK_CLI),
                     {QStringLiteral("-I"), QStringLiteral("vcd"), QStringLiteral("-i"), vcd, QStringLiteral("-O"),
                      QStringLiteral("vcd"), QStringLiteral("-o"), back},
                     why),
             qPrintable(why));
    qInfo("sigrok-cli read and wrote it back in %lld ms", static_cast<long long>(timer.elapsed()));

    const Dump ours = readVcd(readFile(vcd));
    const Dump dump = readVcd(readFile(back), Source::sigrok);
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.tick(), std::int64_t{1'000});
    QCOMPARE(dump.tick(), ours.tick());
    QCOMPARE(dump.names(), std::set<std::string>(lineNames.begin(), lineNames.end()));
    compareWithRun(dump, writes, Unknown::either);
    // Up to the closing time: the idle levels were read, not just their time.
    QCOMPARE(dump.times.back(), ours.times.back());
#endif
}

// KA from the keep-alive's own writes, within the run's span: its level
// before time 0 in $dumpvars, a toggle in the same unit as a step's write
// beside it, one after the run's last write left out; the other lines as
// without it.
void TestVcd::keepAliveIsALineOfItsOwn()
{
    const std::vector<Write> writes = Run().data(0x60).after(100).control(0).after(900).data(0x99).writes;
    constexpr std::uint16_t toggle = port::backend::keepAliveAddress;
    const std::vector<Write> toggles =
        Run(start - 50).out(toggle, 1).after(150).out(toggle, 0).after(700).out(toggle, 1).after(1'000).out(toggle, 0).writes;
    std::ostringstream out;
    QVERIFY(port::record::writeVcd(out, writes, {}, {}, &toggles));
    const Dump dump = readVcd(out.str());
    QVERIFY2(dump.error.empty(), dump.error.c_str());
    QCOMPARE(dump.vars.size(), lineCount + 1);
    QCOMPARE(dump.vars.back().name, std::string("KA"));
    const Dump without = readVcd(exported(writes));
    for (const std::string& line : lineNames)
        QCOMPARE(dump.byLine.at(line), without.byLine.at(line));
    QCOMPARE(dump.byLine.at("KA"), (std::vector<std::pair<std::int64_t, char>>{{0, '1'}, {100, '0'}, {800, '1'}}));
    QCOMPARE(dump.times, (std::vector<std::int64_t>{0, 100, 800, 1'000, 1'001}));
}

QTEST_GUILESS_MAIN(TestVcd)
#include "tst_vcd.moc"
