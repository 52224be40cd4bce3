// A console for the register map's tests and fuzzer: shows what it is told
// to, records what it is asked, refuses when told to.
#ifndef TESTS_APP_REMOTE_FAKECONSOLE_H
#define TESTS_APP_REMOTE_FAKECONSOLE_H

#include "app/remote/console.h"

#include <chrono>
#include <string>
#include <vector>

class FakeConsole : public app::remote::Console {
public:
    app::remote::ConsoleReadings readings;
    app::remote::Refusal fieldRefusal = app::remote::Refusal::None;
    app::remote::Refusal pressRefusal = app::remote::Refusal::None;
    // "field 8 = 7.6", "press 2", "lost 1500 ms", in order.
    std::vector<std::string> done;

    app::remote::ConsoleReadings read() override { return readings; }

    app::remote::Refusal setFields(std::span<const app::remote::FieldValue> values) override
    {
        if (fieldRefusal != app::remote::Refusal::None)
            return fieldRefusal;
        for (const app::remote::FieldValue& value : values) {
            std::string number = std::to_string(value.value);
            number.erase(number.find_last_not_of('0') + 1);
            if (number.back() == '.')
                number.pop_back();
            done.push_back("field " + std::to_string(static_cast<int>(value.field)) + " = " + number);
        }
        return app::remote::Refusal::None;
    }

    app::remote::Refusal press(app::remote::Command command) override
    {
        if (pressRefusal != app::remote::Refusal::None)
            return pressRefusal;
        done.push_back("press " + std::to_string(static_cast<int>(command)));
        if (command == app::remote::Command::Run)
            readings.state = port::run::SequencerState::Running;
        return app::remote::Refusal::None;
    }

    void communicationLost(std::chrono::nanoseconds silence) override
    {
        done.push_back("lost " +
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(silence).count()) + " ms");
        readings.state = port::run::SequencerState::Idle;
    }
};

#endif  // TESTS_APP_REMOTE_FAKECONSOLE_H
