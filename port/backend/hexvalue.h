// Formats register addresses and values as "0x378" for error lines, and
// refuses a write to a register that takes none.
#ifndef PORT_BACKEND_HEXVALUE_H
#define PORT_BACKEND_HEXVALUE_H

#include <cstdint>
#include <string>

namespace port::backend {

std::string hexValue(unsigned value);

// Throws PortError unless address is dataPort or controlPort: "writing 0x1
// to 0x379 on gpiochip0 failed: not a writable register; use ...".
void checkWritable(std::uint16_t address, std::uint8_t value, const std::string& portName);

}  // namespace port::backend

#endif  // PORT_BACKEND_HEXVALUE_H
