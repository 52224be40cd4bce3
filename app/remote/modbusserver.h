// The Modbus TCP server: listens where it was told (127.0.0.1:1502 unless
// named otherwise), serves at most a few clients on a thread of its own and
// hands each whole request to the register map. Off unless the program is
// started with --modbus.
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
#ifndef APP_REMOTE_MODBUSSERVER_H
#define APP_REMOTE_MODBUSSERVER_H

#include "app/remote/registermap.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
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
};

// "ADDRESS:PORT", such as "127.0.0.1:1502" or "0.0.0.0:1502" (port 0: one
// the kernel picks); nothing when the text is not one.
std::optional<Endpoint> parseEndpoint(std::string_view text);

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

    // Listens at once (throws ServerError when it cannot) and starts
    // serving; map and console (the map's) must outlive the server; the map
    // is used by its thread alone.
    ModbusServer(RegisterMap& map, Console& console, const Endpoint& endpoint,
                 std::chrono::nanoseconds idle = idleLimit);
    // Wakes the thread, which closes every connection and ends; joins it.
    // Never waits for the window: what it still had there never runs.
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Where it listens, with the port the kernel gave when 0 was asked for.
    const Endpoint& endpoint() const { return endpoint_; }
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
    };

    // Console::Listener, from the window's thread.
    void completed(RequestId id, WindowOutcome outcome) override;
    void changed() override;

    void serve();
    void accept();
    // Reads what came and answers each whole request in turn; false when
    // the client is to be dropped.
    bool take(Client& client, Clock::time_point now);
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
    const std::chrono::nanoseconds idle_;
    void* context_ = nullptr;  // libmodbus's modbus_t, which holds the listening socket
    int listenFd_ = -1;
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
