// Writes recorded port writes as an IEEE 1364 value change dump, so a run can
// be opened in GTKWave, PulseView or any other waveform viewer.
#ifndef PORT_RECORD_VCDEXPORT_H
#define PORT_RECORD_VCDEXPORT_H

#include "port/record/writerecord.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace port::record {

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
    // Nanoseconds in one unit of the file's times (its $timescale).
    std::int64_t tick = 1;

    explicit operator bool() const noexcept { return written; }
};

// Readers such as sigrok (PulseView) turn a dump into one sample per unit of
// its timescale, so a dump 1 ns to the unit asks them for a billion samples
// for each second of run. The unit is therefore chosen from the dump's length:
// the finest power of ten, from 1 ns, that keeps the dump within this many
// units (sigrok-cli reads such a dump and writes it back in about a second on
// a 2-core machine; PulseView, at two bytes a sample, holds it in 200 MB). A
// run of up to 0.1 s keeps 1 ns, up to 100 s 1 µs, up to 1000 s 10 µs. The
// record holds at most 2^18 writes, so the unit stays below a hundredth of
// the average step of any run it holds; the rare writes closer than a unit
// are kept apart (see writeVcd).
inline constexpr std::int64_t vcdTickBudget = 100'000'000;
// ns per unit for a dump whose first and last writes are span ns apart.
std::int64_t vcdTickFor(std::int64_t span);

// Progress of writeVcd: done of total writes gone through.
using VcdProgress = std::function<void(std::size_t done, std::size_t total)>;

// One wire per line: D0..D7 (the data register bits) and C1 (bit 1 of the
// control register as written, before the port's own inversion of that pin),
// and KA, the keep-alive's bit as written, when keepAlive is given (its own
// record's writes, oldest first: those before time 0 give its first level,
// those after the last write to the data or control register are left out).
// Time 0 is the first write's time, the timescale vcdTickFor(the writes'
// span), a time the whole units since time 0. A line is x (unknown) until its
// register is first written. writes must be oldest first, as the record gives
// them. comment goes into the header as-is (one line; may be empty; it must
// not hold "$end", which would end the comment early).
// Details: time 0 is the first write to dataPort or controlPort; writes to any
// other address are left out altogether. Writes within one unit are folded
// into one #t (the last value of a line wins), but for a second write to a
// register at a later nanosecond: it goes one unit on, so that no step's
// levels ever vanish, however close two writes come (a run ended at once
// writes the idle pair right after a step); the writes after it follow no
// earlier than that. A write timed earlier than the write before it
// (steady_clock never gives one) counts as made at that write's time, so
// times always strictly increase. A time is only written when some line
// changed, but for one closing time a unit after the last write, so that
// readers that end the dump at its last time (sigrok) still show the levels
// the last writes left. No writes give the header and a $dumpvars of x.
// written is false when the stream failed (also when it had failed before);
// the stream is flushed at the end so that a failing write shows. progress,
// when given, is called every few thousand writes and once at the end.
VcdSummary writeVcd(std::ostream& out, const std::vector<WriteRecord::Write>& writes,
                    const std::string& comment = {}, const VcdProgress& progress = {},
                    const std::vector<WriteRecord::Write>* keepAlive = nullptr);

}  // namespace port::record

#endif  // PORT_RECORD_VCDEXPORT_H
