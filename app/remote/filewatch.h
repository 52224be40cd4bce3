// Tells when any of a few files may have changed, for a reload without a
// restart: inotify on the folders that hold them, since a file replaced by a
// rename (as editors and certificate tools replace one) is a new inode that a
// watch on the old one would never report; and on the folders their symbolic
// links point into. Plain C++; poll its fd with the others.
#ifndef APP_REMOTE_FILEWATCH_H
#define APP_REMOTE_FILEWATCH_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace app::remote {

class FileWatch {
public:
    explicit FileWatch(const std::vector<std::string>& paths);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Readable when something happened in a folder watched; -1 when nothing
    // could be watched (problem() says why).
    int fd() const { return fd_; }
    const std::string& problem() const { return problem_; }
    // Takes what happened, without waiting: true when one of the files was
    // written, created, moved there or removed.
    bool changed();

private:
    void watch(const std::string& path);

    int fd_ = -1;
    std::map<int, std::set<std::string>> names_;  // a folder's watch: the files' names in it
    std::string problem_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_FILEWATCH_H
