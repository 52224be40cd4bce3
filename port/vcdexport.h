// Writes recorded port writes as an IEEE 1364 value change dump, so a run can
// be opened in GTKWave, PulseView or any other waveform viewer.
#ifndef PORT_VCDEXPORT_H
#define PORT_VCDEXPORT_H

#include "port/writerecord.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace port {

// What a dump holds, so that whoever exported it can say so.
struct VcdSummary {
    bool written = false;  // the stream took all of it
    // Value changes after $dumpvars: one per line and time at which it changed.
    std::uint64_t changes = 0;
    // Times, as the writes give them, of the first write to dataPort or
    // controlPort (time 0 of the file) and of the last one; none without such
    // a write. A write timed before the one ahead of it counts at that time.
    std::optional<std::int64_t> firstWrite;
    std::optional<std::int64_t> lastWrite;

    explicit operator bool() const noexcept { return written; }
};

// One wire per line: D0..D7 (the data register bits) and C1 (bit 1 of the
// control register as written, before the port's own inversion of that pin).
// Timescale 1 ns; time 0 is the first write's time. A line is x (unknown)
// until its register is first written. writes must be oldest first, as the
// record gives them. comment goes into the header as-is (one line; may be empty;
// it must not hold "$end", which would end the comment early).
// Details: time 0 is the first write to dataPort or controlPort; writes to any
// other address are left out altogether. Writes with the same time are folded
// into one #t (the last value of a line wins) and a time is only written when
// some line changed; a write timed earlier than the write before it (steady_clock
// never gives one) counts as made at that write's time, so times always strictly
// increase. No writes give the header and a $dumpvars of x.
// written is false when the stream failed (also when it had failed before);
// the stream is flushed at the end so that a failing write shows.
VcdSummary writeVcd(std::ostream& out, const std::vector<WriteRecord::Write>& writes,
              const std::string& comment = {});

}  // namespace port

#endif  // PORT_VCDEXPORT_H
