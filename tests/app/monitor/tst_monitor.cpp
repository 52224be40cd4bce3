// The monitor as the operator sees it: traces painted from known writes up
// to now, zoom and pan, the time axis counted from RUN, the step text, how
// much of the run is held, where the window opens, polling only while shown,
// VCD export off the window's thread and what it says, and STOP answering
// while an export ends during a run, with the program's real message box.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <sys/resource.h>

#include "app/monitor/monitorwindow.h"
#include "app/monitor/traceview.h"
#include "app/window/form1.h"
#include "app/window/modalmessagebox.h"
#include "app/window/placement.h"
#include "expectedpattern.h"
#include "port/backend/keepalivepin.h"
#include "port/backend/module1.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/record/writerecord.h"
#include "recordingfiledialog.h"
#include "recordingport.h"

using app::monitor::TraceView;

namespace {

constexpr std::int64_t start = 5'000'000'000;  // the record's first time, ns
constexpr std::int64_t stepTime = 10'000;      // ns between steps
constexpr std::int64_t cycleTime = stepTime * static_cast<std::int64_t>(port::pattern::stepsPerCycle);

// Writes count whole steps of the pattern, one every `every` ns from `from`,
// data then control 1 ns later; the first is step firstStep of the cycle.
void addSteps(port::record::WriteRecord& record, int count, std::int64_t from = start, std::int64_t every = stepTime,
              int firstStep = 0)
{
    for (int i = 0; i < count; ++i) {
        const ExpectedStep& step = expectedStep(static_cast<std::size_t>(firstStep + i));
        const std::int64_t t = from + i * every;
        record.add(t, port::backend::dataPort, step.data);
        record.add(t + 1, port::backend::controlPort, step.control);
    }
}

// STOP's writes at `at`.
void addIdle(port::record::WriteRecord& record, std::int64_t at)
{
    record.add(at, port::backend::dataPort, port::pattern::idleData);
    record.add(at + 1, port::backend::controlPort, port::pattern::idleControl);
}

std::int64_t newestTime(const port::record::WriteRecord& record)
{
    return record.snapshot(1).front().nanoseconds;
}

// Time 0 of a following view: its right edge is now.
std::int64_t timeZero(const TraceView& view)
{
    return view.present() - view.timeRange().end;
}

// An axis label back to ns ("30.5002 s", "-50 µs"), read digit by digit so
// that a label rounded or cut short does not read as its tick's time.
std::optional<qint64> labelTime(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^(-?)(\\d+)(?:\\.(\\d+))? (µs|ms|s)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString unit = match.captured(4);
    qint64 scale = unit == QStringLiteral("s") ? 1'000'000'000 : unit == QStringLiteral("ms") ? 1'000'000 : 1'000;
    qint64 value = match.captured(2).toLongLong() * scale;
    for (const QChar digit : match.captured(3)) {
        scale /= 10;
        if (scale == 0)
            return std::nullopt;
        value += digit.digitValue() * scale;
    }
    return match.captured(1).isEmpty() ? value : -value;
}

// The value changes of a dump after its $dumpvars, counted from the file.
int changesInDump(const QByteArray& content)
{
    const QByteArray body = content.mid(content.indexOf("$dumpvars"));
    int changes = 0;
    bool inDumpvars = true;
    for (const QByteArray& line : body.split('\n')) {
        if (line == "$end")
            inDumpvars = false;
        else if (!inDumpvars && !line.isEmpty() && QByteArray("01xz").contains(line.front()))
            ++changes;
    }
    return changes;
}

// 1234 as "1 234" (no-break space), the way messages group counts.
QString grouped(int count)
{
    QString text = QString::number(count);
    if (count >= 1000)
        text.insert(text.size() - 3, QChar(0x00A0));
    return text;
}

// How long a test waits for what must come before it calls it lost.
constexpr int giveUpMilliseconds = 20'000;
constexpr auto giveUp = std::chrono::milliseconds(giveUpMilliseconds);

// A window over record with a clock the test sets.
struct Watched {
    explicit Watched(const port::record::WriteRecord& record) : window(record, dialog)
    {
        window.setClock([this] { return now; });
    }

    RecordingFileDialog dialog;
    app::monitor::MonitorWindow window;
    std::int64_t now = 0;
};

QString exportNote(const app::monitor::MonitorWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("ExportNote"))->text();
}

// Exports and waits for the outcome; what the monitor then says.
QString exported(app::monitor::MonitorWindow& window)
{
    window.exportVcd();
    if (!QTest::qWaitFor([&] { return !window.exporting(); }, giveUpMilliseconds))
        return QStringLiteral("no outcome within the give-up");
    return exportNote(window);
}

// A file system that hangs: the export's writing holds, having reported
// 40 %, until released (or the give-up), then writes as the program does.
class HeldSaver
{
public:
    app::monitor::MonitorWindow::DumpSaver saver()
    {
        return [this](const QString& path, const std::vector<port::record::WriteRecord::Write>& writes,
                      const std::string& comment, const port::record::VcdProgress& progress,
                      const std::vector<port::record::WriteRecord::Write>* keepAlive) {
            progress(2, 5);
            {
                std::unique_lock lock(mutex_);
                held_ = true;
                released_.wait_for(lock, giveUp, [this] { return release_; });
                held_ = false;
            }
            auto saved = app::monitor::MonitorWindow::saveDump(path, writes, comment, progress, keepAlive);
            finished_.store(true);
            return saved;
        };
    }
    bool held()
    {
        std::lock_guard lock(mutex_);
        return held_;
    }
    void release()
    {
        std::lock_guard lock(mutex_);
        release_ = true;
        released_.notify_all();
    }
    // The writing thread is done with this saver.
    bool finished() const { return finished_.load(); }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    bool release_ = false;
    std::atomic<bool> finished_{false};
};

// Closes, and notes, any modal window that opens: a modal box of the
// monitor's would hold the window while a run is alive, and the test then
// fails instead of waiting for a press.
class ModalWatch : public QObject
{
public:
    ModalWatch()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                const auto* box = qobject_cast<QMessageBox*>(modal);
                seen.append(modal->windowTitle() + QStringLiteral(" | ") + (box ? box->text() : QString()));
                QTest::keyClick(modal, Qt::Key_Escape);
            }
        });
        timer_.start(10);
    }
    QStringList seen;

private:
    QTimer timer_;
};

// An 800 x 400 view of count whole steps written from start.
void showSteps(TraceView& view, int count)
{
    port::record::WriteRecord record;
    addSteps(record, count);
    view.resize(800, 400);
    view.setWrites(record.snapshot(record.capacity()));
}

