// The commissioning file: what the person who installed the converter
// decided once, in place of the operator at the window (the port, where
// Modbus listens, plain or over TLS with its files, whether remote control
// is on, the communication-loss timeout, a keep-alive pin, and the motor's values that the network may not change). Plain
// "key = value" lines with # comments. Read and checked whole before the
// port is opened: a bad file is one error line naming the file, the line
// and the key, and nothing is written to any port. Plain C++.
#ifndef APP_SERVICE_COMMISSIONING_H
#define APP_SERVICE_COMMISSIONING_H

#include "app/remote/modbusserver.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace app::service {

// Where the service reads it when no --config names another.
inline constexpr char defaultCommissioningPath[] = "/etc/frequency-converter/converter.conf";

// The motor's values the file fixes, in the window's units. Each one given
// is typed into its field at start and locked against the network's writes.
struct MotorValues {
    std::optional<double> ratedVoltage;   // V, Text1 (40003)
    std::optional<double> ratedSpeed;     // rpm, Text5 (40004)
    std::optional<double> poles;          // Text6 (40005)
    std::optional<double> voltsPerHertz;  // V/Hz, Text8 (40006)

    bool any() const { return ratedVoltage || ratedSpeed || poles || voltsPerHertz; }
};

struct Commissioning {
    std::string port;  // a --port choice other than auto; no default
    std::string keepAlive;  // a --keep-alive pin; empty: none
    // Plain Modbus TCP; none with "listen = off" (Modbus/TCP Security alone).
    std::optional<remote::Endpoint> listen = remote::Endpoint{"127.0.0.1", 1502};
    bool insecure = false;  // a listen address off the loopback network is allowed
    // Modbus/TCP Security: tls-listen with its four files; none by default.
    std::optional<remote::SecureListen> secure;
    bool remoteControl = false;
    std::chrono::milliseconds communicationLossTimeout{1000};
    MotorValues motor;
};

// The file taken, or the one line that says why not:
// "FILE:LINE: KEY: what is wrong; the remedy".
struct CommissioningRead {
    std::optional<Commissioning> commissioning;
    std::string error;
};

// text is the file's content; path names it in the error.
CommissioningRead parseCommissioning(std::string_view text, const std::string& path);
// Reads the file at path, then as parseCommissioning.
CommissioningRead readCommissioning(const std::string& path);

}  // namespace app::service

#endif  // APP_SERVICE_COMMISSIONING_H
