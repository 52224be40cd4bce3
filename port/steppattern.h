// The converter's output pattern: 14 steps of {data byte, control value},
// written in this order every cycle, and the port's idle state.
#ifndef PORT_STEPPATTERN_H
#define PORT_STEPPATTERN_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace port {

struct Step {
    std::uint8_t data;     // to dataPort
    std::uint8_t control;  // to controlPort, raw register value
};

inline constexpr std::size_t stepsPerCycle = 14;

// Control 0 and 2 switch the converter's output stage between its two
// halves; the data byte carries the switch states within each half.
inline constexpr std::array<Step, stepsPerCycle> stepPattern{{
    {0x60, 0}, {0x99, 0}, {0x92, 0}, {0x4B, 0}, {0x04, 0}, {0xC5, 2}, {0x8E, 2},
    {0x56, 2}, {0x1D, 2}, {0x24, 2}, {0x6B, 2}, {0xB2, 2}, {0xF1, 2}, {0x28, 0},
}};

// Idle: all data lines low first, then control 2, the state STOP leaves.
inline constexpr std::uint8_t idleData = 0x00;
inline constexpr std::uint8_t idleControl = 0x02;

}  // namespace port

#endif  // PORT_STEPPATTERN_H
