// Formats register addresses and values as "0x378" for error lines.
#ifndef PORT_BACKEND_HEXVALUE_H
#define PORT_BACKEND_HEXVALUE_H

#include <string>

namespace port::backend {

std::string hexValue(unsigned value);

}  // namespace port::backend

#endif  // PORT_BACKEND_HEXVALUE_H
