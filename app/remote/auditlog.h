// The log of remote control, one line a change: a PLC that writes its
// control word every 100 ms would otherwise write ten lines a second, and a
// journal keeps what matters only if it is not drowned. Every change of
// state, every refusal and every write that changed something is a line at
// once; a line that repeats one of the last minute and changed nothing is
// counted instead, and the count is one line when that minute is over.
// Plain C++: the times are the caller's.
#ifndef APP_REMOTE_AUDITLOG_H
#define APP_REMOTE_AUDITLOG_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace app::remote {

class AuditLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds foldFor{60};

    // write takes each line as it is to be kept.
    explicit AuditLog(std::function<void(const std::string&)> write) : write_(std::move(write)) {}

    // changed: the line says something happened (a start, a stop, a new
    // value, a refusal), never folded.
    void add(const std::string& line, bool changed, Clock::time_point now);
    // The counts of the minutes that are over.
    void flush(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;

private:
    struct Fold {
        Clock::time_point since;
        std::uint64_t repeats = 0;
    };

    std::function<void(const std::string&)> write_;
    std::map<std::string, Fold> folds_;  // by line: the minute since it was written
    // The lines in the order their minutes end, so that a flush looks only
    // at those that have; a line written again is here again.
    std::deque<std::pair<Clock::time_point, std::string>> ends_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_AUDITLOG_H
