// The dialog is shown without blocking: the window goes on (RUN, STOP) while
// the operator reads it, and a later self-test fills the same dialog again.
#include "app/selftest/selftestdialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

#include "app/selftest/latenesshistogram.h"
#include "app/selftest/selftestverdict.h"
#include "app/text/durationtext.h"
#include "app/text/timingtext.h"
#include "port/selftest/timingselftest.h"

namespace app::selftest {

namespace {

constexpr int sectionSpacing = 12;
constexpr double percent = 100.0;
constexpr int noticeWidthChars = 52;

// Steps are on time or late; a share early is said so rather than as a
// negative lateness.
QString withinText(std::chrono::nanoseconds lateness)
{
    if (lateness < std::chrono::nanoseconds::zero())
        return SelfTestDialog::tr("early (by %1 or more)").arg(text::durationText(-lateness));
    return SelfTestDialog::tr("within %1").arg(text::durationText(lateness));
}

QFont headingFont(QFont font)
{
    font.setBold(true);
    return font;
}

} // namespace

SelfTestDialog::SelfTestDialog(QWidget* parent)
    : QDialog(parent)
    , timingLabel_(createLabel(QStringLiteral("SelfTestTiming")))
    , slowTitleLabel_(createLabel(QStringLiteral("SlowRate")))
    , slowHistogram_(new LatenessHistogram(this))
    , slowFiguresLabel_(createLabel(QStringLiteral("SlowFigures")))
    , fastTitleLabel_(createLabel(QStringLiteral("FastRate")))
    , fastHistogram_(new LatenessHistogram(this))
    , fastFiguresLabel_(createLabel(QStringLiteral("FastFigures")))
    , verdictLabel_(createLabel(QStringLiteral("SelfTestVerdict")))
    , buttonBox_(new QDialogButtonBox(QDialogButtonBox::Close, this))
{
    setObjectName(QStringLiteral("SelfTestDialog"));
    timingLabel_->setFont(headingFont(font()));
    slowTitleLabel_->setFont(headingFont(font()));
    fastTitleLabel_->setFont(headingFont(font()));
    slowHistogram_->setObjectName(QStringLiteral("SlowHistogram"));
    fastHistogram_->setObjectName(QStringLiteral("FastHistogram"));
    connect(buttonBox_, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(timingLabel_);
    layout->addSpacing(sectionSpacing);
    layout->addWidget(slowTitleLabel_);
    layout->addWidget(slowHistogram_, 1);
    layout->addWidget(slowFiguresLabel_);
    layout->addSpacing(sectionSpacing);
    layout->addWidget(fastTitleLabel_);
    layout->addWidget(fastHistogram_, 1);
    layout->addWidget(fastFiguresLabel_);
    layout->addSpacing(sectionSpacing);
    layout->addWidget(verdictLabel_);
    layout->addWidget(buttonBox_);

    setSizeGripEnabled(true);
    setWindowTitle(tr("Timing self-test"));
}

QLabel* SelfTestDialog::createLabel(const QString& name)
{
    auto* label = new QLabel(this);
    label->setObjectName(name);
    // Refusal reasons and error lines come from the system: never markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

void SelfTestDialog::showResult(const port::selftest::SelfTestResult& result)
{
    showMeasurement(true);
    timingLabel_->setText(text::timingText(result.timing));
    slowTitleLabel_->setText(rateText(port::selftest::selfTestSlowHz, result.slow));
    slowHistogram_->setTiming(result.slow);
    slowFiguresLabel_->setText(figuresText(result.slow));
    fastTitleLabel_->setText(rateText(port::selftest::selfTestOutputHz, result.fast));
    fastHistogram_->setTiming(result.fast);
    fastFiguresLabel_->setText(figuresText(result.fast));
    verdictLabel_->setText(selfTestAssessment(result));
    fitToContents();
}

void SelfTestDialog::showNotice(const QString& text)
{
    showMeasurement(false);
    verdictLabel_->setText(text);
    // A sentence or two: wide enough for the title and some eight words a
    // line, no taller than the words need (without the histograms the
    // measurement's size would leave it narrow, or tall and empty).
    const int width = std::max(minimumSizeHint().width(), fontMetrics().averageCharWidth() * noticeWidthChars);
    layout()->invalidate();
    resize(width, layout()->totalHeightForWidth(width));
}

void SelfTestDialog::showMeasurement(bool shown)
{
    for (QWidget* part : std::initializer_list<QWidget*>{timingLabel_, slowTitleLabel_, slowHistogram_, slowFiguresLabel_,
                                                         fastTitleLabel_, fastHistogram_, fastFiguresLabel_})
        part->setVisible(shown);
}

void SelfTestDialog::fitToContents()
{
    // The histograms' least height follows the largest count: grow to it
    // rather than squeeze their axes.
    layout()->invalidate();
    if (!isVisible()) {
        const int preferred = sizeHint().width();
        resize(preferred, layout()->totalHeightForWidth(preferred));
    }
    const int width = std::max(this->width(), minimumSizeHint().width());
    resize(width, std::max(height(), layout()->totalMinimumHeightForWidth(width)));
}

// A window's least height takes no account of text that wraps: narrower, the
// verdict needs more lines, so the least height is set from the width.
void SelfTestDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    setMinimumHeight(layout()->totalMinimumHeightForWidth(width()));
}

QString SelfTestDialog::rateText(double hertz, const port::selftest::RateTiming& timing)
{
    return tr("%1: steps of %2, %3 measured, the step thread using %4 % of a CPU")
        .arg(text::frequencyText(hertz), text::durationText(timing.stepLength),
             text::countText(timing.steps),
             text::shareText(timing.cpuShare * percent));
}

QString SelfTestDialog::figuresText(const port::selftest::RateTiming& timing)
{
    if (timing.steps == 0)
        return tr("No steps were measured at this rate.");
    return tr("Half of the steps started %1, 99 % %2; the longest stall was %3.")
        .arg(withinText(timing.p50), withinText(timing.p99), text::durationText(timing.largestStall));
}

}  // namespace app::selftest
