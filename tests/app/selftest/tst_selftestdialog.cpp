// The self-test's result as the operator reads it: the figures in words, the
// timing and the verdict, the histograms painted from the bins, all of it
// readable at any size the dialog takes. Shown offscreen, never modal.
#include <QApplication>
#include <QDialogButtonBox>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <chrono>
#include <memory>

#include "app/selftest/latenesshistogram.h"
#include "app/selftest/selftestdialog.h"
#include "port/run/sequencer.h"
#include "port/selftest/timingselftest.h"
#include "selftestresult.h"

using namespace std::chrono_literals;

namespace {

port::selftest::RateTiming rateTiming(std::int64_t p50, std::int64_t p99, std::int64_t largest, std::int64_t stall)
{
    port::selftest::RateTiming timing;
    timing.stepLength = 71'500ns;
    timing.p50 = std::chrono::nanoseconds(p50);
    timing.p99 = std::chrono::nanoseconds(p99);
    timing.p999 = timing.p99;
    timing.largest = std::chrono::nanoseconds(largest);
    timing.largestStall = std::chrono::nanoseconds(stall);
    timing.cpuShare = 0.5;
    // most steps on time, a tail of later ones down to one step at the largest
    timing.bins[port::selftest::latenessBin(p50)] += 20'000;
    timing.bins[port::selftest::latenessBin(p99)] += 300;
    timing.bins[port::selftest::latenessBin(largest)] += 1;
    timing.steps = 20'301;
    return timing;
}

// The result of a self-test that ran, with the bins a histogram draws.
port::selftest::SelfTestResult measuredResult()
{
    port::selftest::SelfTestResult result = measuredSelfTestResult();
    result.slow = rateTiming(30, 8'820, 2'390'000, 2'400'000);
    result.slow.stepLength = 2'380'900ns;
    result.slow.sleepsPerStep = 1.0;
    result.fast = rateTiming(50, 23'159, 1'830'000, 1'830'000);
    return result;
}

QLabel* label(const QWidget& dialog, const char* name)
{
    return dialog.findChild<QLabel*>(QString::fromLatin1(name));
}

// Pixels of column x between top and bottom in none of the given colours.
int otherInk(const QImage& image, int x, int top, int bottom, const QList<QRgb>& colours)
{
    int ink = 0;
    for (int y = top; y < bottom; ++y)
        ink += !colours.contains(image.pixel(x, y));
    return ink;
}

} // namespace

class TestSelfTestDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void figuresText_data();
    void figuresText();
    void rateText_data();
    void rateText();
    void showsTheResult();
    void showsNoExponent_data();
    void showsNoExponent();
    void nothingClipped_data();
    void nothingClipped();
    void closeHidesIt();

    void histogramDrawsTheBins();
    void histogramMarksThePercentiles_data();
    void histogramMarksThePercentiles();
    void histogramGivesRoomToItsCounts();

private:
    std::unique_ptr<app::selftest::SelfTestDialog> dialog_;
};

void TestSelfTestDialog::init()
{
    QLocale::setDefault(QLocale::c());
    dialog_ = std::make_unique<app::selftest::SelfTestDialog>();
}

void TestSelfTestDialog::cleanup()
{
    dialog_.reset();
}

// ---- the words

void TestSelfTestDialog::figuresText_data()
{
    QTest::addColumn<qint64>("p50");
    QTest::addColumn<qint64>("p99");
    QTest::addColumn<qint64>("stall");
    QTest::addColumn<qulonglong>("steps");
    QTest::addColumn<QString>("text");
    QTest::newRow("1 kHz on a busy PC")
        << qint64{30} << qint64{23'159} << qint64{1'830'000} << qulonglong{27'000}
        << "Half of the steps started within 0.03 µs, 99 % within 23.2 µs; the longest stall was 1.83 ms.";
    QTest::newRow("more than half early")
        << qint64{-2'330} << qint64{744'000} << qint64{2'400'000} << qulonglong{420}
        << "Half of the steps started early (by 2.33 µs or more), 99 % within 744 µs; the longest stall was 2.40 ms.";
    QTest::newRow("all early") << qint64{-2'000} << qint64{-400} << qint64{0} << qulonglong{420}
                               << "Half of the steps started early (by 2.00 µs or more), 99 % early (by 0.40 µs "
                                  "or more); the longest stall was 0 µs.";
    QTest::newRow("a stall of seconds") << qint64{0} << qint64{999'600} << qint64{59'900'000'000} << qulonglong{3}
                                        << "Half of the steps started within 0 µs, 99 % within 1.00 ms; the "
                                           "longest stall was 59.9 s.";
    QTest::newRow("no steps") << qint64{0} << qint64{0} << qint64{0} << qulonglong{0}
                              << "No steps were measured at this rate.";
}

void TestSelfTestDialog::figuresText()
{
    QFETCH(qint64, p50);
    QFETCH(qint64, p99);
    QFETCH(qint64, stall);
    QFETCH(qulonglong, steps);
    port::selftest::RateTiming timing;
    timing.p50 = std::chrono::nanoseconds(p50);
    timing.p99 = std::chrono::nanoseconds(p99);
    timing.largestStall = std::chrono::nanoseconds(stall);
    timing.steps = steps;
    QTEST(app::selftest::SelfTestDialog::figuresText(timing), "text");
}

void TestSelfTestDialog::rateText_data()
{
    QTest::addColumn<double>("hertz");
    QTest::addColumn<qint64>("stepLength");
    QTest::addColumn<qulonglong>("steps");
    QTest::addColumn<double>("cpuShare");
    QTest::addColumn<QString>("text");
    QTest::newRow("30 Hz, sleeping") << 30.0 << qint64{2'380'900} << qulonglong{419} << 0.017
                                     << "30 Hz: steps of 2.38 ms, 419 measured, the step thread using 1.70 % of a CPU";
    QTest::newRow("1 kHz, spinning") << 1000.0 << qint64{71'500} << qulonglong{27'481} << 0.97512
                                     << "1 kHz: steps of 71.5 µs, 27481 measured, the step thread using 97.5 % of a CPU";
    QTest::newRow("a share too small to show") << 30.0 << qint64{2'380'900} << qulonglong{1} << 1e-9
                                               << "30 Hz: steps of 2.38 ms, 1 measured, the step thread using 0.00 % "
                                                  "of a CPU";
}

void TestSelfTestDialog::rateText()
{
    QFETCH(double, hertz);
    QFETCH(qint64, stepLength);
    QFETCH(qulonglong, steps);
    QFETCH(double, cpuShare);
    port::selftest::RateTiming timing;
    timing.stepLength = std::chrono::nanoseconds(stepLength);
    timing.steps = steps;
    timing.cpuShare = cpuShare;
    QTEST(app::selftest::SelfTestDialog::rateText(hertz, timing), "text");
}

void TestSelfTestDialog::showsTheResult()
{
    const port::selftest::SelfTestResult result = measuredResult();
    dialog_->showResult(result);
    dialog_->show();
    QCOMPARE(dialog_->objectName(), QStringLiteral("SelfTestDialog"));
    QCOMPARE(dialog_->windowTitle(), QStringLiteral("Timing self-test"));
    QVERIFY(!dialog_->isModal());
    QCOMPARE(label(*dialog_, "SelfTestTiming")->text(), QStringLiteral("Timing: real-time (SCHED_FIFO 40)"));
    QCOMPARE(label(*dialog_, "SlowFigures")->text(), app::selftest::SelfTestDialog::figuresText(result.slow));
    QCOMPARE(label(*dialog_, "FastFigures")->text(), app::selftest::SelfTestDialog::figuresText(result.fast));
    QVERIFY(label(*dialog_, "SlowRate")->text().startsWith(QStringLiteral("30 Hz: steps of 2.38 ms")));
    QVERIFY(label(*dialog_, "FastRate")->text().startsWith(QStringLiteral("1 kHz: steps of 71.5 µs")));
    // the timing is said once, on its own line
    const QString verdict = label(*dialog_, "SelfTestVerdict")->text();
    QVERIFY2(verdict.startsWith(QStringLiteral("At 30 Hz 99 % of steps start within 8.82 µs")), qPrintable(verdict));
    QVERIFY(!verdict.contains(QStringLiteral("Timing:")));
    QVERIFY(dialog_->findChild<app::selftest::LatenessHistogram*>(QStringLiteral("SlowHistogram")));
    QVERIFY(dialog_->findChild<app::selftest::LatenessHistogram*>(QStringLiteral("FastHistogram")));
    // a reason for a refusal comes from the system: it must read as written
    for (const QLabel* text : dialog_->findChildren<QLabel*>())
        QCOMPARE(text->textFormat(), Qt::PlainText);
}

void TestSelfTestDialog::showsNoExponent_data()
{
    QTest::addColumn<qint64>("nanoseconds");
    QTest::newRow("a stall of years") << std::numeric_limits<qint64>::max();
    QTest::newRow("a millisecond and a bit") << qint64{1'830'000};
    QTest::newRow("a nanosecond") << qint64{1};
    QTest::newRow("early") << qint64{-999'600};
}

// Every figure on the dialog in µs, ms, s, ..., never "1.83e+03 us".
void TestSelfTestDialog::showsNoExponent()
{
    QFETCH(qint64, nanoseconds);
    port::selftest::SelfTestResult result = measuredResult();
    for (port::selftest::RateTiming* timing : {&result.slow, &result.fast}) {
        timing->p50 = timing->p99 = timing->largest = timing->largestStall = std::chrono::nanoseconds(nanoseconds);
        timing->cpuShare = 1e-9;
    }
    dialog_->showResult(result);
    for (const QLabel* text : dialog_->findChildren<QLabel*>()) {
        QVERIFY2(!text->text().contains(QRegularExpression(QStringLiteral("\\de[-+]?\\d"))), qPrintable(text->text()));
        QVERIFY2(!text->text().contains(QRegularExpression(QStringLiteral("\\d us\\b"))), qPrintable(text->text()));
    }
}

void TestSelfTestDialog::nothingClipped_data()
{
    QTest::addColumn<int>("width");  // 0: as it opens; -1: as narrow as it goes
    QTest::addColumn<int>("height");
    QTest::newRow("as it opens") << 0 << 0;
    QTest::newRow("as small as it goes") << -1 << -1;
    QTest::newRow("narrow and tall") << -1 << 2000;
    QTest::newRow("large") << 1600 << 1100;
}

// At every size the dialog takes, each text has the lines it needs and each
// histogram the room its axes need.
void TestSelfTestDialog::nothingClipped()
{
    QFETCH(int, width);
    QFETCH(int, height);
    port::selftest::SelfTestResult result = measuredResult();
    result.timing.grant = {};
    result.timing.grant.refusal = "SCHED_FIFO 40 refused (Operation not permitted); RealtimeKit: not running";
    dialog_->showResult(result);
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
    if (width != 0)
        dialog_->resize(width < 0 ? 1 : width, height < 0 ? 1 : height);
    QApplication::processEvents();
    QVERIFY(dialog_->width() >= dialog_->minimumSizeHint().width());
    for (const QLabel* text : dialog_->findChildren<QLabel*>()) {
        QVERIFY2(text->isVisible(), qPrintable(text->objectName()));
        QVERIFY2(text->height() >= text->heightForWidth(text->width()),
                 qPrintable(QStringLiteral("%1: %2 px for %3 px of text")
                                .arg(text->objectName())
                                .arg(text->height())
                                .arg(text->heightForWidth(text->width()))));
        QVERIFY2(dialog_->rect().contains(QRect(text->mapTo(dialog_.get(), QPoint(0, 0)), text->size())),
                 qPrintable(text->objectName()));
    }
    for (const app::selftest::LatenessHistogram* histogram : dialog_->findChildren<app::selftest::LatenessHistogram*>()) {
        QVERIFY2(histogram->width() >= histogram->minimumSizeHint().width(), qPrintable(histogram->objectName()));
        QVERIFY2(histogram->height() >= histogram->minimumSizeHint().height(), qPrintable(histogram->objectName()));
    }
    const auto* close = dialog_->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
    QVERIFY(dialog_->rect().contains(QRect(close->mapTo(dialog_.get(), QPoint(0, 0)), close->size())));
    // type no smaller than the window's
    QVERIFY(label(*dialog_, "SelfTestVerdict")->font().pointSizeF() >= QApplication::font().pointSizeF());
}

void TestSelfTestDialog::closeHidesIt()
{
    dialog_->showResult(measuredResult());
    dialog_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
    QPushButton* close = dialog_->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close);
    QVERIFY(close);
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(!dialog_->isVisible());
}

// ---- the histogram

// A bar stands over each bin that holds steps, none over an empty one, and a
// bar is taller for more steps; a lone step is clearly there.
void TestSelfTestDialog::histogramDrawsTheBins()
{
    app::selftest::LatenessHistogram histogram;
    port::selftest::RateTiming timing;
    timing.bins[0] = 5;          // early
    timing.bins[1] = 20'000;     // on time
    timing.bins[7] = 40;         // 1 µs
    timing.bins[22] = 1;         // 1 ms
    timing.steps = 20'046;
    histogram.setTiming(timing);
    histogram.resize(histogram.sizeHint());
    const QImage image = histogram.grab().toImage();
    const QRgb bar = histogram.palette().color(QPalette::Highlight).rgb();
    const QRectF plot = histogram.plotRect();
    for (std::size_t bin = 0; bin < port::selftest::latenessBinCount; ++bin) {
        const QRectF rect = histogram.barRect(bin);
        QCOMPARE(rect.isEmpty(), timing.bins[bin] == 0);
        if (rect.isEmpty())
            continue;
        QVERIFY(plot.contains(rect.center()));
        const QPoint inside = rect.center().toPoint();
        QVERIFY2(image.pixel(inside) == bar, qPrintable(QString::number(bin)));
        QVERIFY2(image.pixel(QPoint(inside.x(), qRound(rect.top()) - 2)) != bar, qPrintable(QString::number(bin)));
    }
    QVERIFY(histogram.barRect(1).height() > histogram.barRect(7).height());
    QVERIFY(histogram.barRect(7).height() > histogram.barRect(0).height());
    QVERIFY(histogram.barRect(0).height() > histogram.barRect(22).height());
    QVERIFY(histogram.barRect(22).height() >= plot.height() / 6.0 - 1.0);  // one decade of six
    // the bins are in order along the axis, early on the left
    for (std::size_t bin = 1; bin < port::selftest::latenessBinCount; ++bin)
        QVERIFY2(histogram.lateX(port::selftest::latenessBinStart(bin)) >
                     histogram.lateX(port::selftest::latenessBinStart(bin - 1)),
                 qPrintable(QString::number(bin)));
}

void TestSelfTestDialog::histogramMarksThePercentiles_data()
{
    QTest::addColumn<qint64>("p50");
    QTest::addColumn<qint64>("p99");
    QTest::addColumn<qint64>("largest");
    QTest::newRow("spread out") << qint64{30} << qint64{23'159} << qint64{1'830'000};
    QTest::newRow("early median") << qint64{-2'330} << qint64{744'000} << qint64{2'390'000};
    QTest::newRow("latest past 100 ms, at the right edge") << qint64{50} << qint64{5'000} << qint64{3'000'000'000};
}

// A dashed line of the mark's own colour runs down the plot at each of p50,
// p99 and the latest step, where no bar is.
void TestSelfTestDialog::histogramMarksThePercentiles()
{
    QFETCH(qint64, p50);
    QFETCH(qint64, p99);
    QFETCH(qint64, largest);
    app::selftest::LatenessHistogram histogram;
    port::selftest::RateTiming timing;
    timing.p50 = std::chrono::nanoseconds(p50);
    timing.p99 = std::chrono::nanoseconds(p99);
    timing.largest = std::chrono::nanoseconds(largest);
    timing.bins[port::selftest::latenessBin(p50)] = 1;  // low bars: the marks show above them
    timing.steps = 1;
    histogram.setTiming(timing);
    histogram.resize(histogram.sizeHint());
    const QImage image = histogram.grab().toImage();
    const QRectF plot = histogram.plotRect();
    const QList<QRgb> plain{histogram.palette().color(QPalette::Base).rgb(),
                            histogram.palette().color(QPalette::Highlight).rgb(),
                            histogram.palette().color(QPalette::Midlight).rgb()};
    const int top = qRound(plot.top()) + 1;
    const int bottom = qRound(plot.bottom()) - 1;
    double previous = -1.0;
    for (const qint64 lateness : {p50, p99, largest}) {
        const double x = histogram.lateX(std::chrono::nanoseconds(lateness));
        QVERIFY(x > previous);
        previous = x;
        QVERIFY2(otherInk(image, qRound(x), top, bottom, plain) > 0, qPrintable(QString::number(lateness)));
    }
    // and nowhere else: a column between two marks stays plain
    const int between = qRound((histogram.lateX(timing.p50) + histogram.lateX(timing.p99)) / 2.0);
    QCOMPARE(otherInk(image, between, top, bottom, plain), 0);
}

// The count axis has a text line for each power of ten, however many steps.
void TestSelfTestDialog::histogramGivesRoomToItsCounts()
{
    app::selftest::LatenessHistogram histogram;
    const int few = histogram.minimumSizeHint().height();
    port::selftest::RateTiming timing;
    timing.bins[1] = 10'000'000;
    timing.steps = 10'000'000;
    histogram.setTiming(timing);
    QVERIFY(histogram.minimumSizeHint().height() > few);
    histogram.resize(histogram.minimumSizeHint());
    const double decade = histogram.plotRect().height() / 8.0;  // 1 .. 10 000 000 and the step below 1
    QVERIFY(decade >= histogram.fontMetrics().height());
}

QTEST_MAIN(TestSelfTestDialog)
#include "tst_selftestdialog.moc"
