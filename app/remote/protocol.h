// The Modbus application protocol as far as the console serves it: request
// PDUs decoded into what they ask, and the replies built. What the protocol
// itself refuses (a function not served, a count or a byte count it does not
// allow, a PDU cut short or too long) is an exception here; what the
// registers allow is the register map's to say.
#ifndef APP_REMOTE_PROTOCOL_H
#define APP_REMOTE_PROTOCOL_H

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace app::remote {

namespace function {
inline constexpr std::uint8_t readHolding = 3;
inline constexpr std::uint8_t readInput = 4;
inline constexpr std::uint8_t writeSingle = 6;
inline constexpr std::uint8_t writeMultiple = 16;
inline constexpr std::uint8_t readWriteMultiple = 23;
inline constexpr std::uint8_t encapsulated = 43;  // with MEI type 14: device identification
inline constexpr std::uint8_t exceptionBit = 0x80;
}  // namespace function

inline constexpr std::uint8_t readDeviceIdentification = 14;  // the MEI type

enum class Exception : std::uint8_t {
    IllegalFunction = 1,  // not served; or remote control is off, or another connection is in control
    IllegalAddress = 2,   // the block reaches past the map, or writes a register that is only read
    IllegalValue = 3,     // a count or value out of range
    DeviceFailure = 4,    // the console refused: the refusal register says why
    Busy = 6,             // the window did not begin the request in time: it never ran
};

struct Request {
    enum class Table : std::uint8_t { Holding, Input };
    struct Read {
        Table table;
        std::uint16_t start;
        std::uint16_t count;
    };
    struct Write {
        std::uint16_t start;
        std::vector<std::uint16_t> values;
    };
    // Read Device ID code (1 basic, 2 regular, 3 extended stream, 4 one
    // object) and the object to begin with.
    struct Identification {
        std::uint8_t code;
        std::uint8_t object;
    };

    std::uint8_t function = 0;
    std::optional<Write> write;  // 6, 16, 23 (written before the read)
    std::optional<Read> read;    // 3, 4, 23
    std::optional<Identification> identification;  // 43/14
};

// The protocol's limits on one request.
inline constexpr std::uint16_t mostRead = 125;
inline constexpr std::uint16_t mostWritten = 123;
inline constexpr std::uint16_t mostWrittenWithRead = 121;

std::variant<Request, Exception> decode(std::span<const std::uint8_t> pdu);

std::vector<std::uint8_t> exceptionReply(std::uint8_t function, Exception exception);
// The registers read (3, 4, 23).
std::vector<std::uint8_t> readReply(std::uint8_t function, std::span<const std::uint16_t> registers);
// A write's echo: the address and the value (6), or the address and the count (16).
std::vector<std::uint8_t> writeReply(const Request& request);

// The device identification objects served: the basic ones, 0 vendor name,
// 1 product code, 2 revision.
struct Identity {
    std::string_view vendor;
    std::string_view productCode;
    std::string_view revision;
};
std::vector<std::uint8_t> identificationReply(const Request::Identification& asked, const Identity& identity);

}  // namespace app::remote

#endif  // APP_REMOTE_PROTOCOL_H
