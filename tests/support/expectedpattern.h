// The converter's 14 steps, {data byte, control value}, written out here by
// hand from the table of the output pattern: what the suites expect on the
// port. Kept apart from the program's table (port/pattern/steppattern.h),
// which is checked against this one, so that a wrong byte there shows as a
// difference instead of agreeing with itself.
#ifndef TESTS_EXPECTEDPATTERN_H
#define TESTS_EXPECTEDPATTERN_H

#include <array>
#include <cstddef>
#include <cstdint>

struct ExpectedStep {
    std::uint8_t data;
    std::uint8_t control;
};

inline constexpr std::array<ExpectedStep, 14> expectedSteps{{
    {0x60, 0}, {0x99, 0}, {0x92, 0}, {0x4B, 0}, {0x04, 0},
    {0xC5, 2}, {0x8E, 2}, {0x56, 2}, {0x1D, 2}, {0x24, 2}, {0x6B, 2}, {0xB2, 2}, {0xF1, 2},
    {0x28, 0},
}};

// Step n of a run, counted from its first step, cycle after cycle.
constexpr const ExpectedStep& expectedStep(std::size_t n)
{
    return expectedSteps[n % expectedSteps.size()];
}

#endif  // TESTS_EXPECTEDPATTERN_H
