// systemd's notify protocol, spoken without libsystemd: one datagram of
// "NAME=value" lines to the socket systemd names in $NOTIFY_SOCKET (a path,
// or an abstract name written with a leading '@'). READY=1 says the service
// can do its job, STATUS= is the line "systemctl status" shows, WATCHDOG=1
// keeps the watchdog from killing it. Without $NOTIFY_SOCKET (not started by
// systemd, or not Type=notify) every message is dropped. Plain C++.
#ifndef APP_SERVICE_SERVICENOTIFIER_H
#define APP_SERVICE_SERVICENOTIFIER_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace app::service {

class ServiceNotifier {
public:
    // The socket of $NOTIFY_SOCKET, or none.
    ServiceNotifier();
    // The socket at socketPath ('@' first: an abstract name); empty: none.
    explicit ServiceNotifier(const std::string& socketPath);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool active() const { return fd_ >= 0; }

    // One datagram; true when it was sent. Safe from any thread: each is one
    // system call on a socket opened once.
    bool send(std::string_view message) const;
    bool ready(std::string_view status) const;
    bool status(std::string_view line) const;
    bool watchdog() const;

    // $WATCHDOG_USEC when it is meant for this process ($WATCHDOG_PID unset
    // or this process's): how often systemd wants WATCHDOG=1 at the latest.
    static std::optional<std::chrono::microseconds> watchdogInterval();

private:
    int fd_ = -1;
    std::string address_;  // sun_path's bytes, '\0' first for an abstract name
};

}  // namespace app::service

#endif  // APP_SERVICE_SERVICENOTIFIER_H
