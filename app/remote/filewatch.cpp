// The folders of the files watched with inotify.
#include "app/remote/filewatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace app::remote {

namespace {

constexpr std::uint32_t events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE;

}  // namespace

FileWatch::FileWatch(const std::vector<std::string>& paths)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (fd_ < 0) {
        problem_ = std::string("inotify: ") + std::strerror(errno);
        return;
    }
    for (const std::string& path : paths) {
        watch(path);
        std::error_code error;
        const std::filesystem::path target = std::filesystem::canonical(path, error);
        if (!error && target != std::filesystem::absolute(path))
            watch(target.string());
    }
}

FileWatch::~FileWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void FileWatch::watch(const std::string& path)
{
    const std::filesystem::path file = std::filesystem::absolute(path);
    const int folder = inotify_add_watch(fd_, file.parent_path().c_str(), events | IN_ONLYDIR);
    if (folder < 0)
        problem_ = file.parent_path().string() + ": " + std::strerror(errno);
    else
        names_[folder].insert(file.filename().string());
}

bool FileWatch::changed()
{
    bool seen = false;
    alignas(inotify_event) std::array<char, 16 * (sizeof(inotify_event) + NAME_MAX + 1)> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got <= 0)
            return seen;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            const auto folder = names_.find(event->wd);
            if (event->len > 0 && folder != names_.end() && folder->second.contains(event->name))
                seen = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace app::remote
