// The server thread: libmodbus makes the listening socket; connections are
// taken here with their peer's address, and requests are framed here, by the header's length, on reads
// that never wait. libmodbus's own modbus_receive() waits on its thread for
// the bytes a request still lacks (up to its byte timeout for each), so one
// slow client would hold every other one and the communication-loss watch;
// and modbus_reply() answers from register tables of its own, a second copy
// of the map. The map's reply goes out under the request's header.
//
// A secure connection is the same socket with a TlsSession between it and the
// framing: receive(), send() and the close are the only places that differ.
// TLS is OpenSSL's, driven from this thread's poll loop: Qt's QSslServer would
// need a Qt event loop on this thread and a second framing beside this one.
#include "app/remote/modbusserver.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

// Listens with libmodbus, which keeps the socket in context; endpoint gets
// the port the kernel gave.
int listenOn(Endpoint& endpoint, void*& context, const std::string& what)
{
    modbus_t* made = modbus_new_tcp(endpoint.address.c_str(), endpoint.port);
    if (!made)
        throw ServerError("the " + what + " server for " + endpoint.text() + " could not be set up: " +
                          modbus_strerror(errno));
    context = made;
    constexpr int backlog = 8;
    const int fd = modbus_tcp_listen(made, backlog);
    if (fd < 0) {
        const int error = errno;
        std::string hint;
        if (error == EACCES && endpoint.port < 1024)
            hint = "; a port below 1024 needs root or CAP_NET_BIND_SERVICE, or choose one from 1024 up";
        else if (error == EADDRINUSE)
            hint = "; another program listens there: choose another port";
        else if (error == EADDRNOTAVAIL)
            hint = "; the address is not one of this machine's";
        throw ServerError("listening for " + what + " on " + endpoint.text() + " failed: " + errorText(error) + hint);
    }
    // poll() says when a connection waits; one that went away before it was
    // taken must not leave accept() waiting for the next.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0)
        endpoint.port = ntohs(bound.sin_port);
    return fd;
}

// A role as the log shows it: a certificate's text, with no control character
// to forge a line.
std::string printable(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

}  // namespace

bool Endpoint::loopback() const
{
    in_addr parsed{};
    constexpr unsigned loopbackNet = 127;
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && ntohl(parsed.s_addr) >> 24 == loopbackNet;
}

std::optional<Endpoint> parseEndpoint(std::string_view text, std::optional<std::uint16_t> defaultPort)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        if (!defaultPort)
            return std::nullopt;
        return parseEndpoint(std::string(text) + ":" + std::to_string(*defaultPort));
    }
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

ModbusServer::ModbusServer(RegisterMap& map, Console& console, std::optional<Endpoint> plain,
                           std::optional<SecureListen> secure, std::chrono::nanoseconds idle)
    : map_(map), console_(console), idle_(idle)
{
    try {
        if (secure) {
            files_ = secure->files;
            handshakeLimit_ = secure->handshakeLimit;
            try {
                tls_ = TlsContext::load(files_);
            } catch (const TlsError& error) {
                throw ServerError(std::string("Modbus/TCP Security cannot start: ") + error.what());
            }
            secureEndpoint_ = secure->endpoint;
            secureListenFd_ = listenOn(*secureEndpoint_, secureContext_, "Modbus/TCP Security");
            fileWatch_ = std::make_unique<FileWatch>(
                std::vector{files_.certificate, files_.key, files_.authorities, files_.roles});
        }
        if (plain) {
            endpoint_ = *plain;
            listenFd_ = listenOn(endpoint_, context_, "Modbus TCP");
        } else if (secureEndpoint_) {
            endpoint_ = *secureEndpoint_;
        }
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        newsFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        reloadFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0 || newsFd_ < 0 || reloadFd_ < 0)
            throw ServerError("the Modbus server's wake-up fd could not be made: " + errorText(errno));
    } catch (...) {
        release();
        throw;
    }
    if (tls_) {
        console_.audit("remote: TLS: " + tls_->summary());
        if (!fileWatch_->problem().empty())
            console_.audit("remote: WARNING: the TLS files are not watched (" + fileWatch_->problem() +
                           "): a changed file is read again only on a reload");
    }
    console_.setListener(this);
    thread_ = std::thread([this] { serve(); });
}

