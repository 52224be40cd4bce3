// The output frequency as it was written: from the times of the cycle starts
// in the write record, over the last second.
#ifndef PORT_RECORD_FREQUENCYMETER_H
#define PORT_RECORD_FREQUENCYMETER_H

#include "port/record/runmodel.h"
#include "port/record/writerecord.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace port::record {

class FrequencyMeter {
public:
    explicit FrequencyMeter(std::chrono::nanoseconds window = std::chrono::seconds(1));

    // Takes writes oldest first, as drained from the record; writes may be
    // missing (overwritten before they were read). A period is a whole cycle
    // of the run model, so lost writes, a STOP's idle writes or a new run
    // never pass for a period.
    void add(const std::vector<WriteRecord::Write>& writes);

    // Cycles per second over the periods that ended within the window before
    // now. When none did, the last period still stands while its next cycle
    // is not overdue (a slow output); otherwise there is no reading.
    std::optional<double> frequency(std::int64_t nowNanoseconds) const;

    void reset();

private:
    struct Period {
        std::int64_t end;
        std::int64_t length;
    };

    std::chrono::nanoseconds window_;
    std::deque<Period> periods_;  // oldest first
    RunModel run_;
};

}  // namespace port::record

#endif  // PORT_RECORD_FREQUENCYMETER_H
