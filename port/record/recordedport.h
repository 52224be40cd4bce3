// A port that passes every write on to another port and records it, with its
// time, once the write has been made: the record then holds what reached the
// registers, whichever back end is underneath. The keep-alive's writes go
// into a record of their own, so that they never read as the pattern's.
#ifndef PORT_RECORD_RECORDEDPORT_H
#define PORT_RECORD_RECORDEDPORT_H

#include "port/backend/port.h"
#include "port/record/writerecord.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace port::record {

class RecordedPort : public backend::Port {
public:
    // Enough for some 9 s of writes at 1 kHz output (28 writes a cycle).
    static constexpr std::size_t programCapacity = std::size_t{1} << 18;
    // Some 5 min of the keep-alive's toggles (200 a second).
    static constexpr std::size_t keepAliveCapacity = std::size_t{1} << 16;

    // target must outlive this port.
    explicit RecordedPort(backend::Port& target, std::size_t recordCapacity = WriteRecord::defaultCapacity);
    ~RecordedPort() override;

    // A write the target refuses (it throws) is not recorded, nor one the
    // crash guard refuses: the sequencer, which holds a permit around each
    // pair it writes, learns from its own whether a handler writes the idle
    // pair or the port was sealed with nothing written.
    void out(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t in(std::uint16_t address) override;
    std::string name() const override;
    void check() override;
    // Passes it on to the target; the record does not show it (see there).
    void writeIdleFromSignalHandler() noexcept override;
    bool keepAlive() const noexcept override;
    // Recorded in keepAliveRecord() under backend::keepAliveAddress, the bit as the value.
    void writeKeepAlive(bool set) override;

    const WriteRecord& record() const noexcept { return record_; }
    // The keep-alive's writes, one entry a toggle; empty on a port without one.
    const WriteRecord& keepAliveRecord() const noexcept { return keepAliveRecord_; }
    backend::Port& target() const noexcept { return target_; }

private:
    backend::Port& target_;
    WriteRecord record_;
    WriteRecord keepAliveRecord_;  // written by the step thread alone, as record_
};

}  // namespace port::record

#endif  // PORT_RECORD_RECORDEDPORT_H
