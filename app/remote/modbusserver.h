// The Modbus TCP server: listens where it was told (127.0.0.1:1502 unless
// named otherwise), serves at most a few clients on a thread of its own and
// hands each whole request to the register map. Off unless the program is
// started with --modbus or --modbus-tls.
//
// Never waits: every socket is read without waiting, a request is framed by
// its header's length (at most 260 bytes), and the thread sleeps in poll()
// until a socket has news, the window has done a request, the map's watch
// or a client's limit is due, or the destructor rings. A request that waits
// for the window holds only its own client's later requests, which are
// answered in order once it is done; a STOP among them acts as it arrives.
// A client over the limit is accepted and closed at once; one silent for
// idleLimit, one whose request is not whole within frameLimit, one that
// sends a header no request can have or that does not take its reply is
// dropped.
//
// Modbus/TCP Security: the same frames inside TLS, on a listener of its own
// beside the plain one or alone. Its connections count towards the same
// limit; one whose handshake is not done within its limit is dropped while
// the others and the watch go on. The map hears of a secure connection once
// its handshake is done, by its address and its certificate's subject, and
// each of its requests needs the rights its certificate's role has in the
// roles table (rolestable.h): one refused gets exception 1 and a line in the
// log, and never reaches the map, so a STOP refused does not act. The files
// are read again on reload() and when one of them changes, for the
// connections made after it; a reload that fails keeps the files in use.
#ifndef APP_REMOTE_MODBUSSERVER_H
#define APP_REMOTE_MODBUSSERVER_H

#include "app/remote/filewatch.h"
#include "app/remote/registermap.h"
#include "app/remote/rolestable.h"
#include "app/remote/tlscontext.h"
#include "app/remote/tlssession.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace app::remote {

// Where to listen: an IPv4 address and a port.
struct Endpoint {
    std::string address = "127.0.0.1";
    std::uint16_t port = 1502;

    std::string text() const { return address + ":" + std::to_string(port); }
    // 127.0.0.0/8: nobody on another machine can reach it.
    bool loopback() const;
};

// "ADDRESS:PORT", such as "127.0.0.1:1502" or "0.0.0.0:1502" (port 0: one
// the kernel picks), or "ADDRESS" alone where a default port is given;
// nothing when the text is not one.
std::optional<Endpoint> parseEndpoint(std::string_view text, std::optional<std::uint16_t> defaultPort = {});

// Modbus/TCP Security's listener: where, its files, how long a handshake may take.
struct SecureListen {
    static constexpr std::uint16_t defaultPort = 802;
    Endpoint endpoint;
    TlsFiles files;
    std::chrono::nanoseconds handshakeLimit = std::chrono::seconds(5);
};

// Why the server could not start, in one line: what failed, the value, a hint.
class ServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ModbusServer : private Console::Listener {
public:
    static constexpr std::size_t mostClients = 4;
    static constexpr std::chrono::seconds idleLimit{60};
    static constexpr std::chrono::seconds frameLimit{1};

    // Requests a client may have waiting behind one at the window before
    // the server stops reading its socket.
    static constexpr std::size_t mostQueued = 32;
    // The thread looks up at least this often with nothing to do, so that a
    // watchdog can tell a loop that waits from one that is stuck (turns()).
    static constexpr std::chrono::seconds longestWait{1};

    // A file changed: the reload waits this long for the others written with it.
    static constexpr std::chrono::milliseconds reloadSettle{250};

    // Listens at once (throws ServerError when it cannot, or when the TLS
    // files cannot be used) and starts serving: plain Modbus TCP, Modbus/TCP
    // Security, or both; map and console (the map's) must outlive the
    // server; the map is used by its thread alone.
    ModbusServer(RegisterMap& map, Console& console, std::optional<Endpoint> plain,
                 std::optional<SecureListen> secure, std::chrono::nanoseconds idle = idleLimit);
    ModbusServer(RegisterMap& map, Console& console, const Endpoint& endpoint,
                 std::chrono::nanoseconds idle = idleLimit)
        : ModbusServer(map, console, endpoint, std::nullopt, idle)
    {
    }
    // Wakes the thread, which closes every connection and ends; joins it.
    // Never waits for the window: what it still had there never runs.
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Where it listens, with the port the kernel gave when 0 was asked for:
    // the plain listener where there is one, else the secure one.
    const Endpoint& endpoint() const { return endpoint_; }
    const std::optional<Endpoint>& secureEndpoint() const { return secureEndpoint_; }

