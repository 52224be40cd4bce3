// The record as an IEEE 1364 value change dump (see vcdexport.h).
#include "port/record/vcdexport.h"

#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/runmodel.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string_view>

namespace port::record {

namespace {


// The timescales a dump may have, finest first: ns per unit and the header's
// name for it (VCD knows 1, 10 and 100 of each unit).
struct Timescale {
    std::int64_t tick;
    std::string_view name;
};
constexpr std::array<Timescale, 12> timescales{{
    {1, "1 ns"},
    {10, "10 ns"},
    {100, "100 ns"},
    {1'000, "1 us"},
    {10'000, "10 us"},
    {100'000, "100 us"},
    {1'000'000, "1 ms"},
    {10'000'000, "10 ms"},
    {100'000'000, "100 ms"},
    {1'000'000'000, "1 s"},
    {10'000'000'000, "10 s"},
    {100'000'000'000, "100 s"},
}};

// Every 4096 writes: often enough for a progress bar, rare enough to cost nothing.
constexpr std::size_t progressEvery = 4096;

// Identifier codes of the lines, in line order; one printable character each.
constexpr std::array<char, pattern::lineCount> identifiers{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
constexpr char keepAliveIdentifier = 'j';
constexpr std::string_view keepAliveName = "KA";

// A fixed buffer in front of the stream: the body is a few bytes per change,
// so it is gathered here and handed to the stream in large blocks; no
// allocation per write.
class Writer {
public:
    explicit Writer(std::ostream& out) : out_(out) {}

    void put(char c)
    {
        if (used_ == buffer_.size())
            flush();
        buffer_[used_++] = c;
    }

    void put(std::string_view text)
    {
        while (!text.empty()) {
            if (used_ == buffer_.size())
                flush();
            const std::size_t part = std::min(text.size(), buffer_.size() - used_);
            std::memcpy(buffer_.data() + used_, text.data(), part);
            used_ += part;
            text.remove_prefix(part);
        }
    }

    void put(std::uint64_t number)
    {
        std::array<char, 24> digits{};
        const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), number);
        put(std::string_view(digits.data(), static_cast<std::size_t>(result.ptr - digits.data())));
    }

    // False once the stream has failed; writing after that is pointless.
    bool good() const { return static_cast<bool>(out_); }

    bool finish()
    {
        flush();
        out_.flush();
        return good();
    }

private:
    void flush()
    {
        if (used_ != 0 && out_)
            out_.write(buffer_.data(), static_cast<std::streamsize>(used_));
        used_ = 0;
    }

    std::ostream& out_;
    std::array<char, 1 << 16> buffer_{};
    std::size_t used_ = 0;
};

// A line's level as its VCD value: x until its register is written.
void putChange(Writer& writer, char identifier, std::optional<bool> level)
{
    writer.put(!level ? 'x' : *level ? '1' : '0');
    writer.put(identifier);
    writer.put('\n');
}

void putVariable(Writer& writer, char identifier, std::string_view name)
{
    writer.put("$var wire 1 ");
    writer.put(identifier);
    writer.put(' ');
    writer.put(name);
    writer.put(" $end\n");
}

void putHeader(Writer& writer, const std::string& comment, std::string_view timescale, bool keepAlive)
{
    std::array<char, 64> date{};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::size_t dateLength = 0;
    if (localtime_r(&now, &local) != nullptr)
        dateLength = std::strftime(date.data(), date.size(), "%Y-%m-%d %H:%M:%S %z", &local);

    writer.put("$date\n\t");
    writer.put(std::string_view(date.data(), dateLength));
    writer.put("\n$end\n$version\n\tfrequency-converter\n$end\n");
    if (!comment.empty()) {
        writer.put("$comment\n\t");
        writer.put(comment);
        writer.put("\n$end\n");
    }
    writer.put("$timescale ");
    writer.put(timescale);
    writer.put(" $end\n$scope module parport $end\n");
    for (std::size_t line = 0; line < pattern::lineCount; ++line)
        putVariable(writer, identifiers[line], pattern::lineNames[line]);
    if (keepAlive)
        putVariable(writer, keepAliveIdentifier, keepAliveName);
    writer.put("$upscope $end\n$enddefinitions $end\n");
}

}  // namespace

std::int64_t vcdTickFor(std::int64_t span)
{
    for (const Timescale& timescale : timescales) {
        // Units the dump spans, rounded up: span / tick <= budget.
        if (span <= 0 || (span - 1) / timescale.tick < vcdTickBudget)
            return timescale.tick;
    }
    return timescales.back().tick;
}

VcdSummary writeVcd(std::ostream& out, const std::vector<WriteRecord::Write>& writes,
                    const std::string& comment, const VcdProgress& progress,
                    const std::vector<WriteRecord::Write>* keepAlive)
{
    VcdSummary summary;
    if (!out)
        return summary;

    // The span sets the unit, so it is known before the first time is written.
    std::optional<std::int64_t> first;
    std::int64_t last = 0;
    for (const WriteRecord::Write& write : writes) {
        if (!drivesLines(write))
            continue;
        if (!first)
            first = last = write.nanoseconds;
        last = std::max(last, write.nanoseconds);
    }
    const std::uint64_t span = first ? static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(*first) : 0;
    const std::int64_t tick = vcdTickFor(static_cast<std::int64_t>(
        std::min<std::uint64_t>(span, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))));
    const auto timescale = std::find_if(timescales.begin(), timescales.end(),
                                        [tick](const Timescale& candidate) { return candidate.tick == tick; });
    summary.tick = tick;

    Writer writer(out);
    putHeader(writer, comment, timescale->name, keepAlive != nullptr);

    LineLevels lines;   // after the writes so far
    LineLevels dumped;  // as the file has them
    std::optional<bool> keepAliveLevel;  // the same for KA
    std::optional<bool> keepAliveDumped;
    bool dumpvarsDone = false;
    bool started = false;        // a write to a register was seen
    std::uint64_t groupUnit = 0; // time, in units, of the writes being gathered
    std::int64_t latest = 0;     // the latest nanoseconds so far
    // Per register (data, control, the keep-alive's): the nanoseconds of its
    // write in the writes being gathered, none when it has none there.
    std::array<std::optional<std::int64_t>, 3> gathered;

    // What the writes at groupUnit did: the first time gives $dumpvars with
    // every line (x where its register was not written yet), a later one a
    // #t with only the lines that changed, or nothing when none did.
    const auto emit = [&] {
        if (!dumpvarsDone) {
            writer.put("#0\n$dumpvars\n");
            for (std::size_t line = 0; line < pattern::lineCount; ++line)
                putChange(writer, identifiers[line], lines[line]);
            if (keepAlive)
                putChange(writer, keepAliveIdentifier, keepAliveLevel);
            writer.put("$end\n");
            dumpvarsDone = true;
        } else if (lines != dumped || keepAliveLevel != keepAliveDumped) {
            writer.put('#');
            writer.put(groupUnit);
            writer.put('\n');
            for (std::size_t line = 0; line < pattern::lineCount; ++line) {
                if (lines[line] != dumped[line]) {
                    putChange(writer, identifiers[line], lines[line]);
                    ++summary.changes;
                }
            }
            if (keepAliveLevel != keepAliveDumped) {
                putChange(writer, keepAliveIdentifier, keepAliveLevel);
                ++summary.changes;
            }
        }
        dumped = lines;
        keepAliveDumped = keepAliveLevel;
    };

    // A write at nanoseconds to register (0 data, 1 control, 2 the
    // keep-alive's) joins the writes being gathered or begins the next
    // time; false once the stream has failed.
    const auto place = [&](std::int64_t nanoseconds, std::size_t reg) {
        auto& sameRegister = gathered[reg];
        if (!started) {
            started = true;
            latest = nanoseconds;
        } else {
            // A time that went backwards (which steady_clock should never
            // give) joins the writes being gathered, so times still strictly
            // increase. Unsigned: the distance always fits, even where the
            // signed difference would overflow.
            const std::uint64_t unit =
                nanoseconds > *first
                    ? (static_cast<std::uint64_t>(nanoseconds) - static_cast<std::uint64_t>(*first)) /
                          static_cast<std::uint64_t>(tick)
                    : 0;
            std::uint64_t target = std::max(unit, groupUnit);
            if (target == groupUnit && sameRegister && nanoseconds > *sameRegister)
                target = groupUnit + 1;  // a step of its own, however short
            if (target != groupUnit) {
                emit();
                if (!writer.good())
                    return false;
                groupUnit = target;
                gathered = {};
            }
            latest = std::max(latest, nanoseconds);
        }
        sameRegister = std::max(sameRegister.value_or(nanoseconds), nanoseconds);
        return true;
    };
    // The keep-alive's writes before until: before time 0 they only give its
    // first level.
    std::size_t nextToggle = 0;
    const auto keepAliveUntil = [&](std::int64_t until) {
        for (; keepAlive && nextToggle < keepAlive->size() && (*keepAlive)[nextToggle].nanoseconds < until;
             ++nextToggle) {
            if (started && !place((*keepAlive)[nextToggle].nanoseconds, 2))
                return false;
            keepAliveLevel = (*keepAlive)[nextToggle].value != 0;
        }
        return true;
    };

    for (std::size_t index = 0; index < writes.size(); ++index) {
        if (progress && index % progressEvery == 0 && index != 0)
            progress(index, writes.size());
        const WriteRecord::Write& write = writes[index];
        // Writes to other registers do not exist for the dump, not even as
        // the time origin.
        if (!drivesLines(write))
            continue;
        if (!keepAliveUntil(write.nanoseconds) || !place(write.nanoseconds, write.address == backend::dataPort ? 0 : 1))
            return summary;
        applyWrite(write, lines);
    }
    emit();  // the last time, or an all-x $dumpvars when nothing was written
    if (started) {
        // The closing time: the last levels last one unit.
        writer.put('#');
        writer.put(groupUnit + 1);
        writer.put('\n');
        summary.firstWrite = first;
        summary.lastWrite = latest;
    }
    summary.written = writer.finish();
    if (progress)
        progress(writes.size(), writes.size());
    return summary;
}

}  // namespace port::record
