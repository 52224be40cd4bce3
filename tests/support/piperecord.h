// Port writes sent through a pipe by a test program (crashtarget,
// signaltarget) and read back by its test: one 3-byte record a write, the
// address low byte, its high byte, the value. One write(2) a record, at most
// PIPE_BUF bytes, so a reader never sees part of one, and a signal handler
// may send records too.
#ifndef TESTS_PIPERECORD_H
#define TESTS_PIPERECORD_H

#include "expectedpattern.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PipeWrite {
    std::uint16_t address;
    std::uint8_t value;
    bool operator==(const PipeWrite&) const = default;
};

inline constexpr std::size_t pipeRecordSize = 3;

// Async-signal-safe.
inline void putPipeRecord(int fd, std::uint16_t address, std::uint8_t value) noexcept
{
    constexpr unsigned byteBits = 8;
    constexpr std::uint16_t lowByte = 0xFF;
    const std::array<unsigned char, pipeRecordSize> record{
        static_cast<unsigned char>(address & lowByte), static_cast<unsigned char>(address >> byteBits), value};
    while (::write(fd, record.data(), record.size()) < 0 && errno == EINTR) {
    }
}

inline std::vector<PipeWrite> pipeWrites(const char* bytes, std::size_t size)
{
    constexpr unsigned byteBits = 8;
    std::vector<PipeWrite> writes;
    for (std::size_t at = 0; at + pipeRecordSize <= size; at += pipeRecordSize) {
        const auto byte = [&](std::size_t offset) { return static_cast<std::uint8_t>(bytes[at + offset]); };
        writes.push_back({static_cast<std::uint16_t>(byte(0) | byte(1) << byteBits), byte(2)});
    }
    return writes;
}

// A port whose every write is one record on fd; the idle pair from a crash
// handler too. Test programs add what they do to a write around put().
class PipePort : public port::backend::Port {
public:
    explicit PipePort(int fd) : fd_(fd) {}

    std::uint8_t in(std::uint16_t) override { return 0; }
    std::string name() const override { return "pipe"; }
    void writeIdleFromSignalHandler() noexcept override
    {
        put(port::backend::dataPort, port::pattern::idleData);
        put(port::backend::controlPort, port::pattern::idleControl);
    }

protected:
    void put(std::uint16_t address, std::uint8_t value) noexcept { putPipeRecord(fd_, address, value); }

private:
    int fd_;
};

// Write number index of the pattern, from the first step of the first cycle.
inline PipeWrite patternWrite(std::size_t index)
{
    const ExpectedStep& step = expectedStep(index / 2);
    return index % 2 == 0 ? PipeWrite{port::backend::dataPort, step.data} : PipeWrite{port::backend::controlPort, step.control};
}

// The first write that is not the pattern's, or -1.
inline long firstStray(const std::vector<PipeWrite>& writes)
{
    for (std::size_t index = 0; index < writes.size(); ++index)
        if (!(writes[index] == patternWrite(index)))
            return static_cast<long>(index);
    return -1;
}

inline bool endsIdle(const std::vector<PipeWrite>& writes)
{
    // Idle: data 0, then control 2.
    return writes.size() >= 2 && writes[writes.size() - 2] == PipeWrite{port::backend::dataPort, 0} &&
           writes.back() == PipeWrite{port::backend::controlPort, 2};
}

// What is wrong with the writes of a run that must end in the idle pair with
// every step's pair whole and in pattern order before it; empty when nothing.
// The idle pair may come more than once: a forced way out writes its own
// after the step thread's.
inline std::string wayOutFault(std::vector<PipeWrite> writes)
{
    if (!endsIdle(writes))
        return "the last pair of " + std::to_string(writes.size()) + " writes is not the idle pair";
    while (endsIdle(writes))
        writes.resize(writes.size() - 2);
    if (writes.size() % 2 != 0)
        return "a step cut in two before the idle pair";
    if (const long stray = firstStray(writes); stray >= 0)
        return "write " + std::to_string(stray) + " is not its step's";
    return {};
}

// As wayOutFault, for writes that may hold several runs, each begun at the
// first step and ended with the idle pair (no step writes data 0).
inline std::string runsFault(const std::vector<PipeWrite>& writes)
{
    std::size_t from = 0;
    for (std::size_t at = 1; at < writes.size(); ++at) {
        if (!endsIdle({writes[at - 1], writes[at]}))
            continue;
        const std::vector<PipeWrite> run(writes.begin() + static_cast<std::ptrdiff_t>(from),
                                         writes.begin() + static_cast<std::ptrdiff_t>(at) + 1);
        if (std::string fault = wayOutFault(run); !fault.empty())
            return "from write " + std::to_string(from) + ": " + fault;
        from = at + 1;
    }
    return from == writes.size() ? std::string() : "write " + std::to_string(from) + " on came after the idle pair";
}

#endif  // TESTS_PIPERECORD_H