    // Reads the TLS files again for the connections made after it, on the
    // server's thread; from any thread, returns at once (one write to an
    // eventfd: a signal handler may call it too). The log says what was
    // loaded, or why not and that the files in use stay. Nothing without TLS.
    void reload();
    // How often the thread's loop has come round: at least once a longestWait.
    std::uint64_t turns() const { return turns_.load(std::memory_order_relaxed); }

private:
    using Clock = RegisterMap::Clock;
    using Frame = std::vector<std::uint8_t>;
    struct Client {
        int fd = -1;
        RegisterMap::ClientId id = 0;
        Frame frame;                     // what has come of the request under way
        Clock::time_point heard;         // its last byte
        Clock::time_point frameStarted;  // the first byte of the request under way
        std::optional<Frame> atWindow;   // the request the window does, for its reply's header
        std::deque<Frame> queued;        // whole requests behind it
        bool dropped = false;
        // Secure: the session, its handshake's end, and what the client may do.
        std::unique_ptr<TlsSession> tls;
        std::shared_ptr<const TlsContext> context;  // the one it was accepted with, until its handshake is done
        Clock::time_point handshakeEnd;
        bool handshaking = false;
        bool wantsWrite = false;  // the handshake waits to send
        Rights rights = right::all;  // plain: whatever the map allows
        std::string name;            // address, and subject once known
        std::uint32_t address = 0;   // IPv4, host order
        std::uint16_t port = 0;
        std::string role;            // "role \"operator\"", for the log
        bool known = false;          // the map was told of it
    };

    // Console::Listener, from the window's thread.
    void completed(RequestId id, WindowOutcome outcome) override;
    void changed() override;

    void release();
    void serve();
    void accept(int listenFd, bool secure);
    bool makeWay(Clock::time_point now);
    // The handshake a step further; false when the client is to be dropped.
    bool shake(Client& client, Clock::time_point now);
    // Reads what came and answers each whole request in turn; false when
    // the client is to be dropped.
    bool take(Client& client, Clock::time_point now);
    // Bytes that came: 0 when none yet, nothing when the connection is over.
    std::optional<std::size_t> receive(Client& client, std::span<std::uint8_t> into);
    // What the request needs that the client's role does not have.
    static Rights missingRights(const Client& client, const Frame& frame);
    // Closes the marked clients and tells the map.
    void hangUp(Clock::time_point now);
    void reloadFiles(const std::string& why);
    // The request's turn: answered, or left at the window.
    void answer(Client& client, Frame frame, Clock::time_point now);
    void deliver(const RegisterMap::Answer& answer, Clock::time_point now);
    void send(Client& client, const Frame& request, const std::vector<std::uint8_t>& reply);
    void takeNews(Clock::time_point now);
    // The earliest of the clients' limits and the map's, or none.
    std::optional<Clock::time_point> nextDeadline(Clock::time_point now);

    RegisterMap& map_;
    Console& console_;
    Endpoint endpoint_;
    std::optional<Endpoint> secureEndpoint_;
    const std::chrono::nanoseconds idle_;
    void* context_ = nullptr;  // libmodbus's modbus_t, which holds the listening socket
    void* secureContext_ = nullptr;
    int listenFd_ = -1;
    int secureListenFd_ = -1;
    // The TLS files, the context new connections take, and what rings a reload.
    TlsFiles files_;
    std::chrono::nanoseconds handshakeLimit_{};
    std::shared_ptr<const TlsContext> tls_;
    std::unique_ptr<FileWatch> fileWatch_;
    std::optional<Clock::time_point> reloadDue_;  // a file changed
    int reloadFd_ = -1;
    int wakeFd_ = -1;  // the destructor rings it
    int newsFd_ = -1;  // the window rings it: a request done, a change
    std::mutex newsMutex_;
    std::vector<std::pair<RequestId, WindowOutcome>> done_;  // guarded by newsMutex_
    std::uint64_t nextClient_ = 1;
    std::vector<Client> clients_;  // the thread's alone
    std::atomic<std::uint64_t> turns_{0};
    std::thread thread_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_MODBUSSERVER_H
