// Formats register addresses and values as "0x378" for error lines.
#ifndef PORT_HEXVALUE_H
#define PORT_HEXVALUE_H

#include <string>

namespace port {

std::string hexValue(unsigned value);

}  // namespace port

#endif  // PORT_HEXVALUE_H
