// Folding repeats: a line written opens a minute; its repeats that changed
// nothing within it are counted; the minute's end writes the count.
#include "app/remote/auditlog.h"

namespace app::remote {

void AuditLog::add(const std::string& line, bool changed, Clock::time_point now)
{
    flush(now);
    const auto found = folds_.find(line);
    if (!changed && found != folds_.end()) {
        ++found->second.repeats;
        return;
    }
    write_(line);
    folds_[line] = Fold{now, 0};
    ends_.emplace_back(now + foldFor, line);
}

void AuditLog::flush(Clock::time_point now)
{
    while (!ends_.empty() && ends_.front().first <= now) {
        const auto [end, line] = std::move(ends_.front());
        ends_.pop_front();
        const auto found = folds_.find(line);
        if (found == folds_.end() || found->second.since + foldFor != end)
            continue;  // written again since: a later minute of its own
        if (found->second.repeats > 0)
            write_(line + " (" + std::to_string(found->second.repeats) +
                   " more times in the minute after, changing nothing)");
        folds_.erase(found);
    }
}

std::optional<AuditLog::Clock::time_point> AuditLog::nextDue() const
{
    if (ends_.empty())
        return std::nullopt;
    return ends_.front().first;
}

}  // namespace app::remote
