// Decoding requests and building replies, byte by byte as the protocol lays
// them out: 16-bit values high byte first.
#include "app/remote/protocol.h"

#include <array>

namespace app::remote {

namespace {

constexpr unsigned byteBits = 8;
constexpr std::uint8_t basicObjects = 3;  // vendor name, product code, revision
// Basic identification, served as a stream and one object at a time.
constexpr std::uint8_t conformityLevel = 0x81;
constexpr std::uint8_t oneObject = 4;  // Read Device ID code for a single object

std::uint16_t word(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << byteBits | bytes[at + 1]);
}

void putWord(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> byteBits));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::vector<std::uint16_t> words(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t count)
{
    std::vector<std::uint16_t> values(count);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = word(bytes, at + 2 * i);
    return values;
}

std::variant<Request, Exception> decodeRead(Request request, std::span<const std::uint8_t> data)
{
    if (data.size() != 4)
        return Exception::IllegalValue;
    const std::uint16_t count = word(data, 2);
    if (count < 1 || count > mostRead)
        return Exception::IllegalValue;
    const auto table =
        request.function == function::readHolding ? Request::Table::Holding : Request::Table::Input;
    request.read = Request::Read{table, word(data, 0), count};
    return request;
}

// Address, count, byte count, then the values: the count within limit and
// the bytes to match it.
std::variant<Request, Exception> decodeWriteMultiple(Request request, std::span<const std::uint8_t> data)
{
    if (data.size() < 5)
        return Exception::IllegalValue;
    const std::uint16_t count = word(data, 2);
    const std::size_t bytes = data[4];
    if (count < 1 || count > mostWritten || bytes != 2u * count || data.size() != 5 + bytes)
        return Exception::IllegalValue;
    request.write = Request::Write{word(data, 0), words(data, 5, count)};
    return request;
}

// Read address and count, write address and count, byte count, the values.
std::variant<Request, Exception> decodeReadWrite(Request request, std::span<const std::uint8_t> data)
{
    if (data.size() < 9)
        return Exception::IllegalValue;
    const std::uint16_t readCount = word(data, 2);
    const std::uint16_t writeCount = word(data, 6);
    const std::size_t bytes = data[8];
    if (readCount < 1 || readCount > mostRead || writeCount < 1 || writeCount > mostWrittenWithRead ||
        bytes != 2u * writeCount || data.size() != 9 + bytes)
        return Exception::IllegalValue;
    request.read = Request::Read{Request::Table::Holding, word(data, 0), readCount};
    request.write = Request::Write{word(data, 4), words(data, 9, writeCount)};
    return request;
}

// MEI type, Read Device ID code, object id. Another MEI type is another
// function, not served.
std::variant<Request, Exception> decodeIdentification(Request request, std::span<const std::uint8_t> data)
{
    if (data.empty() || data[0] != readDeviceIdentification)
        return Exception::IllegalFunction;
    if (data.size() != 3 || data[1] < 1 || data[1] > oneObject)
        return Exception::IllegalValue;
    if (data[1] == oneObject && data[2] >= basicObjects)
        return Exception::IllegalAddress;
    request.identification = Request::Identification{data[1], data[2]};
    return request;
}

}  // namespace

std::variant<Request, Exception> decode(std::span<const std::uint8_t> pdu)
{
    if (pdu.empty())
        return Exception::IllegalFunction;
    Request request;
    request.function = pdu[0];
    const std::span<const std::uint8_t> data = pdu.subspan(1);
    switch (request.function) {
    case function::readHolding:
    case function::readInput:
        return decodeRead(std::move(request), data);
    case function::writeSingle:
        if (data.size() != 4)
            return Exception::IllegalValue;
        request.write = Request::Write{word(data, 0), {word(data, 2)}};
        return request;
    case function::writeMultiple:
        return decodeWriteMultiple(std::move(request), data);
    case function::readWriteMultiple:
        return decodeReadWrite(std::move(request), data);
    case function::encapsulated:
        return decodeIdentification(std::move(request), data);
    default:
        return Exception::IllegalFunction;
    }
}

std::vector<std::uint8_t> exceptionReply(std::uint8_t function, Exception exception)
{
    return {static_cast<std::uint8_t>((function & ~function::exceptionBit) | function::exceptionBit),
            static_cast<std::uint8_t>(exception)};
}

std::vector<std::uint8_t> readReply(std::uint8_t function, std::span<const std::uint16_t> registers)
{
    std::vector<std::uint8_t> reply{function, static_cast<std::uint8_t>(2 * registers.size())};
    for (const std::uint16_t value : registers)
        putWord(reply, value);
    return reply;
}

std::vector<std::uint8_t> writeReply(const Request& request)
{
    std::vector<std::uint8_t> reply{request.function};
    putWord(reply, request.write->start);
    putWord(reply, request.function == function::writeSingle ? request.write->values[0]
                                                              : static_cast<std::uint16_t>(request.write->values.size()));
    return reply;
}

// A stream from the object asked for (from the first where there is no such
// object) to the last; code 4 gives the one object asked for. All three fit
// one reply: nothing more follows.
std::vector<std::uint8_t> identificationReply(const Request::Identification& asked, const Identity& identity)
{
    const std::array<std::string_view, basicObjects> objects{identity.vendor, identity.productCode, identity.revision};
    const std::uint8_t first = asked.object < basicObjects ? asked.object : 0;
    const std::uint8_t last = asked.code == oneObject ? first : basicObjects - 1;
    std::vector<std::uint8_t> reply{function::encapsulated, readDeviceIdentification, asked.code, conformityLevel,
                                    0 /* more follows: no */, 0 /* next object */,
                                    static_cast<std::uint8_t>(last - first + 1)};
    for (std::uint8_t id = first; id <= last; ++id) {
        const std::string_view value = objects[id].substr(0, 64);
        reply.push_back(id);
        reply.push_back(static_cast<std::uint8_t>(value.size()));
        reply.insert(reply.end(), value.begin(), value.end());
    }
    return reply;
}

}  // namespace app::remote
