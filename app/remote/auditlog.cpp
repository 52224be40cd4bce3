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
}

void AuditLog::flush(Clock::time_point now)
{
    for (auto at = folds_.begin(); at != folds_.end();) {
        if (now < at->second.since + foldFor) {
            ++at;
            continue;
        }
        if (at->second.repeats > 0)
            write_(at->first + " (" + std::to_string(at->second.repeats) +
                   " more times in the minute after, changing nothing)");
        at = folds_.erase(at);
    }
}

std::optional<AuditLog::Clock::time_point> AuditLog::nextDue() const
{
    std::optional<Clock::time_point> due;
    for (const auto& [line, fold] : folds_)
        if (fold.repeats > 0 && (!due || fold.since + foldFor < *due))
            due = fold.since + foldFor;
    return due;
}

}  // namespace app::remote
