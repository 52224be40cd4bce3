// The server thread: libmodbus makes the listening socket and accepts the
// connections; requests are framed here, by the header's length, on reads
// that never wait. libmodbus's own modbus_receive() waits on its thread for
// the bytes a request still lacks (up to its byte timeout for each), so one
// slow client would hold every other one and the communication-loss watch;
// and modbus_reply() answers from register tables of its own, a second copy
// of the map. The map's reply goes out under the request's header.
#include "app/remote/modbusserver.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace app::remote {

namespace {

// The Modbus TCP header (MBAP): transaction id, protocol id (0), the length
// of what follows it (unit id and PDU), the unit id.
constexpr std::size_t headerLength = 7;
constexpr std::size_t lengthAt = 4;
constexpr std::size_t unitAt = 6;
constexpr std::size_t largestFrame = MODBUS_TCP_MAX_ADU_LENGTH;  // 260
constexpr unsigned byteBits = 8;

std::uint16_t word(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] << byteBits | bytes[1]);
}

// The whole frame's length once its header has come; 0 while it has not;
// -1 for a header no request can have (protocol id not 0, a PDU of 0 or
// more than 253 bytes).
long frameLength(const std::vector<std::uint8_t>& frame)
{
    if (frame.size() < headerLength)
        return 0;
    const std::uint16_t protocol = word(&frame[2]);
    const std::uint16_t following = word(&frame[lengthAt]);
    if (protocol != 0 || following < 2 || following > MODBUS_MAX_PDU_LENGTH + 1)
        return -1;
    return static_cast<long>(unitAt + following);
}

std::string errorText(int error)
{
    return std::strerror(error);
}

}  // namespace

std::optional<Endpoint> parseEndpoint(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    Endpoint endpoint;
    endpoint.address = std::string(text.substr(0, colon));
    in_addr parsed{};
    if (inet_pton(AF_INET, endpoint.address.c_str(), &parsed) != 1)
        return std::nullopt;
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || value > 65535)
        return std::nullopt;
    endpoint.port = static_cast<std::uint16_t>(value);
    return endpoint;
}

ModbusServer::ModbusServer(RegisterMap& map, const Endpoint& endpoint, std::chrono::nanoseconds idle)
    : map_(map), endpoint_(endpoint), idle_(idle)
{
    modbus_t* context = modbus_new_tcp(endpoint.address.c_str(), endpoint.port);
    if (!context)
        throw ServerError("the Modbus server for " + endpoint.text() + " could not be set up: " +
                          modbus_strerror(errno));
    context_ = context;
    constexpr int backlog = 8;
    listenFd_ = modbus_tcp_listen(context, backlog);
    if (listenFd_ < 0) {
        const int error = errno;
        modbus_free(context);
        std::string hint;
        if (error == EACCES && endpoint.port < 1024)
            hint = "; a port below 1024 needs root or CAP_NET_BIND_SERVICE, or choose one from 1024 up";
        else if (error == EADDRINUSE)
            hint = "; another program listens there: choose another port";
        else if (error == EADDRNOTAVAIL)
            hint = "; the address is not one of this machine's";
        throw ServerError("listening for Modbus TCP on " + endpoint.text() + " failed: " + errorText(error) + hint);
    }
    // poll() says when a connection waits; one that went away before it was
    // taken must not leave accept() waiting for the next.
    fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &size) == 0)
        endpoint_.port = ntohs(bound.sin_port);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int error = errno;
        ::close(listenFd_);
        modbus_free(context);
        throw ServerError("the Modbus server's wake-up fd could not be made: " + errorText(error));
    }
    thread_ = std::thread([this] { serve(); });
}

ModbusServer::~ModbusServer()
{
    eventfd_write(wakeFd_, 1);
    thread_.join();
    for (const Client& client : clients_)
        ::close(client.fd);
    ::close(listenFd_);
    ::close(wakeFd_);
    modbus_free(static_cast<modbus_t*>(context_));
}

