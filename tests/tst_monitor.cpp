// The monitor as the operator sees it: traces painted from known writes, zoom
// and pan, the time axis, the step text, polling only while shown, VCD export.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <cstdint>
#include <vector>

#include "app/monitorwindow.h"
#include "app/traceview.h"
#include "port/port.h"
#include "port/steppattern.h"
#include "port/writerecord.h"
#include "recordingfiledialog.h"
#include "recordingmessagebox.h"

using app::TraceView;

namespace {

constexpr std::int64_t start = 5'000'000'000;  // the record's first time, ns
constexpr std::int64_t stepTime = 10'000;      // ns between steps
constexpr std::int64_t cycleTime = stepTime * static_cast<std::int64_t>(port::stepsPerCycle);

// Writes count whole steps of the pattern from start, data then control 1 ns later.
void addSteps(port::WriteRecord& record, int count)
{
    for (int i = 0; i < count; ++i) {
        const auto& step = port::stepPattern[static_cast<std::size_t>(i) % port::stepsPerCycle];
        const std::int64_t t = start + i * stepTime;
        record.add(t, port::dataPort, step.data);
        record.add(t + 1, port::controlPort, step.control);
    }
}

// An 800 x 400 view of count whole steps written from start.
void showSteps(TraceView& view, int count)
{
    port::WriteRecord record;
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

    void windowHasNamedControls();
    void pollsOnlyWhileShown();
    void writesLostWhileHiddenLeaveNoGap();
    void exportWritesVcd();
    void exportCancelledWritesNothing();
    void exportFailureShowsOneBox();
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
}

void TestMonitor::paintsLevels()
{
    QFETCH(qint64, time);
    QFETCH(int, line);
    QFETCH(int, level);

    port::WriteRecord record(16);
    record.add(start, port::dataPort, 0x01);
    record.add(start + 500'000, port::controlPort, 0x02);
    record.add(start + 1'000'000, port::dataPort, 0x00);
    record.add(start + 2'000'000, port::dataPort, 0x00);

    TraceView view;
    view.resize(800, 400);
    view.setWrites(record.snapshot(16));
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
    showSteps(view, int(port::WriteRecord::defaultCapacity / 2));
    QCOMPARE(view.writes().size(), port::WriteRecord::defaultCapacity);
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
    port::WriteRecord record;
    addSteps(record, int(port::stepsPerCycle) * 3 + 4);
    TraceView view;
    view.resize(800, 400);
    QVERIFY(view.following());
    view.appendWrites(record.snapshot(record.capacity()));
    QCOMPARE(view.timeRange().end - view.timeRange().begin, 2 * cycleTime);
    // New writes move the view along.
    const auto end = view.timeRange().end;
    record.add(start + 10 * cycleTime, port::dataPort, 0x99);
    std::uint64_t next = record.total() - 1;
    view.appendWrites(record.since(next, 16, next));
    QVERIFY(view.timeRange().end > end);
    QVERIFY(view.following());
}

// A full view drops its oldest writes as new ones come; a paused view must
// keep showing the same times at the same places, ticks included.
void TestMonitor::pausedAxisStaysWhenOldestWritesFallOut()
{
    port::WriteRecord record;
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
        record.add(t, port::dataPort, 0);
        record.add(t + 1, port::controlPort, 2);
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

    QTest::newRow("tenth ms") << qint64(300'000) << qint64(100'000) << QStringLiteral("0.3 ms");
    QTest::newRow("whole ms") << qint64(2'000'000) << qint64(1'000'000) << QStringLiteral("2 ms");
    QTest::newRow("half ms") << qint64(1'500'000) << qint64(500'000) << QStringLiteral("1.5 ms");
    QTest::newRow("zero") << qint64(0) << qint64(200'000) << QStringLiteral("0.0 ms");
    QTest::newRow("tens of us") << qint64(20'000) << qint64(10'000) << QStringLiteral("20 µs");
    QTest::newRow("half us") << qint64(1'500) << qint64(500) << QStringLiteral("1.5 µs");
    QTest::newRow("negative") << qint64(-50'000) << qint64(50'000) << QStringLiteral("-50 µs");
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
    QTest::newRow("mid cycle, control pending") << 19 << int(port::stepPattern[5].data) << -1
                                                << QStringLiteral("step 6 of 14");
    QTest::newRow("mid cycle, step complete") << 19 << -1 << -1 << QStringLiteral("step 5 of 14");
    QTest::newRow("cycle end") << 14 << -1 << -1 << QStringLiteral("step 14 of 14");
    QTest::newRow("idle after run") << 20 << 0x00 << 0x02 << QStringLiteral("idle");
    QTest::newRow("idle only") << 0 << 0x00 << 0x02 << QStringLiteral("idle");
    QTest::newRow("raw values") << 0 << 0x33 << 0x00 << QStringLiteral("data 0x33, control 0x00");
    QTest::newRow("control only") << 0 << -1 << 0x02 << QStringLiteral("data unknown, control 0x02");
}

void TestMonitor::currentStepText()
{
    QFETCH(int, steps);
    QFETCH(int, extraData);
    QFETCH(int, extraControl);
    QFETCH(QString, text);

    port::WriteRecord record(1024);
    addSteps(record, steps);
    const std::int64_t t = start + steps * stepTime;
    if (extraData >= 0)
        record.add(t, port::dataPort, std::uint8_t(extraData));
    if (extraControl >= 0)
        record.add(t + 1, port::controlPort, std::uint8_t(extraControl));
    TraceView view;
    view.setWrites(record.snapshot(record.capacity()));
    QCOMPARE(view.currentStepText(), text);
}

void TestMonitor::windowHasNamedControls()
{
    port::WriteRecord record(64);
    RecordingMessageBox box;
    RecordingFileDialog dialog;
    app::MonitorWindow window(record, box, dialog);
    QCOMPARE(window.objectName(), QStringLiteral("Monitor"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Monitor"));
    for (const char* name : {"TraceView", "CurrentStep", "FollowLive", "ExportVcd"})
        QVERIFY2(window.findChild<QWidget*>(QString::fromLatin1(name)), name);
}

// Hidden for longer than the record holds: the writes in between are gone, and
// the view must not join the old writes to the new as if nothing came between.
void TestMonitor::writesLostWhileHiddenLeaveNoGap()
{
    port::WriteRecord record(64);
    RecordingMessageBox box;
    RecordingFileDialog dialog;
    app::MonitorWindow window(record, box, dialog);
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
    port::WriteRecord record(1024);
    RecordingMessageBox box;
    RecordingFileDialog dialog;
    app::MonitorWindow window(record, box, dialog);
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

void TestMonitor::exportWritesVcd()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    port::WriteRecord record(1024);
    addSteps(record, 30);
    RecordingMessageBox box;
    RecordingFileDialog dialog;
    dialog.answer = directory.filePath(QStringLiteral("run.vcd"));
    app::MonitorWindow window(record, box, dialog);

    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("ExportVcd")), Qt::LeftButton);
    QCOMPARE(dialog.asked.size(), 1);
    QVERIFY(dialog.asked.front().startsWith(QStringLiteral("Export VCD | ")));
    QVERIFY(dialog.asked.front().contains(QStringLiteral("frequency-converter.vcd | ")));
    QVERIFY(dialog.asked.front().endsWith(QStringLiteral("Value change dump (*.vcd)")));
    QVERIFY(box.shown.isEmpty());

    QFile file(dialog.answer);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.startsWith("$"));
    QVERIFY(content.contains("$timescale"));
    QVERIFY(content.contains("$enddefinitions"));
    QCOMPARE(content.count("$var wire 1"), qsizetype(9));
}

void TestMonitor::exportCancelledWritesNothing()
{
    QTemporaryDir directory;
    port::WriteRecord record(64);
    addSteps(record, 3);
    RecordingMessageBox box;
    RecordingFileDialog dialog;  // empty answer: cancelled
    app::MonitorWindow window(record, box, dialog);
    window.exportVcd();
    QCOMPARE(dialog.asked.size(), 1);
    QVERIFY(box.shown.isEmpty());
    QVERIFY(QDir(directory.path()).entryList(QDir::Files).isEmpty());
}

void TestMonitor::exportFailureShowsOneBox()
{
    QTemporaryDir directory;
    port::WriteRecord record(64);
    addSteps(record, 3);
    RecordingMessageBox box;
    RecordingFileDialog dialog;
    dialog.answer = directory.filePath(QStringLiteral("missing/folder/run.vcd"));
    app::MonitorWindow window(record, box, dialog);
    window.exportVcd();
    QCOMPARE(box.shown.size(), 1);
    QVERIFY(box.shown.front().startsWith(QStringLiteral("Export VCD | ")));
    QVERIFY(box.shown.front().contains(QDir::toNativeSeparators(dialog.answer)));
    QVERIFY(!QFile::exists(dialog.answer));
}

QTEST_MAIN(TestMonitor)
#include "tst_monitor.moc"
