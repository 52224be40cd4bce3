// The window's checks run on texts, as its handlers run them on the fields.
#include "app/remote/requestcheck.h"

#include "app/fields/fieldconversion.h"
#include "app/fields/inputchecks.h"
#include "drive/setpoint/setpoint.h"
#include "port/pattern/delaycount.h"

#include <algorithm>

namespace app::remote {

namespace {

constexpr int ratedVoltageField = 1;
constexpr int ratedSpeedField = 5;
constexpr int polesField = 6;
constexpr int speedField = 7;
constexpr int voltsPerHertzField = 8;

// Text7's change handler checks it against the rated speed, then both
// handlers check the pole-speed limits, in that order.
Refusal speedChecks(const FieldTexts& texts, bool againstRated)
{
    if (againstRated && !fields::demandSpeedWithinRated(texts[ratedSpeedField], texts[speedField]))
        return Refusal::AboveRatedSpeed;
    if (!fields::twoPoleSpeedPasses(texts[polesField], texts[speedField]))
        return Refusal::TwoPoleSpeed;
    if (!fields::fourPoleSpeedPasses(texts[polesField], texts[speedField]))
        return Refusal::FourPoleSpeed;
    return Refusal::None;
}

Refusal requiredVoltage(const FieldTexts& texts)
{
    const drive::SetPoint setPoint = drive::computeSetPoint(
        fields::numericReading(texts[polesField]), fields::numericReading(texts[speedField]),
        fields::numericReading(texts[voltsPerHertzField]), fields::numericReading(texts[ratedVoltageField]), {});
    switch (setPoint.verdict) {
    case drive::Verdict::Accepted:
        break;
    case drive::Verdict::AtOrAboveRating:
        return Refusal::VoltageNotBelowRating;
    case drive::Verdict::ZeroFrequency:
        return Refusal::ZeroFrequency;
    case drive::Verdict::OutOfRange:
        return Refusal::FrequencyOutOfRange;
    }
    if (port::pattern::delayCountFor(setPoint.values.stepTime) <= 0)
        return Refusal::FullSpeed;
    return Refusal::None;
}

}  // namespace

FieldTexts typed(FieldTexts texts, std::span<const FieldValue> fields)
{
    for (const FieldValue& value : fields)
        texts[static_cast<std::size_t>(value.field)] = fields::displayText(value.value);
    return texts;
}

RequestPlan planRequest(const FieldTexts& before, const WindowRequest& request)
{
    std::vector<FieldValue> unchecked;
    std::vector<FieldValue> checked;
    for (const FieldValue& value : request.fields)
        (value.field == Field::Poles || value.field == Field::SpeedReference ? checked : unchecked).push_back(value);
    const FieldTexts start = typed(before, unchecked);
    // Each change handler's checks on the texts as they are when it runs.
    const auto typeInOrder = [&start](const std::vector<FieldValue>& order) {
        FieldTexts texts = start;
        for (const FieldValue& value : order) {
            texts = typed(texts, std::span(&value, 1));
            if (const Refusal refusal = speedChecks(texts, value.field == Field::SpeedReference);
                refusal != Refusal::None)
                return refusal;
        }
        return Refusal::None;
    };
    RequestPlan plan{typeInOrder(checked), unchecked};
    if (plan.refusal != Refusal::None && checked.size() == 2) {
        std::ranges::reverse(checked);
        if (typeInOrder(checked) == Refusal::None)
            plan.refusal = Refusal::None;
    }
    if (plan.refusal != Refusal::None)
        return plan;
    plan.order.insert(plan.order.end(), checked.begin(), checked.end());
    if (request.action == WindowRequest::Action::Type)
        return plan;
    const FieldTexts after = typed(before, request.fields);
    plan.refusal = speedChecks(after, true);
    if (plan.refusal == Refusal::None)
        plan.refusal = requiredVoltage(after);
    return plan;
}

}  // namespace app::remote