ModbusServer::~ModbusServer()
{
    console_.setListener(nullptr);
    eventfd_write(wakeFd_, 1);
    thread_.join();
    release();
}

void ModbusServer::release()
{
    for (const int fd : {listenFd_, secureListenFd_, wakeFd_, newsFd_, reloadFd_})
        if (fd >= 0)
            ::close(fd);
    for (void* context : {context_, secureContext_})
        if (context)
            modbus_free(static_cast<modbus_t*>(context));
}

void ModbusServer::reload()
{
    eventfd_write(reloadFd_, 1);
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
    enum : std::size_t { wakeAt, newsAt, plainAt, secureAt, reloadAt, filesAt, clientsAt };
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
        // poll() leaves out the fds of -1: a listener or a watch not there.
        polled.assign({{wakeFd_, POLLIN, 0}, {newsFd_, POLLIN, 0}, {listenFd_, POLLIN, 0},
                       {secureListenFd_, POLLIN, 0}, {reloadFd_, POLLIN, 0},
                       {fileWatch_ ? fileWatch_->fd() : -1, POLLIN, 0}});
        // A client with enough waiting is not read until the window catches up.
        // Bytes TLS has taken off a socket and not yet given are not poll()'s
        // to see: such a client is read without waiting.
        std::vector<bool> buffered;
        for (const Client& client : clients_) {
            const bool reading = client.queued.size() < mostQueued;
            short events = reading ? POLLIN : 0;
            if (client.handshaking)
                events = client.wantsWrite ? POLLOUT : POLLIN;
            buffered.push_back(reading && client.tls && !client.handshaking && client.tls->pending());
            if (buffered.back())
                timeout = 0;
            polled.push_back({client.fd, events, 0});
        }
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
            continue;  // only EINTR and ENOMEM are possible; look again
        if (polled[wakeAt].revents != 0)
            break;
        const Clock::time_point woke = Clock::now();
        takeNews(woke);
        if (polled[reloadAt].revents != 0) {
            eventfd_t rung = 0;
            eventfd_read(reloadFd_, &rung);
            reloadFiles("asked");
        }
        if (polled[filesAt].revents != 0 && fileWatch_->changed())
            reloadDue_ = woke + reloadSettle;
        if (reloadDue_ && woke >= *reloadDue_) {
            reloadDue_.reset();
            reloadFiles("a file changed");
        }
        // Clients first: the one accepted now was not polled.
        for (std::size_t at = 0; at < buffered.size(); ++at)
            if ((polled[clientsAt + at].revents != 0 || buffered[at]) && !clients_[at].dropped &&
                !take(clients_[at], woke))
                clients_[at].dropped = true;
        hangUp(woke);
        if (polled[plainAt].revents != 0)
            accept(listenFd_, false);
        if (polled[secureAt].revents != 0)
            accept(secureListenFd_, true);
    }
    // What the window has not begun never runs; a start still waiting is called off.
    for (Client& client : clients_)
        client.dropped = true;
    hangUp(Clock::now());
}

void ModbusServer::hangUp(Clock::time_point now)
{
    for (Client& client : clients_) {
        if (!client.dropped)
            continue;
        client.tls.reset();  // its close_notify first
        ::close(client.fd);
        if (client.known)
            map_.closed(client.id, now);
    }
    std::erase_if(clients_, [](const Client& client) { return client.dropped; });
}

