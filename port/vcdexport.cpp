// The record as an IEEE 1364 value change dump (see vcdexport.h).
#include "port/vcdexport.h"

#include "port/port.h"
#include "port/steppattern.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

namespace port {

namespace {


// Identifier codes of the lines, in line order; one printable character each.
constexpr std::array<char, lineCount> identifiers{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};

// The 4-state value of every line, as the VCD character.
using Lines = std::array<char, lineCount>;

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

// Puts the register's new value into the lines it drives.
void apply(const WriteRecord::Write& write, Lines& lines)
{
    if (write.address == dataPort) {
        for (std::size_t line = 0; line < dataLineCount; ++line)
            lines[line] = isHigh(write.value, line) ? '1' : '0';
    } else if (write.address == controlPort) {
        lines[controlLine] = isHigh(write.value, controlLine) ? '1' : '0';
    }
}

bool relevant(const WriteRecord::Write& write)
{
    return write.address == dataPort || write.address == controlPort;
}

void putChange(Writer& writer, std::size_t line, char value)
{
    writer.put(value);
    writer.put(identifiers[line]);
    writer.put('\n');
}

void putHeader(Writer& writer, const std::string& comment)
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
    writer.put("$timescale 1 ns $end\n$scope module parport $end\n");
    for (std::size_t line = 0; line < lineCount; ++line) {
        writer.put("$var wire 1 ");
        writer.put(identifiers[line]);
        writer.put(' ');
        writer.put(std::string_view(lineNames[line]));
        writer.put(" $end\n");
    }
    writer.put("$upscope $end\n$enddefinitions $end\n");
}

}  // namespace

VcdSummary writeVcd(std::ostream& out, const std::vector<WriteRecord::Write>& writes,
                    const std::string& comment)
{
    VcdSummary summary;
    if (!out)
        return summary;
    Writer writer(out);
    putHeader(writer, comment);

    Lines lines;  // after the writes so far
    lines.fill('x');
    Lines dumped = lines;  // as the file has them
    bool dumpvarsDone = false;
    bool started = false;        // a write to a register was seen
    std::int64_t groupTime = 0;  // time of the writes being gathered
    std::uint64_t origin = 0;    // the first one's nanoseconds

    // What the writes at groupTime did: the first time gives $dumpvars with
    // every line (x where its register was not written yet), a later one a
    // #t with only the lines that changed, or nothing when none did.
    const auto emit = [&] {
        if (!dumpvarsDone) {
            writer.put("#0\n$dumpvars\n");
            for (std::size_t line = 0; line < lineCount; ++line)
                putChange(writer, line, lines[line]);
            writer.put("$end\n");
            dumpvarsDone = true;
        } else if (lines != dumped) {
            writer.put('#');
            // Unsigned: the distance always fits, even where the signed
            // difference would overflow.
            writer.put(static_cast<std::uint64_t>(groupTime) - origin);
            writer.put('\n');
            for (std::size_t line = 0; line < lineCount; ++line) {
                if (lines[line] != dumped[line]) {
                    putChange(writer, line, lines[line]);
                    ++summary.changes;
                }
            }
        }
        dumped = lines;
    };

    for (const WriteRecord::Write& write : writes) {
        // Writes to other registers do not exist for the dump, not even as
        // the time origin.
        if (!relevant(write))
            continue;
        if (!started) {
            started = true;
            groupTime = write.nanoseconds;
            origin = static_cast<std::uint64_t>(groupTime);
        } else if (write.nanoseconds > groupTime) {
            emit();
            if (!writer.good())
                return summary;
            groupTime = write.nanoseconds;
        }
        // A time that went backwards (which steady_clock should never give)
        // joins the writes being gathered, so times still strictly increase.
        apply(write, lines);
    }
    emit();  // the last time, or an all-x $dumpvars when nothing was written
    if (started) {
        summary.firstWrite = static_cast<std::int64_t>(origin);
        summary.lastWrite = groupTime;
    }
    summary.written = writer.finish();
    return summary;
}

}  // namespace port
