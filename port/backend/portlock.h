// One program per parallel port: an advisory lock on the device node, held for
// the life of the program, so that a second console cannot drive the same port.
#ifndef PORT_BACKEND_PORTLOCK_H
#define PORT_BACKEND_PORTLOCK_H

#include <string>

namespace port::backend {

class PortLock {
public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Locks the node at path, or says in reason() why not. Taking it again
    // first lets go of the node held so far.
    bool acquire(const std::string& path);
    // Safe to call twice, and when nothing is held.
    void release();

    bool held() const { return fd_ >= 0; }
    // Another program holds the node: the one failure no fallback may hide.
    bool inUse() const { return inUse_; }
    // One line for the last failed acquire: what failed, why, the remedy.
    const std::string& reason() const { return reason_; }

private:
    int fd_ = -1;
    bool inUse_ = false;
    std::string reason_;
};

// "/dev/parport0: Permission denied; add the user to group lp": a device node
// that would not open, the errno text and the remedy where there is one.
std::string deviceProblem(const std::string& path, int error);

}  // namespace port::backend

#endif  // PORT_BACKEND_PORTLOCK_H
