// How a field's text becomes a number and a number becomes a field's text.
// Both directions avoid the C locale machinery so the console behaves the same
// on an operator's German desktop as on a developer's English one.
#include "app/fields/fieldconversion.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace app::fields {

namespace {

// A carriage return is not among them: it ends the number like any other
// character that cannot continue it.
bool isSkipped(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

// The text with every blank, tab and line feed taken out: operators type
// "1 500" for thousands and paste values with stray line ends.
std::string withoutBlanks(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (!isSkipped(c))
            out.push_back(c);
    }
    return out;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// Hex digits (no prefix) as an unsigned value, correctly rounded; from_chars
// does the rounding so values past 2^53 land on the nearest double.
double hexValue(std::string_view digits)
{
    std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos)
        return 0.0;
    digits.remove_prefix(first);
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                     std::chars_format::hex);
    (void)ptr;
    if (ec == std::errc::result_out_of_range)
        return kInf;
    return value;
}

// Octal digits regrouped into hex digits, so both radixes share one
// correctly rounded conversion.
double octalValue(std::string_view digits)
{
    std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos)
        return 0.0;
    digits.remove_prefix(first);

    const std::size_t bits = digits.size() * 3;
    const std::size_t pad = (4 - bits % 4) % 4;
    std::string hex;
    hex.reserve((bits + pad) / 4);
    unsigned acc = 0;
    std::size_t held = pad; // leading zero bits to make whole nibbles
    for (char c : digits) {
        const unsigned d = static_cast<unsigned>(c - '0');
        for (int b = 2; b >= 0; --b) {
            acc = (acc << 1) | ((d >> b) & 1u);
            if (++held == 4) {
                hex.push_back("0123456789abcdef"[acc]);
                acc = 0;
                held = 0;
            }
        }
    }
    return hexValue(hex);
}

// A reading and how much of the blank-free text it took: all of it, or it
// stopped before text that is no part of the number.
struct Scan {
    double value = 0.0;
    bool whole = true;
};

// "&H..." / "&O..." after the blanks are gone; anything else after '&' is not
// a number.
Scan radixReading(std::string_view s)
{
    if (s.size() < 2)
        return {0.0, false};
    const char kind = s[1];
    std::string_view rest = s.substr(2);
    if (kind == 'H' || kind == 'h') {
        std::size_t n = 0;
        while (n < rest.size() && isHexDigit(rest[n]))
            ++n;
        return {hexValue(rest.substr(0, n)), n > 0 && n == rest.size()};
    }
    if (kind == 'O' || kind == 'o') {
        std::size_t n = 0;
        while (n < rest.size() && isOctalDigit(rest[n]))
            ++n;
        return {octalValue(rest.substr(0, n)), n > 0 && n == rest.size()};
    }
    return {0.0, false};
}

constexpr long long kExponentCap = 1'000'000'000LL;

long long saturatingAdd(long long a, long long b)
{
    const long long sum = a + b; // both operands stay within +-2*cap
    if (sum > kExponentCap)
        return kExponentCap;
    if (sum < -kExponentCap)
        return -kExponentCap;
    return sum;
}

