// The prompts keep the window's translation context, where they were first said.
#include "app/console/checkmessages.h"

#include <QCoreApplication>

namespace app::console {

namespace {

struct Text {
    const char* prompt;
    const char* title;  // nullptr: the application's
};

// In the order of Check.
constexpr Text texts[] = {
    {QT_TRANSLATE_NOOP("Form1", " The Power must be less than 2000"), nullptr},
    {QT_TRANSLATE_NOOP("Form1", "The Power Factor must be less than 1 and greater than 0.6"),
     QT_TRANSLATE_NOOP("Form1", "Error Power Factor Value")},
    {QT_TRANSLATE_NOOP("Form1", "The speed value must be less than 2100"), QT_TRANSLATE_NOOP("Form1", "Error Value")},
    {QT_TRANSLATE_NOOP("Form1", "The speed value must be less than 1050"), QT_TRANSLATE_NOOP("Form1", "Error Value")},
    {QT_TRANSLATE_NOOP("Form1", "The speed value must be less than or equale the rated "),
     QT_TRANSLATE_NOOP("Form1", "Error Value")},
    {QT_TRANSLATE_NOOP("Form1", "Enter the correct value "), QT_TRANSLATE_NOOP("Form1", "Error value")},
    {QT_TRANSLATE_NOOP("Form1", "The frequency is 0 Hz: enter a number of poles and a demanded speed other than 0"),
     QT_TRANSLATE_NOOP("Form1", "Error value")},
    {QT_TRANSLATE_NOOP("Form1", "The frequency is too large or too small to divide into steps: enter a number of "
                                "poles and a demanded speed of ordinary size"),
     QT_TRANSLATE_NOOP("Form1", "Error value")},
};

}  // namespace

CheckMessage checkMessage(Check check)
{
    const Text& text = texts[static_cast<int>(check)];
    return {QCoreApplication::translate("Form1", text.prompt),
            text.title ? QCoreApplication::translate("Form1", text.title) : QString()};
}

}  // namespace app::console
