// The converter's output pattern: 14 steps of {data byte, control value},
// written in this order every cycle, the port's idle state, and the lines a
// trace of the port shows. Everything that counts steps, finds cycles or
// names lines takes it from here.
#ifndef PORT_PATTERN_STEPPATTERN_H
#define PORT_PATTERN_STEPPATTERN_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace port::pattern {

struct Step {
    std::uint8_t data;     // to dataPort
    std::uint8_t control;  // to controlPort, raw register value
};

inline constexpr std::size_t stepsPerCycle = 14;
// Each step is one data write, then one control write.
inline constexpr std::size_t writesPerStep = 2;
inline constexpr std::size_t writesPerCycle = writesPerStep * stepsPerCycle;

// Control 0 and 2 switch the converter's output stage between its two
// halves; the data byte carries the switch states within each half.
inline constexpr std::array<Step, stepsPerCycle> stepPattern{{
    {0x60, 0}, {0x99, 0}, {0x92, 0}, {0x4B, 0}, {0x04, 0}, {0xC5, 2}, {0x8E, 2},
    {0x56, 2}, {0x1D, 2}, {0x24, 2}, {0x6B, 2}, {0xB2, 2}, {0xF1, 2}, {0x28, 0},
}};

// A data write of this byte begins a cycle: no other step writes it.
inline constexpr std::uint8_t cycleStartData = stepPattern.front().data;

// Idle: all data lines low first, then control 2, the state STOP leaves.
inline constexpr std::uint8_t idleData = 0x00;
inline constexpr std::uint8_t idleControl = 0x02;

// The lines a trace shows: D0..D7 of the data register, then C1, the one
// control line the pattern moves: bit 1 of the control register, as written.
inline constexpr std::size_t dataLineCount = 8;
inline constexpr std::size_t lineCount = dataLineCount + 1;
inline constexpr std::size_t controlLine = dataLineCount;
inline constexpr unsigned controlLineBit = 1;
inline constexpr std::array<const char*, lineCount> lineNames{"D0", "D1", "D2", "D3", "D4",
                                                              "D5", "D6", "D7", "C1"};

// The level of line after a write of value to its register (the data
// register for D0..D7, the control register for C1).
inline constexpr bool isHigh(std::uint8_t value, std::size_t line) noexcept
{
    return line == controlLine ? ((value >> controlLineBit) & 1U) != 0 : ((value >> line) & 1U) != 0;
}

}  // namespace port::pattern

#endif  // PORT_PATTERN_STEPPATTERN_H