// For the connections made after it; the ones made before keep their
// context, and the rights their role had then.
void ModbusServer::reloadFiles(const std::string& why)
{
    if (!tls_)
        return;
    try {
        tls_ = TlsContext::load(files_);
    } catch (const TlsError& error) {
        console_.audit("remote: ERROR: the TLS files were not read again (" + why + "): " + error.what() +
                       "; the ones read before stay in use");
        return;
    }
    console_.audit("remote: TLS files read again (" + why + "), for new connections: " + tls_->summary());
    // A symbolic link may point elsewhere now.
    fileWatch_ = std::make_unique<FileWatch>(
        std::vector{files_.certificate, files_.key, files_.authorities, files_.roles});
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
// of them never fills the backlog for the clients served. A secure one is
// the map's once its handshake is done.
void ModbusServer::accept(int listenFd, bool secure)
{
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    if (clients_.size() >= mostClients && !makeWay(Clock::now())) {
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
    client.name = std::string(address.data()) + ":" + std::to_string(ntohs(peer.sin_port));
    client.address = ntohl(peer.sin_addr.s_addr);
    client.port = ntohs(peer.sin_port);
    if (secure) {
        try {
            client.tls = std::make_unique<TlsSession>(*tls_, fd);
        } catch (const TlsError& error) {
            console_.audit("remote: " + client.name + ": " + error.what());
            ::close(fd);
            return;
        }
        client.context = tls_;
        client.handshaking = true;
        client.handshakeEnd = now + handshakeLimit_;
    } else {
        // The plain transport knows nothing of who a client is beyond its
        // address: the unit id of each request says the rest (RegisterMap::addressed).
        map_.connected(client.id, {client.name, client.address, client.port, {}});
        client.known = true;
    }
    clients_.push_back(std::move(client));
}

// A connection still in its TLS handshake has proved nothing yet: at the
// limit the oldest of them makes way for a new connection, so that
// handshakes nobody finishes cannot keep a client with a certificate out
// (a PLC coming back within its watch) for as long as their limit.
bool ModbusServer::makeWay(Clock::time_point now)
{
    const auto oldest = std::ranges::min_element(clients_, {}, [](const Client& client) {
        return client.handshaking ? client.handshakeEnd : Clock::time_point::max();
    });
    if (oldest == clients_.end() || !oldest->handshaking)
        return false;
    console_.audit("remote: " + oldest->name + ": TLS handshake unfinished, dropped to let a new connection in");
    oldest->dropped = true;
    hangUp(now);
    return true;
}

// Done, the connection is named by its certificate's subject, and its rights
// are the ones its role has in the table it was accepted with.
bool ModbusServer::shake(Client& client, Clock::time_point now)
{
    switch (client.tls->handshake()) {
    case TlsSession::Progress::WantsRead:
        client.wantsWrite = false;
        return true;
    case TlsSession::Progress::WantsWrite:
        client.wantsWrite = true;
        return true;
    case TlsSession::Progress::Failed:
        console_.audit("remote: " + client.name + ": TLS refused: " + client.tls->failure());
        return false;
    case TlsSession::Progress::Done:
        break;
    }
    client.handshaking = client.wantsWrite = false;
    // TLS 1.3 without session tickets ends with the client's Finished, which
    // the server answers with nothing: its ACK would wait for the kernel's
    // delayed-ACK timer (40 ms), and the client's first request with it
    // (Nagle). Sent now.
    constexpr int quickAck = 1;
    setsockopt(client.fd, IPPROTO_TCP, TCP_QUICKACK, &quickAck, sizeof quickAck);
    const std::optional<std::string> role = client.tls->peerRole();
    const RolesTable& table = client.context->roles();
    client.rights = table.rightsOf(role);
    client.role = !role ? "no role"
                        : "role \"" + printable(*role) + "\"" + (table.names(*role) ? "" : ", not in the roles table");
    client.context.reset();
    const std::string subject = client.tls->peerSubject();
    client.name += " (" + subject + ")";
    client.heard = now;
    console_.audit("remote: " + client.name + ": " + client.tls->protocol() + ", " + client.role +
                   ", may: " + rightsText(client.rights));
    // The certificate says who the client is, whichever connection it comes on.
    map_.connected(client.id, {client.name, client.address, client.port, subject});
    client.known = true;
    return true;
}

std::optional<ModbusServer::Clock::time_point> ModbusServer::nextDeadline(Clock::time_point now)
{
    std::optional<Clock::time_point> due = map_.nextDue();
    const auto earlier = [&due](Clock::time_point at) {
        if (!due || at < *due)
            due = at;
    };
    if (reloadDue_)
        earlier(*reloadDue_);
    for (Client& client : clients_) {
        const Clock::time_point idleEnd = client.heard + idle_;
        const bool frameLate = !client.frame.empty() && now >= client.frameStarted + frameLimit;
        const bool handshakeLate = client.handshaking && now >= client.handshakeEnd;
        if (handshakeLate)
            console_.audit("remote: " + client.name + ": no TLS handshake within " +
                           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(handshakeLimit_).count()) +
                           " ms: dropped");
        client.dropped = client.dropped || now >= idleEnd || frameLate || handshakeLate;
        if (client.dropped)
            continue;
        earlier(idleEnd);
        if (!client.frame.empty())
            earlier(client.frameStarted + frameLimit);
        if (client.handshaking)
            earlier(client.handshakeEnd);
    }
    hangUp(now);
    return due;
}

std::optional<std::size_t> ModbusServer::receive(Client& client, std::span<std::uint8_t> into)
{
    if (client.tls)
        return client.tls->read(into);
    const ssize_t got = recv(client.fd, into.data(), into.size(), MSG_DONTWAIT);
    if (got > 0)
        return static_cast<std::size_t>(got);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    return std::nullopt;  // closed by the client, or broken
}

Rights ModbusServer::missingRights(const Client& client, const Frame& frame)
{
    const std::span<const std::uint8_t> pdu(frame.data() + headerLength, frame.size() - headerLength);
    return static_cast<Rights>(rightsNeeded(pdu) & ~client.rights);
}

// A TLS record may hold more than one read takes: what is left is read in
// turn, as far as the queue allows.
bool ModbusServer::take(Client& client, Clock::time_point now)
{
    if (client.handshaking) {
        if (!shake(client, now))
            return false;
        if (client.handshaking)
            return true;
    }
    std::array<std::uint8_t, largestFrame> bytes{};
    do {
        const std::optional<std::size_t> got = receive(client, bytes);
        if (!got)
            return false;
        if (*got == 0)
            return true;
        client.heard = now;
        for (std::size_t at = 0; at < *got; ++at) {
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
            // A STOP acts now, also behind a request at the window; one the
            // client's role may not send never reaches the map.
            map_.addressed(client.id, frame[unitAt]);
            if (missingRights(client, frame) == right::none)
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
    } while (client.tls && client.tls->pending() && client.queued.size() < mostQueued);
    return true;
}

void ModbusServer::answer(Client& client, Frame frame, Clock::time_point now)
{
    const std::span<const std::uint8_t> pdu(frame.data() + headerLength, frame.size() - headerLength);
    map_.addressed(client.id, frame[unitAt]);
    if (const Rights missing = missingRights(client, frame); missing != right::none) {
        console_.audit("remote: " + client.name + ", " + client.role + ": function " + std::to_string(pdu[0]) +
                       " refused, exception 1 (needs " + rightsText(missing) + ")");
        send(client, frame, exceptionReply(pdu[0], Exception::IllegalFunction));
    } else if (const std::optional<std::vector<std::uint8_t>> reply = map_.handle(pdu, client.id, now))
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
    // Over TLS the header, the function code and the rest are records of
    // their own, in one send(): clients read a reply in those steps and wait
    // on the socket between them, where bytes that TLS has already taken off
    // it are not seen (pymodbus's sync client reads 8 bytes, then waits).
    const std::span<const std::uint8_t> whole(out.data(), size);
    const bool sent = client.tls ? client.tls->write({whole.first(headerLength), whole.subspan(headerLength, 1),
                                                      whole.subspan(headerLength + 1)})
                                 : ::send(client.fd, out.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL) ==
                                       static_cast<ssize_t>(size);
    if (!sent)
        client.dropped = true;
}

}  // namespace app::remote