void sendMouse(QWidget& widget, QEvent::Type type, int x, Qt::MouseButtons buttons)
{
    const QPointF pos(x, widget.height() / 2);
    QMouseEvent event(type, pos, widget.mapToGlobal(pos), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT

private slots:
    void paintsLevels_data();
    void paintsLevels();
    void manyWritesPaintWithinRange();
    void mapsTimeAndPixels();
    void wheelZoomKeepsTimeUnderCursor();
    void dragPansAndDoubleClickFollows();
    void followShowsTwoCycles();
    void pausedAxisStaysWhenOldestWritesFallOut();
    void tickStep_data();
    void tickStep();
    void tickLabel_data();
    void tickLabel();
    void currentStepText_data();
    void currentStepText();

    void lastLevelsReachThePresent_data();
    void lastLevelsReachThePresent();
    void nothingIsDrawnAfterThePresent();
    void timeZeroIsTheNewestRunsFirstWrite_data();
    void timeZeroIsTheNewestRunsFirstWrite();
    void pausedViewKeepsItsTimeZeroWhenARunStarts();
    void runStartOutlivesItsWrite();
    void axisLabelsStayInsideThePlot_data();
    void axisLabelsStayInsideThePlot();
    void recordSpanText_data();
    void recordSpanText();

    void init();
    void windowHasNamedControls();
    void besideRect_data();
    void besideRect();
    void showBesideLeavesTheMainWindowFree();
    void pollsOnlyWhileShown();
    void writesLostWhileHiddenLeaveNoGap();
    void fullSpeedAxisRunsOnWithTheRun();
    void startLostWhileHiddenIsNotClaimed_data();
    void startLostWhileHiddenIsNotClaimed();
    void exportWritesVcd();
    void exportConfirms_data();
    void exportConfirms();
    void exportStartsInTheLastFolder();
    void exportCancelledWritesNothing();
    void exportFailureSaysWhy_data();
    void exportFailureSaysWhy();
    void exportRunsOffTheWindowThread();
    void windowGoneWhileExporting();
    void leastSizeHoldsTheMonitor();
    void stopWorksWhileAnExportEndsInARun_data();
    void stopWorksWhileAnExportEndsInARun();
    void shortPath_data();
    void shortPath();

private:
    QTemporaryDir home_;
    std::unique_ptr<QTemporaryDir> settings_;
};

// D0 high from 0 to 1 ms, D1 always low, C1 unknown until 0.5 ms then high.
void TestMonitor::paintsLevels_data()
{
    QTest::addColumn<qint64>("time");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("level");  // 1 high, 0 low, -1 unknown

    QTest::newRow("D0 high early") << qint64(250'000) << 0 << 1;
    QTest::newRow("D0 low late") << qint64(1'500'000) << 0 << 0;
    QTest::newRow("D1 low early") << qint64(250'000) << 1 << 0;
    QTest::newRow("D7 low late") << qint64(1'500'000) << 7 << 0;
    QTest::newRow("C1 unknown early") << qint64(250'000) << int(TraceView::controlLine) << -1;
    QTest::newRow("C1 high late") << qint64(750'000) << int(TraceView::controlLine) << 1;
    QTest::newRow("C1 stays high") << qint64(1'800'000) << int(TraceView::controlLine) << 1;
    QTest::newRow("KA unknown before its first toggle") << qint64(250'000) << int(TraceView::keepAliveLine) << -1;
    QTest::newRow("KA set") << qint64(750'000) << int(TraceView::keepAliveLine) << 1;
    QTest::newRow("KA clear late") << qint64(1'500'000) << int(TraceView::keepAliveLine) << 0;
}

void TestMonitor::paintsLevels()
{
    QFETCH(qint64, time);
    QFETCH(int, line);
    QFETCH(int, level);

    port::record::WriteRecord record(16);
    record.add(start, port::backend::dataPort, 0x01);
    record.add(start + 500'000, port::backend::controlPort, 0x02);
    record.add(start + 1'000'000, port::backend::dataPort, 0x00);
    record.add(start + 2'000'000, port::backend::dataPort, 0x00);

    TraceView view;
    view.resize(800, 400);
    view.setWrites(record.snapshot(16));
    view.setKeepAlive({{start + 300'000, port::backend::keepAliveAddress, 1, 0},
                       {start + 1'200'000, port::backend::keepAliveAddress, 0, 1}});
    view.setTimeRange(0, 2'000'000);
    QImage image(view.size(), QImage::Format_RGB32);
    view.render(&image);
    QVERIFY(view.framesPainted() >= 1);

    const int x = qRound(view.xForTime(time));
    const QRect row = view.traceRect(line);
    const QRgb colour = TraceView::traceColor(line).rgb();
    const bool top = image.pixel(x, row.top()) == colour;
    const bool bottom = image.pixel(x, row.bottom()) == colour;
    QCOMPARE(top, level == 1);
    QCOMPARE(bottom, level == 0);
}

// 2^16 writes zoomed out: every column busy, levels still drawn, nothing outside the plot.
void TestMonitor::manyWritesPaintWithinRange()
{
    TraceView view;
    showSteps(view, int(port::record::WriteRecord::defaultCapacity / 2));
    QCOMPARE(view.writes().size(), port::record::WriteRecord::defaultCapacity);
    const auto range = view.timeRange();
    view.setTimeRange(0, range.end * 100);
    QImage image(view.size(), QImage::Format_RGB32);
    view.render(&image);
    const QRect row = view.traceRect(0);
    const int x = qRound(view.xForTime(cycleTime * 100));
    QCOMPARE(image.pixel(x, row.center().y()), TraceView::traceColor(0).rgb());
}

void TestMonitor::mapsTimeAndPixels()
{
    TraceView view;
    showSteps(view, 200);
    view.setTimeRange(100'000, 1'100'000);
    QVERIFY(!view.following());
    QCOMPARE(view.timeRange().begin, 100'000);
    QCOMPARE(view.timeRange().end, 1'100'000);
    QCOMPARE(view.xForTime(100'000), double(view.plotRect().left()));
    for (double x : {40.0, 123.5, 400.0, 791.0})
        QVERIFY(qAbs(view.xForTime(qint64(view.timeForX(x))) - x) < 0.01);
}

void TestMonitor::wheelZoomKeepsTimeUnderCursor()
{
    TraceView view;
    showSteps(view, 1000);
    view.setTimeRange(2'000'000, 4'000'000);

    for (int delta : {120, 120, -120, -360}) {
        const QPointF pos(300, 200);
        const double before = view.timeForX(pos.x());
        const auto span = view.timeRange().end - view.timeRange().begin;
        QWheelEvent wheel(pos, view.mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&view, &wheel);
        const auto zoomed = view.timeRange().end - view.timeRange().begin;
        QVERIFY2(delta > 0 ? zoomed < span : zoomed > span, qPrintable(QString::number(delta)));
        QVERIFY(qAbs(view.timeForX(pos.x()) - before) <= 1.0);
    }
}

void TestMonitor::dragPansAndDoubleClickFollows()
{
    TraceView view;
    showSteps(view, 1000);
    view.setTimeRange(4'000'000, 5'000'000);
    const double nsPerPixel = 1'000'000.0 / view.plotRect().width();

    sendMouse(view, QEvent::MouseButtonPress, 400, Qt::LeftButton);
    sendMouse(view, QEvent::MouseMove, 300, Qt::LeftButton);
    sendMouse(view, QEvent::MouseButtonRelease, 300, Qt::NoButton);
    // Dragging left by 100 px shows later times.
    QVERIFY(qAbs(view.timeRange().begin - (4'000'000 + 100 * nsPerPixel)) <= 1.0);
    QCOMPARE(view.timeRange().end - view.timeRange().begin, 1'000'000);
    QVERIFY(!view.following());

    sendMouse(view, QEvent::MouseButtonDblClick, 300, Qt::LeftButton);
    QVERIFY(view.following());
    const auto& writes = view.writes();
    QCOMPARE(view.timeRange().end, writes.back().nanoseconds - writes.front().nanoseconds);
}

void TestMonitor::followShowsTwoCycles()
{
    port::record::WriteRecord record;
    addSteps(record, int(port::pattern::stepsPerCycle) * 3 + 4);
    TraceView view;
    view.resize(800, 400);
    QVERIFY(view.following());
    view.appendWrites(record.snapshot(record.capacity()));
    QCOMPARE(view.timeRange().end - view.timeRange().begin, 2 * cycleTime);
    // New writes move the view along.
    const auto end = view.timeRange().end;
    record.add(start + 10 * cycleTime, port::backend::dataPort, 0x99);
    std::uint64_t next = record.total() - 1;
    view.appendWrites(record.since(next, 16, next));
    QVERIFY(view.timeRange().end > end);
    QVERIFY(view.following());
}

// A full view drops its oldest writes as new ones come; a paused view must
// keep showing the same times at the same places, ticks included.
void TestMonitor::pausedAxisStaysWhenOldestWritesFallOut()
{
    port::record::WriteRecord record;
    addSteps(record, 100);
    TraceView view;
    view.resize(800, 400);
    view.setCapacity(64);
    std::uint64_t next = 0;
    view.appendWrites(record.since(next, record.capacity(), next));
    view.setTimeRange(900'000, 950'000);
    const auto range = view.timeRange();
    const double x = view.xForTime(920'000);
    QImage before(view.size(), QImage::Format_RGB32);
    view.render(&before);

    const std::int64_t oldestBefore = view.writes().front().nanoseconds;
    for (int i = 100; i < 120; ++i) {
        const std::int64_t t = start + i * stepTime;
        record.add(t, port::backend::dataPort, 0);
        record.add(t + 1, port::backend::controlPort, 2);
    }
    view.appendWrites(record.since(next, record.capacity(), next));
    QVERIFY(view.writes().front().nanoseconds > oldestBefore);
    QCOMPARE(view.timeRange().begin, range.begin);
    QCOMPARE(view.timeRange().end, range.end);
    QCOMPARE(view.xForTime(920'000), x);
    QImage after(view.size(), QImage::Format_RGB32);
    view.render(&after);
    QCOMPARE(after, before);
}

void TestMonitor::tickStep_data()
{
    QTest::addColumn<qint64>("span");
    QTest::addColumn<int>("width");
    QTest::addColumn<qint64>("step");

    QTest::newRow("1 ms over 800 px") << qint64(1'000'000) << 800 << qint64(100'000);
    QTest::newRow("3 ms over 800 px") << qint64(3'000'000) << 800 << qint64(500'000);
    QTest::newRow("1.5 ms over 800 px") << qint64(1'500'000) << 800 << qint64(200'000);
    QTest::newRow("10 ms over 800 px") << qint64(10'000'000) << 800 << qint64(1'000'000);
    QTest::newRow("1 us over 800 px") << qint64(1'000) << 800 << qint64(100);
    QTest::newRow("1 ms over 100 px") << qint64(1'000'000) << 100 << qint64(1'000'000);
}

void TestMonitor::tickStep()
{
    QFETCH(qint64, span);
    QFETCH(int, width);
    QFETCH(qint64, step);
    QCOMPARE(TraceView::tickStep(span, width), step);
}

void TestMonitor::tickLabel_data()
{
    QTest::addColumn<qint64>("time");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<QString>("label");

    // µs below 1 ms, ms from 1 ms, s from 1 s
    QTest::newRow("below 1 ms")              << qint64(300'000)           << qint64(100'000)     << QStringLiteral("300 µs");
    QTest::newRow("whole ms")                << qint64(2'000'000)         << qint64(1'000'000)   << QStringLiteral("2 ms");
    QTest::newRow("half ms")                 << qint64(1'500'000)         << qint64(500'000)     << QStringLiteral("1.5 ms");
    QTest::newRow("1 ms at 1 µs steps")      << qint64(1'001'000)         << qint64(1'000)       << QStringLiteral("1.001 ms");
    QTest::newRow("zero at 200 µs steps")    << qint64(0)                 << qint64(200'000)     << QStringLiteral("0 µs");
    QTest::newRow("zero at 1 s steps")       << qint64(0)                 << qint64(1'000'000'000) << QStringLiteral("0 s");
    QTest::newRow("tens of µs")              << qint64(20'000)            << qint64(10'000)      << QStringLiteral("20 µs");
    QTest::newRow("half µs")                 << qint64(1'500)             << qint64(500)         << QStringLiteral("1.5 µs");
    QTest::newRow("tenth µs")                << qint64(100)               << qint64(100)         << QStringLiteral("0.1 µs");
    QTest::newRow("negative")                << qint64(-50'000)           << qint64(50'000)      << QStringLiteral("-50 µs");
    QTest::newRow("30.5 s")                  << qint64(30'500'000'000)    << qint64(500'000'000) << QStringLiteral("30.5 s");
    // no exponent, no rounding of a long label
    QTest::newRow("30.5 s at 200 µs steps")  << qint64(30'500'200'000)    << qint64(200'000)     << QStringLiteral("30.5002 s");
    QTest::newRow("an hour at 100 ns steps") << qint64(3'600'000'000'100) << qint64(100)         << QStringLiteral("3600.0000001 s");
}

void TestMonitor::tickLabel()
{
    QFETCH(qint64, time);
    QFETCH(qint64, step);
    QFETCH(QString, label);
    QCOMPARE(TraceView::tickLabel(time, step), label);
}

void TestMonitor::currentStepText_data()
{
    QTest::addColumn<int>("steps");      // whole steps of the pattern written
    QTest::addColumn<int>("extraData");  // then one more data write, -1 = none
    QTest::addColumn<int>("extraControl");
    QTest::addColumn<QString>("text");

    QTest::newRow("nothing") << 0 << -1 << -1 << QString();
    QTest::newRow("mid cycle, control pending") << 19 << int(expectedSteps[5].data) << -1
                                                << QStringLiteral("step 6 of 14");
    QTest::newRow("idle after run") << 20 << 0x00 << 0x02 << QStringLiteral("idle");
    QTest::newRow("raw values") << 0 << 0x33 << 0x00 << QStringLiteral("data 0x33, control 0x00");
    QTest::newRow("control only") << 0 << -1 << 0x02 << QStringLiteral("data unknown, control 0x02");
}

void TestMonitor::currentStepText()
{
    QFETCH(int, steps);
    QFETCH(int, extraData);
    QFETCH(int, extraControl);
    QFETCH(QString, text);

    port::record::WriteRecord record(1024);
    addSteps(record, steps);
    const std::int64_t t = start + steps * stepTime;
    if (extraData >= 0)
        record.add(t, port::backend::dataPort, std::uint8_t(extraData));
    if (extraControl >= 0)
        record.add(t + 1, port::backend::controlPort, std::uint8_t(extraControl));
    TraceView view;
    view.setWrites(record.snapshot(record.capacity()));
    QCOMPARE(view.currentStepText(), text);
}

void TestMonitor::windowHasNamedControls()
{
    port::record::WriteRecord record(64);
    RecordingFileDialog dialog;
    app::monitor::MonitorWindow window(record, dialog);
    QCOMPARE(window.objectName(), QStringLiteral("Monitor"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Monitor"));
    for (const char* name : {"TraceView", "CurrentStep", "RecordSpan", "FollowLive", "ExportVcd"})
        QVERIFY2(window.findChild<QWidget*>(QString::fromLatin1(name)), name);
}

// Following a run, and after STOP: the traces reach now at the levels the
// last writes left, and the view ends at now, not at the last write.
void TestMonitor::lastLevelsReachThePresent_data()
{
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("data");     // the levels expected up to now
    QTest::addColumn<int>("control");

    const ExpectedStep& last = expectedStep(29);
    QTest::newRow("run under way") << false << int(last.data) << int(last.control);
    QTest::newRow("after STOP")    << true  << int(port::pattern::idleData) << int(port::pattern::idleControl);
}

void TestMonitor::lastLevelsReachThePresent()
{
    QFETCH(bool, stopped);
    QFETCH(int, data);
    QFETCH(int, control);

    port::record::WriteRecord record(1024);
    addSteps(record, 30);
    if (stopped)
        addIdle(record, start + 30 * stepTime);
    TraceView view;
    view.resize(800, 400);
    view.appendWrites(record.snapshot(record.capacity()));
    // Three cycles on: the two cycles a following view shows are all after
    // the last write.
    const std::int64_t now = newestTime(record) + 3 * cycleTime;
    view.setPresent(now);
    QVERIFY(view.following());
    QCOMPARE(view.timeRange().end, now - start);

    QImage image(view.size(), QImage::Format_RGB32);
    view.render(&image);
    for (int line = 0; line < TraceView::lineCount; ++line) {
        const bool high = line == TraceView::controlLine
            ? port::pattern::isHigh(std::uint8_t(control), port::pattern::controlLine)
            : port::pattern::isHigh(std::uint8_t(data), std::size_t(line));
        const QRect row = view.traceRect(line);
        const int y = high ? row.top() : row.bottom();
        for (int x : {view.plotRect().left() + 2, view.plotRect().center().x(), view.plotRect().right() - 1})
            QVERIFY2(image.pixel(x, y) == TraceView::traceColor(line).rgb(),
                     qPrintable(QStringLiteral("line %1 at x %2").arg(line).arg(x)));
    }
}

// What comes after now is not known yet: a view reaching past it shows nothing there.
void TestMonitor::nothingIsDrawnAfterThePresent()
{
    port::record::WriteRecord record(1024);
    addSteps(record, 30);
    addIdle(record, start + 30 * stepTime);
    TraceView view;
    view.resize(800, 400);
    view.setWrites(record.snapshot(record.capacity()));
    const std::int64_t now = newestTime(record) + cycleTime;
    view.setPresent(now);
    view.setTimeRange(now - start - cycleTime, now - start + cycleTime);  // now in the middle

    QImage image(view.size(), QImage::Format_RGB32);
    view.render(&image);
    const int nowX = qRound(view.xForTime(now - start));
    for (int line = 0; line < TraceView::lineCount; ++line) {
        const QRect row = view.traceRect(line);
        const QRgb colour = TraceView::traceColor(line).rgb();
        const bool high = line == TraceView::controlLine;  // idle: C1 high, D0..D7 low
        QCOMPARE(image.pixel(nowX - 3, high ? row.top() : row.bottom()), colour);
        for (int x = nowX + 2; x <= view.plotRect().right(); x += 7) {
            for (int y = row.top(); y <= row.bottom(); ++y)
                QVERIFY2(image.pixel(x, y) != colour, qPrintable(QStringLiteral("line %1 at x %2").arg(line).arg(x)));
        }
    }
}

// Earlier runs, each ended by STOP, stay in the record; the axis counts
// from the first write of the newest.
void TestMonitor::timeZeroIsTheNewestRunsFirstWrite_data()
{
    QTest::addColumn<int>("earlierRuns");
    QTest::newRow("one run")                 << 0;
    QTest::newRow("after an earlier run")    << 1;
}

void TestMonitor::timeZeroIsTheNewestRunsFirstWrite()
{
    QFETCH(int, earlierRuns);

    port::record::WriteRecord record(4096);
    std::int64_t t = start;
    for (int run = 0; run < earlierRuns; ++run) {
        addSteps(record, 20, t);
        addIdle(record, t + 20 * stepTime);
        t += 20 * stepTime + 1'000'000;  // a millisecond idle before the next RUN
    }
    addSteps(record, 20, t);
    TraceView view;
    view.resize(800, 400);
    view.appendWrites(record.snapshot(record.capacity()));
    view.setPresent(newestTime(record) + 100);

    QCOMPARE(timeZero(view), t);
    QCOMPARE(view.runWrites().size(), std::size_t{40});
}

// Looking back at a run while a new one starts: the times on screen stay;
// following again counts from the new RUN.
void TestMonitor::pausedViewKeepsItsTimeZeroWhenARunStarts()
{
    port::record::WriteRecord record(4096);
    addSteps(record, 40);
    TraceView view;
    view.resize(800, 400);
    std::uint64_t next = 0;
    view.appendWrites(record.since(next, record.capacity(), next));
    view.setTimeRange(100'000, 200'000);
    const double x = view.xForTime(150'000);

    const std::int64_t second = start + 40 * stepTime + 5'000'000;
    addIdle(record, start + 40 * stepTime);
    addSteps(record, 20, second);
    view.appendWrites(record.since(next, record.capacity(), next));
    QCOMPARE(view.timeRange().begin, 100'000);
    QCOMPARE(view.xForTime(150'000), x);

    view.followLive();
    QCOMPARE(timeZero(view), second);
}

// A long run in a small record: its first write falls out, its time 0 stays.
void TestMonitor::runStartOutlivesItsWrite()
{
    port::record::WriteRecord record(4096);
    TraceView view;
    view.resize(800, 400);
    view.setCapacity(64);
    std::uint64_t next = 0;
    for (int batch = 0; batch < 20; ++batch) {
        addSteps(record, 10, start + batch * 10 * stepTime, stepTime, batch * 10);
        view.appendWrites(record.since(next, record.capacity(), next));
        view.setPresent(newestTime(record) + 1);
        QCOMPARE(timeZero(view), start);
    }
    QVERIFY(view.writes().front().nanoseconds > start);
    QVERIFY(view.run()->startSeen);
    QCOMPARE(view.run()->start, start);
}

// Late in a run the labels are long: they must not crowd, be cut at the
// right edge, or lose the digits that tell them apart.
void TestMonitor::axisLabelsStayInsideThePlot_data()
{
    QTest::addColumn<qint64>("at");    // the view's left edge, after RUN
    QTest::addColumn<qint64>("span");
    QTest::addColumn<int>("width");

    QTest::newRow("first 2 ms")               << qint64(0)                 << qint64(2'000'000)  << 800;
    QTest::newRow("30.5 s in, 2 ms")          << qint64(30'500'000'000)    << qint64(2'000'000)  << 800;
    QTest::newRow("30.5 s in, 2 ms, narrow")  << qint64(30'500'000'000)    << qint64(2'000'000)  << 300;
    QTest::newRow("30.5 s in, 66 ms")         << qint64(30'499'990'000)    << qint64(66'000'000) << 800;
    QTest::newRow("an hour in, 1 µs")         << qint64(3'600'000'000'000) << qint64(1'000)      << 800;
    QTest::newRow("an hour in, 1 µs, narrow") << qint64(3'600'000'000'000) << qint64(1'000)      << 300;
    QTest::newRow("an hour in, 1 µs, wide")   << qint64(3'600'000'000'000) << qint64(1'000)      << 900;
    QTest::newRow("just under 1 ms")          << qint64(600'000)           << qint64(500'000)    << 800;
    QTest::newRow("a tick at the right edge") << qint64(30'498'000'001)    << qint64(2'000'000)  << 800;
}

void TestMonitor::axisLabelsStayInsideThePlot()
{
    QFETCH(qint64, at);
    QFETCH(qint64, span);
    QFETCH(int, width);

    port::record::WriteRecord record(1024);
    addSteps(record, 1);                                       // RUN
    addSteps(record, 20, start + at, span / 10 + 1, 1);        // the run goes on
    TraceView view;
    view.resize(width, 300);
    view.setWrites(record.snapshot(record.capacity()));
    view.setTimeRange(at, at + span);

    const auto labels = view.axisLabels();
    QVERIFY2(labels.size() >= 2, qPrintable(QString::number(labels.size())));
    const QRect plot = view.plotRect();
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const auto& label = labels[i];
        const QString what = label.text;
        QVERIFY2(label.rect.left() >= 0 && label.rect.right() <= plot.right(), qPrintable(what));
        QVERIFY2(label.rect.top() > plot.bottom(), qPrintable(what));
        QVERIFY2(label.rect.width() >= view.fontMetrics().horizontalAdvance(label.text), qPrintable(what));
        QCOMPARE(labelTime(label.text), std::optional<qint64>(label.time));
        QVERIFY2(label.time >= at && label.time < at + span, qPrintable(what));
        if (i > 0)
            QVERIFY2(label.rect.left() > labels[i - 1].rect.right(), qPrintable(what));
        // Every tick labelled: evenly apart, but for a last one left out
        // where it would not fit at the edge.
        if (i > 1 && i + 1 < labels.size())
            QCOMPARE(label.time - labels[i - 1].time, labels[1].time - labels[0].time);
    }

    // On screen: nothing of the labels right of the plot.
    QImage image(view.size(), QImage::Format_RGB32);
    view.render(&image);
    for (int x = plot.right() + 1; x < image.width(); ++x) {
        for (int y = plot.bottom() + 2; y < image.height(); ++y)
            QVERIFY2(image.pixel(x, y) == TraceView::backgroundColor().rgb(),
                     qPrintable(QStringLiteral("ink at %1, %2").arg(x).arg(y)));
    }
}

// Steps every `every` ns from start, STOP after them or not; the view takes
// the record from write `skip` on (opened late) and holds `capacity` writes.
void TestMonitor::recordSpanText_data()
{
    QTest::addColumn<int>("steps");
    QTest::addColumn<qint64>("every");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("skip");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QString>("text");

    constexpr qint64 ms10 = 10'000'000;
    QTest::newRow("nothing written")        << 0    << ms10 << false << 0  << 4096 << QStringLiteral("nothing written yet");
    QTest::newRow("STOP while idle")        << 0    << ms10 << true  << 0  << 4096 << QStringLiteral("no run held");
    // 320 steps of 10 ms: 3.2 s to now, 10 ms after the last step
    QTest::newRow("whole run under way")    << 320  << ms10 << false << 0  << 4096 << QStringLiteral("the whole run, 3.2 s");
    // STOP at 3.2 s, now 10 ms later: the run is 3.2 s long whatever the time now
    QTest::newRow("whole run, stopped")     << 320  << ms10 << true  << 0  << 4096 << QStringLiteral("the whole run, 3.2 s");
    // 64 writes held: steps 968..999, from 9.68 s to now at 10.0 s
    QTest::newRow("start no longer held")   << 1000 << ms10 << false << 0  << 64
                                            << QStringLiteral("showing the last 320 ms of the run");
    QTest::newRow("stopped, start dropped") << 1000 << ms10 << true  << 0  << 64
                                            << QStringLiteral("showing the last 310 ms of the run");
    // taken from write 50 on (step 25, 250 ms) to now at 1.0 s
    QTest::newRow("opened mid-run")         << 100  << ms10 << false << 50 << 4096
                                            << QStringLiteral("showing the last 750 ms of the run; its start was not "
                                                              "seen, time 0 is the first write seen");
    QTest::newRow("only STOP's pair held")  << 100  << ms10 << true  << 0  << 2    << QStringLiteral("no run held");
}

void TestMonitor::recordSpanText()
{
    QFETCH(int, steps);
    QFETCH(qint64, every);
    QFETCH(bool, stopped);
    QFETCH(int, skip);
    QFETCH(int, capacity);
    QFETCH(QString, text);

    port::record::WriteRecord record(4096);
    addSteps(record, steps, start, every);
    if (stopped)
        addIdle(record, start + steps * every);
    auto writes = record.snapshot(record.capacity());
    writes.erase(writes.begin(), writes.begin() + std::min<std::ptrdiff_t>(skip, std::ssize(writes)));
    TraceView view;
    view.setCapacity(std::size_t(capacity));
    view.appendWrites(writes);
    view.setPresent(start + std::max(steps, 1) * every);
    QCOMPARE(view.recordSpanText(), text);
}

void TestMonitor::init()
{
    // Each test starts with no folder remembered.
    settings_ = std::make_unique<QTemporaryDir>();
    QVERIFY(settings_->isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_->path());
    QVERIFY(home_.isValid());
    qputenv("HOME", QFile::encodeName(home_.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home_.filePath(QStringLiteral(".config"))));
}

void TestMonitor::besideRect_data()
{
    QTest::addColumn<QRect>("main");
    QTest::addColumn<QSize>("monitor");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("placed");

    const QRect fullHd(0, 0, 1920, 1040);
    const QRect laptop(0, 0, 1366, 738);
    const QSize wanted(800, 480);
    QTest::newRow("room on the right")        << QRect(100, 100, 400, 300) << wanted << fullHd
                                              << QRect(500, 100, 800, 480);
    QTest::newRow("no room right: left")      << QRect(1200, 100, 600, 400) << wanted << fullHd
                                              << QRect(400, 100, 800, 480);
    QTest::newRow("neither side: below")      << QRect(500, 50, 900, 300) << wanted << fullHd
                                              << QRect(500, 350, 800, 480);
    QTest::newRow("low down: moved up")       << QRect(100, 800, 400, 200) << wanted << fullHd
                                              << QRect(500, 560, 800, 480);
    QTest::newRow("taller than the screen")   << QRect(100, 100, 400, 300) << QSize(800, 1200) << fullHd
                                              << QRect(500, 0, 800, 1040);
    QTest::newRow("no full room: shrunk")     << QRect(0, 0, 700, 600) << wanted << laptop
                                              << QRect(700, 0, 666, 480);
    QTest::newRow("shrunk: roomier side")     << QRect(560, 0, 300, 600) << wanted << laptop
                                              << QRect(0, 0, 560, 480);
    QTest::newRow("second screen")            << QRect(2000, 100, 400, 300) << wanted << QRect(1920, 0, 1920, 1040)
                                              << QRect(2400, 100, 800, 480);
    QTest::newRow("panel on the left")        << QRect(1300, 100, 600, 300) << wanted << QRect(48, 0, 1872, 1080)
                                              << QRect(500, 100, 800, 480);
    // The main window as it opens on a 1280 x 800 screen under a 30 px
    // panel: 475 x 466 and its frame.
    const QRect small(0, 0, 1280, 770);
    QTest::newRow("1280 x 800, top left")     << QRect(0, 0, 478, 497) << wanted << small
                                              << QRect(478, 0, 800, 480);
    QTest::newRow("1280 x 800, centred: shrunk beside")
                                              << QRect(401, 137, 478, 497) << wanted << small
                                              << QRect(879, 137, 401, 480);
    QTest::newRow("only above: shrunk there") << QRect(0, 400, 1280, 370) << wanted << small
                                              << QRect(0, 0, 800, 400);
    QTest::newRow("room too small all round") << QRect(50, 50, 700, 500) << wanted << QRect(0, 0, 800, 600)
                                              << QRect(440, 300, 360, 300);
    QTest::newRow("maximised")                << fullHd << wanted << fullHd << QRect(1560, 740, 360, 300);
}

void TestMonitor::besideRect()
{
    QFETCH(QRect, main);
    QFETCH(QSize, monitor);
    QFETCH(QRect, available);
    QFETCH(QRect, placed);

    const QSize least = app::monitor::MonitorWindow::leastSize;
    const QRect beside = app::window::besideRect(main, monitor, least, available);
    QCOMPARE(beside, placed);
    QVERIFY(available.contains(beside));
    // Over the main window only where it leaves no room of the least size:
    // then in the corner farthest from its controls.
    const bool roomSomewhere = available.right() - main.right() >= least.width()
        || main.left() - available.left() >= least.width() || available.bottom() - main.bottom() >= least.height()
        || main.top() - available.top() >= least.height();
    QCOMPARE(beside.intersects(main), !roomSomewhere);
    QVERIFY(beside.width() >= std::min(least.width(), available.width()));
    QVERIFY(beside.height() >= std::min(least.height(), available.height()));
}

// The monitor must not open over the main window's RUN, STOP and EXIT; once
// the operator has put it somewhere, opening it again leaves it there.
void TestMonitor::showBesideLeavesTheMainWindowFree()
{
    QWidget main;
    main.resize(300, 200);
    main.move(10, 10);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    port::record::WriteRecord record(64);
    Watched watched(record);
    app::monitor::MonitorWindow& monitor = watched.window;
    monitor.resize(450, 300);  // fits to the right on the 800 x 600 offscreen screen

    monitor.showBeside(main);
    QVERIFY(QTest::qWaitForWindowExposed(&monitor));
    QVERIFY(!monitor.frameGeometry().intersects(main.frameGeometry()));
    QVERIFY(main.screen()->availableGeometry().contains(monitor.frameGeometry()));
    QCOMPARE(monitor.size(), QSize(450, 300));

    monitor.hide();
    monitor.move(5, 250);
    monitor.showBeside(main);
    QCOMPARE(monitor.pos(), QPoint(5, 250));
}

// Hidden for longer than the record holds: the writes in between are gone, and
// the view must not join the old writes to the new as if nothing came between.
void TestMonitor::writesLostWhileHiddenLeaveNoGap()
{
    port::record::WriteRecord record(64);
    RecordingFileDialog dialog;
    app::monitor::MonitorWindow window(record, dialog);
    // Room for more than the record holds, as when a read racing the writer
    // skips the oldest slots: old writes would otherwise stay beside the gap.
    window.view()->setCapacity(1024);
    window.show();
    addSteps(record, 10);
    window.refresh();
    window.hide();
    addSteps(record, 100);  // 200 writes, 64 held
    window.show();
    const auto& writes = window.view()->writes();
    QCOMPARE(writes.size(), std::size_t{64});
    QCOMPARE(writes.back().index, record.total() - 1);
    for (std::size_t i = 1; i < writes.size(); ++i)
        QCOMPARE(writes[i].index, writes[i - 1].index + 1);
}

void TestMonitor::pollsOnlyWhileShown()
{
    port::record::WriteRecord record(1024);
    RecordingFileDialog dialog;
    app::monitor::MonitorWindow window(record, dialog);
    QVERIFY(!window.polling());

    window.show();
    QVERIFY(window.polling());
    addSteps(record, 6);
    window.refresh();
    QCOMPARE(window.view()->writes().size(), std::size_t{12});
    auto* label = window.findChild<QLabel*>(QStringLiteral("CurrentStep"));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("step 6 of 14"));
    // The follow button returns a zoomed view to the newest writes.
    window.view()->setTimeRange(0, 5'000);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("FollowLive")), Qt::LeftButton);
    QVERIFY(window.view()->following());

    window.hide();
    QVERIFY(!window.polling());
    window.show();
    QVERIFY(window.polling());
    window.close();
    QVERIFY(!window.polling());
    // Nothing drained twice across hide and show.
    QCOMPARE(window.view()->writes().size(), std::size_t{12});
}

// At full speed the writer outruns every read: each refresh finds only the
// newest writes. The run goes on all the same, and so does its time axis.
void TestMonitor::fullSpeedAxisRunsOnWithTheRun()
{
    port::record::WriteRecord record(256);
    Watched watched(record);
    const TraceView& view = *watched.window.view();
    watched.now = start - 1'000'000;
    watched.window.refresh();  // nothing written yet: the port is idle

    constexpr int stepsPerRefresh = 500;  // 1000 writes: the record holds 256
    constexpr std::int64_t every = 100;
    std::optional<std::int64_t> zero;
    std::int64_t end = 0;
    for (int refresh = 0; refresh < 6; ++refresh) {
        const std::int64_t from = start + refresh * stepsPerRefresh * every;
        addSteps(record, stepsPerRefresh, from, every, refresh * stepsPerRefresh);
        watched.now = from + stepsPerRefresh * every;
        watched.window.refresh();
        QCOMPARE(view.writes().size(), std::size_t{256});
        if (!zero)
            zero = view.writes().front().nanoseconds;
        QCOMPARE(timeZero(view), *zero);
        QVERIFY(view.timeRange().end > end);
        end = view.timeRange().end;
    }
    QVERIFY(!view.run()->startSeen);
    const auto* span = watched.window.findChild<QLabel*>(QStringLiteral("RecordSpan"));
    // The record holds 128 steps of 100 ns, 12.8 µs; the port was seen idle
    // 1 ms before the 0.3 ms of the run: it began at most 1.3 ms ago.
    QCOMPARE(span->text(),
             QStringLiteral("showing the last 13 µs of the run, at most 1.3 ms long; time 0 is the first write seen"));
}

// Hidden while STOP and a new RUN came, longer than the record holds: the
// monitor cannot know where that run began, and must not claim it.
void TestMonitor::startLostWhileHiddenIsNotClaimed_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QString>("text");

    QTest::newRow("record held it all") << 4096 << QStringLiteral("the whole run, 2.0 ms");
    QTest::newRow("writes lost")        << 64
                                        << QStringLiteral("showing the last 320 µs of the run; its start was not seen, "
                                                          "time 0 is the first write seen");
}

void TestMonitor::startLostWhileHiddenIsNotClaimed()
{
    QFETCH(int, capacity);
    QFETCH(QString, text);

    port::record::WriteRecord record{std::size_t(capacity)};
    Watched watched(record);
    watched.now = start - 1;
    watched.window.show();
    addSteps(record, 10);
    watched.now = start + 10 * stepTime;
    watched.window.refresh();
    watched.window.hide();

    const std::int64_t second = start + 1'000'000;
    addIdle(record, start + 10 * stepTime);
    addSteps(record, 200, second);
    watched.now = second + 200 * stepTime;
    watched.window.show();
    QCOMPARE(watched.window.findChild<QLabel*>(QStringLiteral("RecordSpan"))->text(), text);
}

void TestMonitor::exportWritesVcd()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    port::record::WriteRecord record(1024);
    addSteps(record, 30);
    port::record::WriteRecord keepAlive(16);
    keepAlive.add(start + 5, port::backend::keepAliveAddress, 1);
    RecordingFileDialog dialog;
    dialog.answer = directory.filePath(QStringLiteral("run.vcd"));
    app::monitor::MonitorWindow window(record, dialog);
    window.setKeepAliveRecord(keepAlive);

    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("ExportVcd")), Qt::LeftButton);
    QCOMPARE(dialog.asked.size(), 1);
    QVERIFY(dialog.asked.front().startsWith(QStringLiteral("Export VCD | ")));
    QVERIFY(dialog.asked.front().contains(QStringLiteral("frequency-converter.vcd | ")));
    QVERIFY(dialog.asked.front().endsWith(QStringLiteral("Value change dump (*.vcd)")));
    QTRY_VERIFY_WITH_TIMEOUT(!window.exporting(), giveUpMilliseconds);
    QVERIFY2(exportNote(window).startsWith(QStringLiteral("Wrote the whole run")), qPrintable(exportNote(window)));

    QFile file(dialog.answer);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.startsWith("$"));
    QVERIFY(content.contains("$timescale"));
    QVERIFY(content.contains("$enddefinitions"));
    QCOMPARE(content.count("$var wire 1"), qsizetype(10));
    QVERIFY(content.contains("$var wire 1 j KA $end"));
}

// What the confirmation says, checked against the file: its length, its
// changes, where it went, and how much of the run's start is missing.
void TestMonitor::exportConfirms_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("steps");         // every 10 µs from start
    QTest::addColumn<int>("refreshEvery");  // steps; 0: the monitor first reads at export
    QTest::addColumn<bool>("watchedIdle");  // it read the empty record before RUN
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<QString>("message");   // %changes and %path from the file

    QTest::newRow("whole run under way")  << 1024 << 30  << 0 << false << false
        << QStringLiteral("Wrote the whole run, 290 µs, %changes changes, to %path.");
    QTest::newRow("whole run, stopped")   << 1024 << 30  << 0 << false << true
        << QStringLiteral("Wrote the whole run, 300 µs, %changes changes, to %path.");
    QTest::newRow("thousands of changes") << 4096 << 700 << 0 << false << false
        << QStringLiteral("Wrote the whole run, 7.0 ms, %changes changes, to %path.");
    // 64 writes held: steps 68..99
    QTest::newRow("start no longer held") << 64   << 100 << 5 << false << false
        << QStringLiteral("Wrote 310 µs of the run, %changes changes, to %path. "
                          "The first 680 µs of the run are no longer held.");
    QTest::newRow("start not seen")       << 64   << 100 << 0 << false << false
        << QStringLiteral("Wrote 310 µs of the run, %changes changes, to %path. The start of the run was not seen.");
    // read 1 ms before RUN, idle; the file begins 680 µs after RUN
    QTest::newRow("start lost, bounded")  << 64   << 100 << 0 << true  << false
        << QStringLiteral("Wrote 310 µs of the run, %changes changes, to %path. "
                          "The start of the run was not seen: the file begins at most 1.7 ms after it.");
    QTest::newRow("nothing written")      << 64   << 0   << 0 << false << false
        << QStringLiteral("Wrote an empty dump to %path: nothing has been written to the port yet.");
}

void TestMonitor::exportConfirms()
{
    QFETCH(int, capacity);
    QFETCH(int, steps);
    QFETCH(int, refreshEvery);
    QFETCH(bool, watchedIdle);
    QFETCH(bool, stopped);
    QFETCH(QString, message);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    port::record::WriteRecord record{std::size_t(capacity)};
    Watched watched(record);
    watched.dialog.answer = directory.filePath(QStringLiteral("run.vcd"));
    if (watchedIdle) {
        watched.now = start - 1'000'000;
        watched.window.refresh();
    }
    for (int done = 0; done < steps;) {
        const int count = refreshEvery > 0 ? std::min(refreshEvery, steps - done) : steps;
        addSteps(record, count, start + done * stepTime, stepTime, done);
        done += count;
        watched.now = start + done * stepTime;
        if (refreshEvery > 0)
            watched.window.refresh();
    }
    if (stopped)
        addIdle(record, start + steps * stepTime);
    watched.now = start + steps * stepTime + 2;

    const QString note = exported(watched.window);
    QFile file(watched.dialog.answer);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString expected = QString(message)
              .replace(QStringLiteral("%changes"), grouped(changesInDump(file.readAll())))
              .replace(QStringLiteral("%path"), app::monitor::MonitorWindow::shortPath(watched.dialog.answer, QDir::homePath()));
    QCOMPARE(note, expected);
}

// The dialog opens where the last export went, while that folder exists;
// otherwise in the operator's documents where they exist, else at home,
// never in the program's working folder.
void TestMonitor::exportStartsInTheLastFolder()
{
    const QDir home(home_.path());
    QVERIFY(home.mkpath(QStringLiteral("Documents")));
    const QString documents = home.filePath(QStringLiteral("Documents"));
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString chosen = QDir(elsewhere.path()).filePath(QStringLiteral("runs"));
    QVERIFY(QDir().mkpath(chosen));
    const auto folderAsked = [](const RecordingFileDialog& dialog) {
        return QFileInfo(dialog.asked.last().section(QStringLiteral(" | "), 1, 1)).absolutePath();
    };

    port::record::WriteRecord record(64);
    addSteps(record, 3);
    {
        Watched watched(record);
        watched.dialog.answer = QDir(chosen).filePath(QStringLiteral("first.vcd"));
        exported(watched.window);
        QCOMPARE(folderAsked(watched.dialog), documents);
        exported(watched.window);
        QCOMPARE(folderAsked(watched.dialog), chosen);
    }
    {
        Watched again(record);  // the program started anew
        again.window.exportVcd();
        QCOMPARE(folderAsked(again.dialog), chosen);
        QVERIFY(QDir(chosen).removeRecursively());
        again.window.exportVcd();
        QCOMPARE(folderAsked(again.dialog), documents);
        QVERIFY(QDir(documents).removeRecursively());
        again.window.exportVcd();
        QCOMPARE(folderAsked(again.dialog), QDir::cleanPath(home_.path()));
    }
}

// Cancelled, the dialog's suggestion in a fresh home is not written either.
void TestMonitor::exportCancelledWritesNothing()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    qputenv("HOME", QFile::encodeName(directory.path()));
    port::record::WriteRecord record(64);
    addSteps(record, 3);
    RecordingFileDialog dialog;  // empty answer: cancelled
    app::monitor::MonitorWindow window(record, dialog);
    window.exportVcd();
    QCOMPARE(dialog.asked.size(), 1);
    QVERIFY2(dialog.asked[0].contains(directory.path()), qPrintable(dialog.asked[0]));
    QVERIFY(!window.exporting());
    QCOMPARE(exportNote(window), QString());
    QVERIFY(QDir(directory.path()).entryList(QDir::Files).isEmpty());
}

// A file that cannot be written says why, in the system's words, and leaves
// what was there as it was: nothing half written, no temporary file left.
void TestMonitor::exportFailureSaysWhy_data()
{
    QTest::addColumn<QString>("target");        // in a fresh folder; ending in / a folder there
    QTest::addColumn<bool>("oldFile");          // a file there already
    QTest::addColumn<qint64>("fileSizeLimit");  // RLIMIT_FSIZE for the export; 0: none
    QTest::addColumn<QString>("reason");

    QTest::newRow("no such folder")      << "missing/run.vcd" << false << qint64(0) << "No such file or directory";
    QTest::newRow("a folder in the way") << "run.vcd/"        << false << qint64(0) << "Filename refers to a directory";
    QTest::newRow("file too large midway, old file kept")
                                         << "run.vcd"         << true  << qint64(64 * 1024) << "File too large";
}

void TestMonitor::exportFailureSaysWhy()
{
    QFETCH(QString, target);
    QFETCH(bool, oldFile);
    QFETCH(qint64, fileSizeLimit);
    QFETCH(QString, reason);

    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QDir folder(directory.path());
    const QString path = folder.filePath(target.chopped(target.endsWith(QLatin1Char('/')) ? 1 : 0));
    const QByteArray old("an earlier export\n");
    if (target.endsWith(QLatin1Char('/'))) {
        QVERIFY(folder.mkpath(path));
    } else if (oldFile) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old);
    }
    port::record::WriteRecord record(1 << 16);
    addSteps(record, 1 << 15);  // some 900 KB of dump
    Watched watched(record);
    watched.dialog.answer = path;

    rlimit before{};
    if (fileSizeLimit > 0) {
        // Past the limit a write fails with EFBIG, as on a full disk; the
        // signal that comes with it would end the test.
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        rlimit limited = before;
        limited.rlim_cur = rlim_t(fileSizeLimit);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    const QString note = exported(watched.window);
    if (fileSizeLimit > 0) {
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &before), 0);
        std::signal(SIGXFSZ, SIG_DFL);
    }

    QString expected = QStringLiteral("The file %1 could not be written: %2.")
                           .arg(QDir::toNativeSeparators(path), reason);
    if (oldFile)
        expected += QStringLiteral(" The file that was there is unchanged.");
    QCOMPARE(note, expected);
    QVERIFY(watched.window.findChild<QPushButton*>(QStringLiteral("ExportVcd"))->isEnabled());
    if (oldFile) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), old);
    }
    const bool somethingThere = oldFile || target.endsWith(QLatin1Char('/'));
    const QStringList left = folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QCOMPARE(left, somethingThere ? QStringList{QFileInfo(path).fileName()} : QStringList{});
}

// While the file system holds the writing, the monitor goes on: it follows
// the record, says how far the export has come and takes no second export;
// the outcome comes when the writing is done.
void TestMonitor::exportRunsOffTheWindowThread()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    port::record::WriteRecord record(1024);
    addSteps(record, 30);
    Watched watched(record);
    watched.dialog.answer = directory.filePath(QStringLiteral("run.vcd"));
    HeldSaver held;
    watched.window.setDumpSaver(held.saver());
    auto* button = watched.window.findChild<QPushButton*>(QStringLiteral("ExportVcd"));

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(watched.window.exporting());
    QVERIFY(!button->isEnabled());
    QCOMPARE(exportNote(watched.window), QStringLiteral("Exporting… 0 %"));
    QTRY_COMPARE_WITH_TIMEOUT(exportNote(watched.window), QStringLiteral("Exporting… 40 %"), giveUpMilliseconds);
    QVERIFY(held.held());

    addSteps(record, 10, start + 30 * stepTime, stepTime, 30);
    watched.window.refresh();
    QCOMPARE(watched.window.view()->writes().size(), std::size_t{80});
    watched.window.exportVcd();  // refused while one is under way
    QCOMPARE(watched.dialog.asked.size(), 1);

    held.release();
    QTRY_VERIFY_WITH_TIMEOUT(!watched.window.exporting(), giveUpMilliseconds);
    QVERIFY(button->isEnabled());
    QVERIFY2(exportNote(watched.window).startsWith(QStringLiteral("Wrote the whole run, 290 µs")),
             qPrintable(exportNote(watched.window)));
    QVERIFY(held.finished());
}

// Closed for good while the file system holds the writing: the window goes
// at once, without waiting for the writing; that ends on its own, whole,
// and its outcome goes nowhere.
void TestMonitor::windowGoneWhileExporting()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    port::record::WriteRecord record(1024);
    addSteps(record, 30);
    HeldSaver held;
    RecordingFileDialog dialog;
    dialog.answer = directory.filePath(QStringLiteral("run.vcd"));
    auto window = std::make_unique<app::monitor::MonitorWindow>(record, dialog);
    window->setDumpSaver(held.saver());
    window->exportVcd();
    QTRY_VERIFY_WITH_TIMEOUT(held.held(), giveUpMilliseconds);

    window.reset();
    QVERIFY(held.held());  // the window went while the writing was held
    held.release();
    QTRY_VERIFY_WITH_TIMEOUT(held.finished(), giveUpMilliseconds);
    QCoreApplication::processEvents();  // anything posted to the window is dropped
    QFile file(dialog.answer);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count("$var wire 1"), qsizetype(9));
}

// The monitor is never made smaller than it takes beside the main window,
// or its layout would grow it back over the main window.
void TestMonitor::leastSizeHoldsTheMonitor()
{
    port::record::WriteRecord record(64);
    RecordingFileDialog dialog;
    app::monitor::MonitorWindow window(record, dialog);
    const QSize least = window.minimumSizeHint();
    QVERIFY2(least.width() <= app::monitor::MonitorWindow::leastSize.width()
                 && least.height() <= app::monitor::MonitorWindow::leastSize.height(),
             qPrintable(QStringLiteral("%1 x %2").arg(least.width()).arg(least.height())));
}

// With a run alive, an export and its outcome leave STOP answering at once:
// no modal window of the monitor's in between. The window here has the
// program's own message box, and every click is a real one.
void TestMonitor::stopWorksWhileAnExportEndsInARun_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("written") << "run.vcd" << "Wrote the whole run";
    QTest::newRow("failed") << "missing/run.vcd" << "The file ";
}

void TestMonitor::stopWorksWhileAnExportEndsInARun()
{
    QFETCH(QString, target);
    QFETCH(QString, outcome);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    RecordingPort port;
    port::record::RecordedPort recorded(port);
    port::backend::Module1 module(recorded);
    app::window::ModalMessageBox box;
    RecordingFileDialog dialog;
    dialog.answer = QDir(directory.path()).filePath(target);
    app::window::Form1 form(box, dialog, module, recorded.record(), QStringLiteral("Port: recording"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    ModalWatch watch;

    // 900 rpm at 7.6 V/Hz from a 380 V motor: 30 Hz. The speed checks box
    // the demand while the rating is not filled in; those boxes are the
    // window's, and closed.
    for (const auto& [number, text] : {std::pair{1, "380"}, {6, "4"}, {7, "900"}, {8, "7.6"}, {9, "15"}})
        form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number))->setText(QString::fromLatin1(text));
    watch.seen.clear();
    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command2")), Qt::LeftButton);
    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(port.size() >= 4 * port::pattern::writesPerStep, giveUpMilliseconds);
    auto* runState = form.findChild<QLabel*>(QStringLiteral("RunState"));
    QVERIFY2(runState->text().startsWith(QStringLiteral("Running")), qPrintable(runState->text()));

    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("OpenMonitor")), Qt::LeftButton);
    app::monitor::MonitorWindow* monitor = form.monitor();
    QVERIFY(monitor);
    QVERIFY(QTest::qWaitForWindowExposed(monitor));
    QTest::mouseClick(monitor->findChild<QPushButton*>(QStringLiteral("ExportVcd")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(exportNote(*monitor).startsWith(outcome), giveUpMilliseconds);
    QVERIFY2(runState->text().startsWith(QStringLiteral("Running")), qPrintable(runState->text()));

    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command3")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(runState->text(), QStringLiteral("Stopped after the cycle under way"),
                              giveUpMilliseconds);
    const auto writes = port.writes();
    QCOMPARE(writes[writes.size() - 2].value, port::pattern::idleData);
    QCOMPARE(writes.back().value, port::pattern::idleControl);
    QVERIFY2(watch.seen.isEmpty(), qPrintable(watch.seen.join(QLatin1Char('\n'))));
}

void TestMonitor::shortPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("shown");

    QTest::newRow("in Documents")      << "/home/op/Documents/run.vcd" << "/home/op" << "~/Documents/run.vcd";
    QTest::newRow("outside home")      << "/tmp/run.vcd"               << "/home/op" << "/tmp/run.vcd";
    QTest::newRow("a home beside")     << "/home/op2/run.vcd"          << "/home/op" << "/home/op2/run.vcd";
    QTest::newRow("home with a slash") << "/home/op/run.vcd"           << "/home/op/" << "~/run.vcd";
    QTest::newRow("deep: folder and file")
        << "/home/op/projects/converter/bench/2024-05-01/long-runs/run.vcd" << "/home/op"
        << "…/long-runs/run.vcd";
    QTest::newRow("long but shallow")  << "/media/operator/USB-STICK-0123456789/run.vcd" << "/home/op"
                                       << "…/USB-STICK-0123456789/run.vcd";
    QTest::newRow("root as home")      << "/data/run.vcd"              << "/"        << "/data/run.vcd";
}

void TestMonitor::shortPath()
{
    QFETCH(QString, path);
    QFETCH(QString, home);
    QFETCH(QString, shown);
    QCOMPARE(app::monitor::MonitorWindow::shortPath(path, home), shown);
}

QTEST_MAIN(TestMonitor)
#include "tst_monitor.moc"
