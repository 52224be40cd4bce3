// Converts the step time the operator enters into the dwell count of each
// step, rounding exactly as the program always did.
#ifndef PORT_PATTERN_DELAYCOUNT_H
#define PORT_PATTERN_DELAYCOUNT_H

#include <chrono>
#include <cstdint>

namespace port::pattern {

// One dwell pass stands for 100 ns: the step time in ms times 10 000.
inline constexpr double passesPerMillisecond = 10000.0;
inline constexpr std::chrono::nanoseconds passLength{100};

// Dwell passes of each step, less one, from the step time in ms:
// stepTime x 10 000, rounded to 15 significant digits (the precision the
// number had as text), the fraction then dropped toward zero. 0 (unset) gives
// 0; NaN gives 0; beyond 15 digits the integer part, saturated to int64.
std::int64_t delayCountFor(double stepTimeMs);

// The length of one step that a delay count asks for: (count + 1) passes,
// nothing for a negative count.
std::chrono::nanoseconds stepLengthFor(std::int64_t delayCount);

// One cycle of the pattern at that count: 14 step lengths, held at a
// quarter of the clock's range so that a deadline from it never overflows.
std::chrono::nanoseconds cycleLengthFor(std::int64_t delayCount);

// The output frequency in Hz that a delay count defines: one cycle is the 14
// steps of the pattern, each stepLengthFor(delayCount) long. 0 for a negative
// count, which holds no step at all.
double frequencyFor(std::int64_t delayCount);

}  // namespace port::pattern

#endif  // PORT_PATTERN_DELAYCOUNT_H
