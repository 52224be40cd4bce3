// The port lock: flock on the device node. Not a ppdev claim, which would put
// back the control lines of an earlier holder; the node is opened read-only
// and only for the lock, so nothing reaches the port from here.
#include "port/backend/portlock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace port::backend {

namespace {

// The holder of a whole-file lock on the node fd refers to, as /proc/locks
// lists it; 0 when it cannot be told (no /proc, another pid namespace).
int holderPid(int fd)
{
    struct stat node {};
    if (::fstat(fd, &node) != 0)
        return 0;
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    int holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks)) {
        // "1: FLOCK  ADVISORY  WRITE 15582 fe:00:10952816 0 EOF"; waiters
        // carry "->" in front and so never match FLOCK.
        char kind[16], mode[16], access[16];
        int pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%lu", kind, mode, access, &pid, &major, &minor,
                        &inode) == 7 &&
            std::strcmp(kind, "FLOCK") == 0 && major == ::major(node.st_dev) &&
            minor == ::minor(node.st_dev) && inode == node.st_ino && pid > 0)
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

}  // namespace

PortLock::~PortLock()
{
    release();
}

bool PortLock::acquire(const std::string& path)
{
    release();
    inUse_ = false;
    reason_.clear();
    // O_NOCTTY: a terminal named by mistake in --port must not become ours.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason_ = deviceProblem(path, errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            inUse_ = true;
            const int holder = holderPid(fd);
            reason_ = path + " is in use by another program" +
                      (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()) +
                      "; close the other frequency-converter first";
        } else {
            reason_ = "locking " + path + " failed: " + std::strerror(error);
        }
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void PortLock::release()
{
    if (fd_ < 0)
        return;
    // Closing alone would keep the lock while a forked child still shares the file.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

std::string deviceProblem(const std::string& path, int error)
{
    std::string problem = path + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM)
        problem += "; add the user to group lp";
    else if (error == ENXIO || error == ENODEV)
        problem += "; check that the port is enabled in the BIOS and that parport_pc and ppdev are loaded";
    return problem;
}

}  // namespace port::backend
