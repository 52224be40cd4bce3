// The console's commands and checks. Its words keep the window's translation
// context, where they were first said.
#include "app/console/operatorconsole.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "app/console/checkmessages.h"
#include "app/console/messagebox.h"
#include "app/console/runadapter.h"
#include "app/fields/fieldconversion.h"
#include "app/fields/inputchecks.h"
#include "port/pattern/delaycount.h"

namespace app::console {

namespace {

QString translated(const char* text)
{
    return QCoreApplication::translate("Form1", text);
}

// The fields Required Voltage reads, in the window's order, by the names
// its note gives them.
struct ReadField {
    int number;
    const char* name;
};

constexpr ReadField requiredVoltageFields[] = {
    {1, QT_TRANSLATE_NOOP("Form1", "Voltage")},
    {6, QT_TRANSLATE_NOOP("Form1", "# of poles")},
    {7, QT_TRANSLATE_NOOP("Form1", "Speed")},
    {8, QT_TRANSLATE_NOOP("Form1", "V/f")},
};

// Enough of a field's text to recognise it on one line of the strip.
constexpr qsizetype quotedLength = 16;

QString quoted(QString text)
{
    // Skipped by the reading, and a line feed would break the strip's line.
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\t'), QLatin1Char(' '));
    if (text.size() > quotedLength)
        text = text.left(quotedLength - 1) + QChar(0x2026);  // …
    return text;
}

std::string decimalPoint()
{
    return QLocale().decimalPoint().toStdString();
}

}  // namespace

OperatorConsole::OperatorConsole(MessageBox& messageBox, port::backend::Module1& module,
                                 const port::record::WriteRecord& record, port::run::StepThreadSetup stepSetup,
                                 QObject* parent)
    : QObject(parent)
    , messageBox_(messageBox)
    , runs_(new RunAdapter(module, record, std::move(stepSetup), this))
{
    setObjectName(QStringLiteral("OperatorConsole"));
    connect(runs_, &RunAdapter::stateChanged, this, &OperatorConsole::runStateChanged);
    connect(runs_, &RunAdapter::errorOccurred, this, &OperatorConsole::reportPortError);
}

OperatorConsole::~OperatorConsole() = default;

double OperatorConsole::reading(int number) const
{
    return fields::numericReading(text(number).toStdString());
}

QString OperatorConsole::readingNote() const
{
    QStringList notes;
    for (const ReadField& read : requiredVoltageFields) {
        const std::string typed = text(read.number).toStdString();
        if (fields::readsWhole(typed))
            continue;
        notes << translated("%1 read as %2 from '%3'")
                     .arg(translated(read.name),
                          QString::fromStdString(fields::displayText(fields::numericReading(typed), decimalPoint())),
                          quoted(text(read.number)));
    }
    return notes.join(QStringLiteral("; "));
}

void OperatorConsole::setText(int number, const QString& text)
{
    QString& held = texts_.at(number);
    if (held == text)
        return;
    held = text;
    emit textChanged(number, text);
    switch (number) {
    case 3:
        checkPower();
        break;
    case 6:
        checkPoleSpeeds();
        break;
    case 7:
        checkDemandSpeed();
        break;
    default:
        break;
    }
}

void OperatorConsole::fill(int number, const QString& text)
{
    if (texts_.at(number) == text)
        emit textChanged(number, text);
    else
        setText(number, text);
}

void OperatorConsole::checkPower()
{
    if (!fields::powerPasses(text(3).toStdString()))
        showMessage(Check::Power);
}

void OperatorConsole::checkPowerFactor()
{
    if (!fields::powerFactorPasses(text(4).toStdString()))
        showMessage(Check::PowerFactor);
}

// Each check reads the fields again: the box before it may have taken time,
// and a check must judge the fields as they are when it runs.
void OperatorConsole::checkPoleSpeeds()
{
    if (!fields::twoPoleSpeedPasses(text(6).toStdString(), text(7).toStdString()))
        showMessage(Check::TwoPoleSpeed);
    if (!fields::fourPoleSpeedPasses(text(6).toStdString(), text(7).toStdString()))
        showMessage(Check::FourPoleSpeed);
}

void OperatorConsole::checkDemandSpeed()
{
    if (!fields::demandSpeedWithinRated(text(5).toStdString(), text(7).toStdString()))
        showMessage(Check::AboveRatedSpeed);
    checkPoleSpeeds();
}

void OperatorConsole::requiredVoltage()
{
    const drive::SetPoint setPoint = drive::computeSetPoint(reading(6), reading(7), reading(8), reading(1), held_);
    held_ = setPoint.values;
    // Before any box, so that the note is there to read while it is open.
    emit readingNoted(readingNote());

    switch (setPoint.verdict) {
    case drive::Verdict::Accepted:
        fill(10, QString::fromStdString(fields::displayText(held_.requiredVoltage, decimalPoint())));
        break;
    case drive::Verdict::AtOrAboveRating:
        showMessage(Check::VoltageNotBelowRating);
        break;
    case drive::Verdict::ZeroFrequency:
        showMessage(Check::ZeroFrequency);
        break;
    case drive::Verdict::OutOfRange:
        showMessage(Check::FrequencyOutOfRange);
        break;
    }
}

// RUN: while a run is under way it takes the new count at its next cycle, so
// there is never a second writer. A self-test that measures is cut short
// first (aboutToRun): its step thread would share the step CPU with the
// run's, at the same priority, and the one that never blocked would keep the
// other from ever running. Run control keeps the start until the self-test's
// result arrives, which is once its step thread has ended.
void OperatorConsole::run()
{
    const std::int64_t delayCount = port::pattern::delayCountFor(held_.stepTime);
    print(QString::number(delayCount));
    fill(9, QStringLiteral("0"));
    emit aboutToRun();
    runs_->run(delayCount);
    emit runPressed();
}

// STOP: a run completes its cycle when it ends soon, otherwise it ends at
// once; either way the port is left idle. With no run the idle values are
// written at once.
void OperatorConsole::stop()
{
    runs_->stop();
    emit stopPressed();
}

void OperatorConsole::shutDown()
{
    runs_->shutDown();
}

void OperatorConsole::print(const QString& line)
{
    printedLine_ = line;
    emit printed(line);
}

void OperatorConsole::showMessage(Check check)
{
    const CheckMessage message = checkMessage(check);
    showMessage(message.prompt, message.title);
}

void OperatorConsole::showMessage(const QString& prompt, const QString& title)
{
    messageBox_.show(prompt, title.isEmpty() ? translated(applicationTitle) : title);
}

// Said on stderr too: the box may be read by nobody, and a log keeps it.
void OperatorConsole::reportPortError(const QString& line)
{
    std::fprintf(stderr, "frequency-converter: ERROR: %s\n", qPrintable(line));
    emit portErrorOccurred(line);
    showMessage(line, translated(QT_TRANSLATE_NOOP("Form1", "Port Error")));
}

}  // namespace app::console