void ModbusServer::serve()
{
    std::vector<pollfd> polled;
    for (;;) {
        const Clock::time_point now = Clock::now();
        int timeout = -1;
        if (const auto due = nextDeadline(now)) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
            timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 60'000));
        }
        polled.assign({{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
        for (const Client& client : clients_)
            polled.push_back({client.fd, POLLIN, 0});
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
            continue;  // only EINTR and ENOMEM are possible; look again
        if (polled[0].revents != 0)
            return;
        const Clock::time_point woke = Clock::now();
        // Clients first: the one accepted now was not polled.
        std::size_t at = 0;
        std::erase_if(clients_, [&](Client& client) {
            const pollfd& entry = polled[2 + at++];
            const bool keep = entry.revents == 0 ? true : take(client, woke);
            if (!keep)
                ::close(client.fd);
            return !keep;
        });
        if (polled[1].revents != 0)
            accept();
    }
}

// Past the limit a connection is taken and closed at once, so that a flood
// of them never fills the backlog for the clients served.
void ModbusServer::accept()
{
    const int fd = modbus_tcp_accept(static_cast<modbus_t*>(context_), &listenFd_);
    if (fd < 0)
        return;
    if (clients_.size() >= mostClients) {
        ::close(fd);
        return;
    }
    const Clock::time_point now = Clock::now();
    clients_.push_back({fd, nextClient_++, {}, now, now});
}

std::optional<ModbusServer::Clock::time_point> ModbusServer::nextDeadline(Clock::time_point now)
{
    std::optional<Clock::time_point> due = map_.watch(now);
    const auto earlier = [&due](Clock::time_point at) {
        if (!due || at < *due)
            due = at;
    };
    std::erase_if(clients_, [&](const Client& client) {
        const Clock::time_point idleEnd = client.heard + idle_;
        const bool frameLate = !client.frame.empty() && now >= client.frameStarted + frameLimit;
        if (now >= idleEnd || frameLate) {
            ::close(client.fd);
            return true;
        }
        earlier(idleEnd);
        if (!client.frame.empty())
            earlier(client.frameStarted + frameLimit);
        return false;
    });
    return due;
}

bool ModbusServer::take(Client& client, Clock::time_point now)
{
    std::array<std::uint8_t, largestFrame> bytes{};
    const ssize_t got = recv(client.fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (got == 0)
        return false;  // closed by the client
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    client.heard = now;
    for (ssize_t at = 0; at < got; ++at) {
        if (client.frame.empty())
            client.frameStarted = now;
        client.frame.push_back(bytes[at]);
        const long length = frameLength(client.frame);
        if (length < 0)
            return false;  // no request has such a header, and what follows cannot be framed
        if (length > 0 && client.frame.size() == static_cast<std::size_t>(length)) {
            if (!answer(client, now))
                return false;
            client.frame.clear();
        }
    }
    return true;
}

bool ModbusServer::answer(Client& client, Clock::time_point now)
{
    const std::span<const std::uint8_t> pdu(client.frame.data() + headerLength, client.frame.size() - headerLength);
    const std::vector<std::uint8_t> reply = map_.handle(pdu, client.id, now);
    std::array<std::uint8_t, largestFrame> out{};
    std::copy_n(client.frame.begin(), lengthAt, out.begin());  // transaction and protocol id
    const std::size_t following = reply.size() + 1;
    out[lengthAt] = static_cast<std::uint8_t>(following >> byteBits);
    out[lengthAt + 1] = static_cast<std::uint8_t>(following & 0xFF);
    out[unitAt] = client.frame[unitAt];
    std::ranges::copy(reply, out.begin() + headerLength);
    const std::size_t size = headerLength + reply.size();
    // A client that does not take its reply at once is not reading: dropped
    // rather than waited for.
    return send(client.fd, out.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

}  // namespace app::remote
