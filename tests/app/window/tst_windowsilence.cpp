// A frozen window ends a run, as a drive trips on keypad loss: with the
// window's thread held for longer than the silence limit the run ends with
// the idle pair and says why. A real modal message box or file dialog runs
// the event loop itself, so it never trips the watch, however long it stays
// open; both are closed by a key press from a timer.
#include "app/window/modalmessagebox.h"
#include "app/window/runadapter.h"
#include "piperecord.h"
#include "port/backend/module1.h"
#include "port/record/recordedport.h"
#include "recordingport.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The watch looks every 100 ms. A frozen window's limit is short, so that
// the test is quick: a stall of the window's thread only makes it freeze
// longer. An open dialog's is the program's own 2 s, far above any stall of
// that thread as the dialog opens: at most 0.25 s measured on a busy 2-core
// machine, 0.12 s in the ASan and TSan builds (their sanitizers stay out of
// Qt's own code, where that time goes), in every build alike.
constexpr std::chrono::milliseconds freezeLimit{300};
constexpr std::chrono::milliseconds dialogLimit = port::run::RunControl::windowSilenceLimit;
// Long enough for the watch to see a dialog that did not answer.
constexpr std::chrono::milliseconds dialogOpenFor = dialogLimit + 500ms;
constexpr auto giveUp = 20s;
constexpr int giveUpMilliseconds = 20000;

constexpr std::int64_t thirtyHertz = 23808;  // steps of 2.38 ms: the loop sleeps between them
constexpr std::int64_t oneKilohertz = 714;   // steps of 71.5 µs: the loop spins

// The writes that reached the port, in the form the pattern checks take.
std::vector<PipeWrite> writesOf(const RecordingPort& port)
{
    std::vector<PipeWrite> writes;
    for (const RecordingPort::Write& write : port.writes())
        writes.push_back({write.address, write.value});
    return writes;
}

// Every step's pair whole and in pattern order, the idle pair last.
QString checkRunEnd(std::vector<PipeWrite> writes)
{
    return QString::fromStdString(wayOutFault(std::move(writes)));
}

// The program's stack below the window, with a silence limit of the test's.
struct Rig {
    explicit Rig(std::chrono::milliseconds silenceLimit) : adapter{module, recorded.record(), {}, nullptr, silenceLimit} {}
    RecordingPort port;
    port::record::RecordedPort recorded{port};
    port::backend::Module1 module{recorded};
    app::window::RunAdapter adapter;
};

// Presses Escape in the modal dialog once it has been open for dialogOpenFor.
class DialogCloser : public QObject {
public:
    DialogCloser()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || std::chrono::steady_clock::now() - opened_ < dialogOpenFor)
                return;
            timer_.stop();
            QTest::keyClick(dialog, Qt::Key_Escape);
            closed_ = true;
        });
        timer_.start(10);
    }
    bool closed() const { return closed_; }

private:
    QTimer timer_;
    const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();
    bool closed_ = false;
};

}  // namespace

class TestWindowSilence : public QObject {
    Q_OBJECT

private slots:
    void frozenWindowEndsTheRun_data();
    void frozenWindowEndsTheRun();
    void modalDialogKeepsTheRunAlive_data();
    void modalDialogKeepsTheRunAlive();
};

void TestWindowSilence::frozenWindowEndsTheRun_data()
{
    QTest::addColumn<qint64>("delayCount");
    QTest::newRow("30 Hz, the step thread asleep between steps") << qint64{thirtyHertz};
    QTest::newRow("1 kHz, the step thread spinning") << qint64{oneKilohertz};
}

// The window's thread waits for the run to end without running its event
// loop: to the watch that is a window that does not answer.
void TestWindowSilence::frozenWindowEndsTheRun()
{
    QFETCH(qint64, delayCount);
    Rig rig(freezeLimit);
    rig.adapter.run(delayCount);
    QTRY_VERIFY_WITH_TIMEOUT(rig.port.size() >= 2 * port::pattern::writesPerStep, giveUpMilliseconds);

    const auto until = std::chrono::steady_clock::now() + giveUp;
    while (rig.adapter.state() != port::run::SequencerState::Idle && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);

    QCOMPARE(rig.adapter.state(), port::run::SequencerState::Idle);
    const port::run::RunReadout readout = rig.adapter.readout();  // the window answers again
    QCOMPARE(readout.endCause, port::run::RunEndCause::WindowSilent);
    QVERIFY2(readout.windowSilence > freezeLimit,
             qPrintable(QStringLiteral("silent for %1 ns").arg(readout.windowSilence.count())));
    QCOMPARE(checkRunEnd(writesOf(rig.port)), QString());
}

void TestWindowSilence::modalDialogKeepsTheRunAlive_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::newRow("message box") << QStringLiteral("message box");
    QTest::newRow("file dialog, Qt's own") << QStringLiteral("file dialog");
}

void TestWindowSilence::modalDialogKeepsTheRunAlive()
{
    QFETCH(QString, dialog);
    Rig rig(dialogLimit);
    rig.adapter.run(thirtyHertz);
    QTRY_VERIFY_WITH_TIMEOUT(rig.port.size() >= 2 * port::pattern::writesPerStep, giveUpMilliseconds);

    const DialogCloser closer;
    if (dialog == QLatin1String("message box"))
        app::window::ModalMessageBox().show(QStringLiteral("The run goes on."), QStringLiteral("Note"));
    else
        QFileDialog::getSaveFileName(nullptr, QStringLiteral("Export VCD"), QDir::tempPath(),
                                     QStringLiteral("Value change dump (*.vcd)"), nullptr,
                                     QFileDialog::DontUseNativeDialog);

    QVERIFY(closer.closed());
    QCOMPARE(rig.adapter.readout().endCause, port::run::RunEndCause::None);
    QCOMPARE(rig.adapter.state(), port::run::SequencerState::Running);
}

QTEST_MAIN(TestWindowSilence)
#include "tst_windowsilence.moc"
