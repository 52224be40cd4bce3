// The datagram goes out with sendto() on a socket opened at start, so that a
// watchdog thread can send while the main thread does, and nothing but the
// one system call happens on the way.
#include "app/service/servicenotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace app::service {

namespace {

std::string_view environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

}  // namespace

ServiceNotifier::ServiceNotifier() : ServiceNotifier(std::string(environment("NOTIFY_SOCKET"))) {}

ServiceNotifier::ServiceNotifier(const std::string& socketPath)
{
    // systemd gives an absolute path or an abstract name; anything else
    // (too long for sun_path too) is not its socket.
    if (socketPath.size() < 2 || socketPath.size() >= sizeof(sockaddr_un::sun_path) ||
        (socketPath[0] != '/' && socketPath[0] != '@'))
        return;
    address_ = socketPath;
    if (address_[0] == '@')
        address_[0] = '\0';  // abstract: no file, and no terminating NUL in the address
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

ServiceNotifier::~ServiceNotifier()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ServiceNotifier::send(std::string_view message) const
{
    if (fd_ < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, address_.data(), address_.size());
    // A path counts its terminating NUL; an abstract name is exactly its bytes.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() +
                                               (address_[0] == '\0' ? 0 : 1));
    return ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                    length) == static_cast<ssize_t>(message.size());
}

bool ServiceNotifier::ready(std::string_view status) const
{
    return send("READY=1\nSTATUS=" + std::string(status));
}

bool ServiceNotifier::status(std::string_view line) const
{
    return send("STATUS=" + std::string(line));
}

bool ServiceNotifier::watchdog() const
{
    return send("WATCHDOG=1");
}

std::optional<std::chrono::microseconds> ServiceNotifier::watchdogInterval()
{
    const auto number = [](std::string_view text) -> std::optional<unsigned long long> {
        unsigned long long value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size())
            return std::nullopt;
        return value;
    };
    if (const std::string_view pid = environment("WATCHDOG_PID"); !pid.empty())
        if (number(pid) != static_cast<unsigned long long>(::getpid()))
            return std::nullopt;
    const std::optional<unsigned long long> microseconds = number(environment("WATCHDOG_USEC"));
    if (!microseconds || *microseconds == 0)
        return std::nullopt;
    return std::chrono::microseconds(*microseconds);
}

}  // namespace app::service
