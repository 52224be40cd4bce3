// A bare Modbus TCP client over loopback, for the server's tests and its
// benchmark: plain sockets and requests framed by hand, so that the server
// gets exactly the bytes a case sends, malformed ones included.
#ifndef TESTS_SUPPORT_LOOPBACKMODBUS_H
#define TESTS_SUPPORT_LOOPBACKMODBUS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

using ModbusBytes = std::vector<std::uint8_t>;

// A connection to 127.0.0.1:port; -1 when it could not be made.
inline int connectToLoopback(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A request with its header: the transaction id, protocol 0, the length, unit 0xFF.
inline ModbusBytes modbusFrame(const ModbusBytes& pdu, std::uint16_t transaction = 0x1234)
{
    ModbusBytes out{static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction & 0xFF),
                    0, 0, 0, static_cast<std::uint8_t>(pdu.size() + 1), 0xFF};
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

#endif  // TESTS_SUPPORT_LOOPBACKMODBUS_H
