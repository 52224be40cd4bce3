// A bounded, lock-free record of the last port writes, filled by the one
// writing thread and read (as snapshots) by monitors and the bench.
#ifndef PORT_RECORD_WRITERECORD_H
#define PORT_RECORD_WRITERECORD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace port::record {

class WriteRecord {
public:
    struct Write {
        std::int64_t nanoseconds;  // steady_clock since its epoch
        std::uint16_t address;
        std::uint8_t value;
        std::uint64_t index;  // position among all writes since the record began, from 0
    };

    static constexpr std::size_t defaultCapacity = std::size_t{1} << 16;

    // capacity is rounded up to a power of two so a slot is index & mask.
    explicit WriteRecord(std::size_t capacity = defaultCapacity);

    WriteRecord(const WriteRecord&) = delete;
    WriteRecord& operator=(const WriteRecord&) = delete;

    // Single writer only. No allocation, no lock, no system call.
    void add(std::int64_t nanoseconds, std::uint16_t address, std::uint8_t value) noexcept;

    // The last min(maxCount, capacity) writes, oldest first. Slots being
    // overwritten while they are read are left out, so a reader racing a fast
    // writer may get fewer entries, never a torn one.
    std::vector<Write> snapshot(std::size_t maxCount) const;

    // Writes with index >= first (0 = the very first write) still held,
    // oldest first; the newest maxCount of them when there are more. next receives the index after the last
    // one returned, so a reader can drain the record as it goes; writes lost
    // to wrap-around show as next - first > returned size.
    std::vector<Write> since(std::uint64_t first, std::size_t maxCount, std::uint64_t& next) const;

    std::uint64_t total() const noexcept;
    std::size_t capacity() const noexcept;

private:
    // Per-slot sequence: 0 = never written or being written, otherwise the
    // write's index + 1. Every field is atomic, so readers racing the writer
    // are well defined (and TSan-clean); the sequence is re-read after the
    // fields to detect an overwrite in between.
    struct Slot {
        std::atomic<std::uint64_t> sequence{0};
        std::atomic<std::int64_t> nanoseconds{0};
        std::atomic<std::uint32_t> addressValue{0};  // address << 8 | value
    };

    bool read(std::uint64_t index, Write& write) const noexcept;

    std::size_t mask_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::uint64_t> total_{0};
};

}  // namespace port::record

#endif  // PORT_RECORD_WRITERECORD_H
