// The server thread: libmodbus makes the listening socket; connections are
// taken here with their peer's address, and requests are framed here, by the header's length, on reads
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

ModbusServer::ModbusServer(RegisterMap& map, Console& console, const Endpoint& endpoint,
                           std::chrono::nanoseconds idle)
    : map_(map), console_(console), endpoint_(endpoint), idle_(idle)
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
    newsFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0 || newsFd_ < 0) {
        const int error = errno;
        for (const int fd : {listenFd_, wakeFd_, newsFd_})
            if (fd >= 0)
                ::close(fd);
        modbus_free(context);
        throw ServerError("the Modbus server's wake-up fd could not be made: " + errorText(error));
    }
    console_.setListener(this);
    thread_ = std::thread([this] { serve(); });
}

ModbusServer::~ModbusServer()
{
    console_.setListener(nullptr);
    eventfd_write(wakeFd_, 1);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
    ::close(newsFd_);
    modbus_free(static_cast<modbus_t*>(context_));
}

void ModbusServer::completed(RequestId id, WindowOutcome outcome)
{
    {
        std::lock_guard lock(newsMutex_);
        done_.emplace_back(id, outcome);
    }
    eventfd_write(newsFd_, 1);
}

void ModbusServer::changed()
{
    eventfd_write(newsFd_, 1);
}

void ModbusServer::serve()
{
    std::vector<pollfd> polled;
    for (;;) {
        const Clock::time_point now = Clock::now();
        turns_.store(turns_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        constexpr std::int64_t longest = std::chrono::milliseconds(longestWait).count();
        int timeout = static_cast<int>(longest);
        if (const auto due = nextDeadline(now)) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
            timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, longest));
        }
        polled.assign({{wakeFd_, POLLIN, 0}, {newsFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
        // A client with enough waiting is not read until the window catches up.
        for (const Client& client : clients_)
            polled.push_back({client.fd, static_cast<short>(client.queued.size() < mostQueued ? POLLIN : 0), 0});
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
            continue;  // only EINTR and ENOMEM are possible; look again
        if (polled[0].revents != 0)
            break;
        const Clock::time_point woke = Clock::now();
        takeNews(woke);
        // Clients first: the one accepted now was not polled.
        for (std::size_t at = 0; at < clients_.size(); ++at)
            if (polled[3 + at].revents != 0 && !clients_[at].dropped && !take(clients_[at], woke))
                clients_[at].dropped = true;
        std::erase_if(clients_, [&](const Client& client) {
            if (client.dropped) {
                ::close(client.fd);
                map_.closed(client.id, woke);
            }
            return client.dropped;
        });
        if (polled[2].revents != 0)
            accept();
    }
    // What the window has not begun never runs; a start still waiting is called off.
    for (const Client& client : clients_) {
        ::close(client.fd);
        map_.closed(client.id, Clock::now());
    }
    clients_.clear();
}

void ModbusServer::takeNews(Clock::time_point now)
{
    eventfd_t rung = 0;
    eventfd_read(newsFd_, &rung);
    std::vector<std::pair<RequestId, WindowOutcome>> done;
    {
        std::lock_guard lock(newsMutex_);
        done.swap(done_);
    }
    for (const auto& [id, outcome] : done)
        if (const std::optional<RegisterMap::Answer> answer = map_.completed(id, outcome, now))
            deliver(*answer, now);
    for (const RegisterMap::Answer& answer : map_.tick(now))
        deliver(answer, now);
}

// Past the limit a connection is taken and closed at once, so that a flood
// of them never fills the backlog for the clients served.
void ModbusServer::accept()
{
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (clients_.size() >= mostClients) {
        ::close(fd);
        return;
    }
    std::array<char, INET_ADDRSTRLEN> address{};
    inet_ntop(AF_INET, &peer.sin_addr, address.data(), address.size());
    const Clock::time_point now = Clock::now();
    Client client;
    client.fd = fd;
    client.id = nextClient_++;
    client.heard = client.frameStarted = now;
    map_.connected(client.id, std::string(address.data()) + ":" + std::to_string(ntohs(peer.sin_port)));
    clients_.push_back(std::move(client));
}

std::optional<ModbusServer::Clock::time_point> ModbusServer::nextDeadline(Clock::time_point now)
{
    std::optional<Clock::time_point> due = map_.nextDue();
    const auto earlier = [&due](Clock::time_point at) {
        if (!due || at < *due)
            due = at;
    };
    std::erase_if(clients_, [&](const Client& client) {
        const Clock::time_point idleEnd = client.heard + idle_;
        const bool frameLate = !client.frame.empty() && now >= client.frameStarted + frameLimit;
        if (client.dropped || now >= idleEnd || frameLate) {
            ::close(client.fd);
            map_.closed(client.id, now);
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
        if (length == 0 || client.frame.size() != static_cast<std::size_t>(length))
            continue;
        Frame frame = std::exchange(client.frame, {});
        const std::span<const std::uint8_t> pdu(frame.data() + headerLength, frame.size() - headerLength);
        // A STOP acts now, also behind a request at the window.
        for (const RegisterMap::Answer& answer : map_.arrived(pdu, client.id, now))
            deliver(answer, now);
        if (client.dropped)
            return false;
        if (client.atWindow)
            client.queued.push_back(std::move(frame));
        else
            answer(client, std::move(frame), now);
        if (client.dropped)
            return false;
    }
    return true;
}

void ModbusServer::answer(Client& client, Frame frame, Clock::time_point now)
{
    const std::span<const std::uint8_t> pdu(frame.data() + headerLength, frame.size() - headerLength);
    if (const std::optional<std::vector<std::uint8_t>> reply = map_.handle(pdu, client.id, now))
        send(client, frame, *reply);
    else
        client.atWindow = std::move(frame);
}

// The answer to a request that was at the window, then the client's
// requests that waited behind it, until one goes to the window again.
void ModbusServer::deliver(const RegisterMap::Answer& answered, Clock::time_point now)
{
    const auto found = std::ranges::find(clients_, answered.client, &Client::id);
    if (found == clients_.end() || found->dropped || !found->atWindow)
        return;
    Client& client = *found;
    const Frame request = *std::exchange(client.atWindow, std::nullopt);
    send(client, request, answered.reply);
    while (!client.dropped && !client.atWindow && !client.queued.empty()) {
        Frame next = std::move(client.queued.front());
        client.queued.pop_front();
        answer(client, std::move(next), now);
    }
}

// Under the request's header. A client that does not take its reply at once
// is not reading: dropped rather than waited for.
void ModbusServer::send(Client& client, const Frame& request, const std::vector<std::uint8_t>& reply)
{
    std::array<std::uint8_t, largestFrame> out{};
    std::copy_n(request.begin(), lengthAt, out.begin());  // transaction and protocol id
    const std::size_t following = reply.size() + 1;
    out[lengthAt] = static_cast<std::uint8_t>(following >> byteBits);
    out[lengthAt + 1] = static_cast<std::uint8_t>(following & 0xFF);
    out[unitAt] = request[unitAt];
    std::ranges::copy(reply, out.begin() + headerLength);
    const std::size_t size = headerLength + reply.size();
    if (::send(client.fd, out.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        client.dropped = true;
}

}  // namespace app::remote