Scan scan(std::string_view text)
{
    const std::string s = withoutBlanks(text);
    if (!s.empty() && s[0] == '&')
        return radixReading(s);

    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }

    const std::size_t intBegin = i;
    while (i < s.size() && isDigit(s[i]))
        ++i;
    const std::string_view intDigits(s.data() + intBegin, i - intBegin);

    std::string_view fracDigits;
    if (i < s.size() && s[i] == '.') {
        const std::size_t fracBegin = ++i;
        while (i < s.size() && isDigit(s[i]))
            ++i;
        fracDigits = std::string_view(s.data() + fracBegin, i - fracBegin);
    }

    if (intDigits.empty() && fracDigits.empty())
        return {0.0, s.empty()};

    // The exponent belongs to the number only when digits follow its letter
    // (and optional sign); "3e" and "3e+" are just 3. E is the only exponent
    // letter: "1d3" is 1 followed by text.
    bool expNegative = false;
    std::string_view expDigits;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        bool sign = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            sign = s[j] == '-';
            ++j;
        }
        const std::size_t expBegin = j;
        while (j < s.size() && isDigit(s[j]))
            ++j;
        if (j > expBegin) {
            expNegative = sign;
            expDigits = std::string_view(s.data() + expBegin, j - expBegin);
            i = j;
        }
    }
    const bool whole = i == s.size();

    // A plain ASCII copy in the one shape from_chars reads, independent of
    // the locale.
    std::string normalized;
    normalized.reserve(intDigits.size() + fracDigits.size() + expDigits.size() + 5);
    if (negative)
        normalized.push_back('-');
    if (intDigits.empty())
        normalized.push_back('0');
    else
        normalized.append(intDigits);
    if (!fracDigits.empty()) {
        normalized.push_back('.');
        normalized.append(fracDigits);
    }
    if (!expDigits.empty()) {
        normalized.push_back('e');
        if (expNegative)
            normalized.push_back('-');
        normalized.append(expDigits);
    }

    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(normalized.data(), normalized.data() + normalized.size(),
                                           value, std::chars_format::general);
    (void)ptr;
    if (ec != std::errc::result_out_of_range)
        return {value, whole};

    // Out of range: the decimal position of the leading digit tells overflow
    // (at or above 1e308) from underflow (below 1e-323).
    long long exponent = 0;
    for (char c : expDigits) {
        exponent = exponent * 10 + (c - '0');
        if (exponent > kExponentCap) {
            exponent = kExponentCap;
            break;
        }
    }
    if (expNegative)
        exponent = -exponent;

    long long lead = 0;
    const std::size_t firstInt = intDigits.find_first_not_of('0');
    if (firstInt != std::string_view::npos) {
        const std::size_t count = intDigits.size() - firstInt;
        lead = count > static_cast<std::size_t>(kExponentCap) ? kExponentCap
                                                               : static_cast<long long>(count) - 1;
    } else {
        const std::size_t firstFrac = fracDigits.find_first_not_of('0');
        // A zero mantissa is never out of range, so a nonzero fraction digit exists.
        const std::size_t zeros = firstFrac == std::string_view::npos ? 0 : firstFrac;
        lead = zeros > static_cast<std::size_t>(kExponentCap) ? -kExponentCap
                                                               : -static_cast<long long>(zeros) - 1;
    }
    const bool overflow = saturatingAdd(exponent, lead) > 0;
    if (overflow)
        return {negative ? -kInf : kInf, whole};
    return {negative ? -0.0 : 0.0, whole};
}

} // namespace

double numericReading(std::string_view text)
{
    return scan(text).value;
}

bool readsWhole(std::string_view text)
{
    return scan(text).whole;
}

std::string displayText(double value, std::string_view decimalSeparator)
{
    if (std::isnan(value))
        return "undefined";
    if (std::isinf(value))
        return value > 0 ? "overflow" : "-overflow";
    if (value == 0.0)
        return "0"; // also for -0: an operator never sees a signed zero

    // d.dddddddddddddde[+-]x..x: 15 significant digits, rounded to nearest.
    std::array<char, 40> buf{};
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                         std::chars_format::scientific, 14);
    (void)ec; // 40 chars always hold "-d.(14 digits)e-ddd"
    const std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));

    const bool negative = sci.front() == '-';
    const std::size_t mantBegin = negative ? 1 : 0;
    const std::size_t ePos = sci.find('e');

    std::string digits;
    for (std::size_t k = mantBegin; k < ePos; ++k) {
        if (sci[k] != '.')
            digits.push_back(sci[k]);
    }
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    int exponent = 0;
    std::string_view expText = sci.substr(ePos + 1);
    const bool expNegative = expText.front() == '-';
    expText.remove_prefix(1); // to_chars always writes the exponent's sign
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);
    if (expNegative)
        exponent = -exponent;

    std::string out;
    if (negative)
        out.push_back('-');

    if (exponent >= 15 || exponent <= -6) {
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.append(decimalSeparator);
            out.append(digits, 1, std::string::npos);
        }
        out.push_back('E');
        out.push_back(exponent < 0 ? '-' : '+');
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10)
            out.push_back('0');
        out.append(std::to_string(magnitude));
        return out;
    }

    if (exponent >= 0) {
        const std::size_t intCount = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= intCount) {
            out.append(digits);
            out.append(intCount - digits.size(), '0');
        } else {
            out.append(digits, 0, intCount);
            out.append(decimalSeparator);
            out.append(digits, intCount, std::string::npos);
        }
        return out;
    }

    out.push_back('0');
    out.append(decimalSeparator);
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits);
    return out;
}

}  // namespace app::fields
