// Lock-free single-writer record of port writes (see writerecord.h).
#include "port/record/writerecord.h"

#include <algorithm>
#include <bit>

namespace port::record {

namespace {
constexpr std::size_t smallestCapacity = 2;
constexpr unsigned addressShift = 8;
constexpr std::uint32_t valueMask = 0xFF;
}  // namespace

WriteRecord::WriteRecord(std::size_t capacity)
    : mask_(std::bit_ceil(std::max(capacity, smallestCapacity)) - 1),
      slots_(std::make_unique<Slot[]>(mask_ + 1))
{
}

void WriteRecord::add(std::int64_t nanoseconds, std::uint16_t address, std::uint8_t value) noexcept
{
    const std::uint64_t index = total_.load(std::memory_order_relaxed);
    Slot& slot = slots_[index & mask_];
    // Mark busy first; the release stores of the fields keep that mark
    // ordered before them for a reader that sees the new fields.
    slot.sequence.store(0, std::memory_order_relaxed);
    slot.nanoseconds.store(nanoseconds, std::memory_order_release);
    slot.addressValue.store(static_cast<std::uint32_t>(address) << addressShift | value,
                            std::memory_order_release);
    slot.sequence.store(index + 1, std::memory_order_release);
    total_.store(index + 1, std::memory_order_release);
}

bool WriteRecord::read(std::uint64_t index, Write& write) const noexcept
{
    const Slot& slot = slots_[index & mask_];
    if (slot.sequence.load(std::memory_order_acquire) != index + 1)
        return false;
    const std::int64_t nanoseconds = slot.nanoseconds.load(std::memory_order_acquire);
    const std::uint32_t addressValue = slot.addressValue.load(std::memory_order_acquire);
    if (slot.sequence.load(std::memory_order_relaxed) != index + 1)
        return false;  // overwritten while we read it
    write = Write{nanoseconds, static_cast<std::uint16_t>(addressValue >> addressShift),
                  static_cast<std::uint8_t>(addressValue & valueMask), index};
    return true;
}

std::vector<WriteRecord::Write> WriteRecord::since(std::uint64_t first, std::size_t maxCount,
                                                   std::uint64_t& next) const
{
    const std::uint64_t end = total_.load(std::memory_order_acquire);
    const std::uint64_t held = std::min<std::uint64_t>(end, capacity());
    std::uint64_t begin = std::max(first, end - held);
    if (end - begin > maxCount)
        begin = end - maxCount;
    std::vector<Write> writes;
    writes.reserve(static_cast<std::size_t>(end - begin));
    for (std::uint64_t index = begin; index < end; ++index) {
        Write write{};
        if (read(index, write))
            writes.push_back(write);
    }
    next = std::max(first, end);
    return writes;
}

std::vector<WriteRecord::Write> WriteRecord::snapshot(std::size_t maxCount) const
{
    std::uint64_t next = 0;
    return since(0, maxCount, next);
}

std::uint64_t WriteRecord::total() const noexcept
{
    return total_.load(std::memory_order_acquire);
}

std::size_t WriteRecord::capacity() const noexcept
{
    return mask_ + 1;
}

}  // namespace port::record
