// Writes recorded port writes as an IEEE 1364 value change dump, so a run can
// be opened in GTKWave, PulseView or any other waveform viewer.
#ifndef PORT_VCDEXPORT_H
#define PORT_VCDEXPORT_H

#include "port/writerecord.h"

#include <ostream>
#include <string>
#include <vector>

namespace port {

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
// Returns false when the stream failed (also when it had failed before); the
// stream is flushed at the end so that a failing write shows.
bool writeVcd(std::ostream& out, const std::vector<WriteRecord::Write>& writes,
              const std::string& comment = {});

}  // namespace port

#endif  // PORT_VCDEXPORT_H
