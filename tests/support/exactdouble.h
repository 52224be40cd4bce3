// A double as the shortest text that reads back as it, for comparisons that
// must be exact: QCOMPARE on doubles is fuzzy (some 1e-12 relative) and
// cannot tell 229.49999999999997 from 229.5. The sign of zero is not compared.
#ifndef TESTS_EXACTDOUBLE_H
#define TESTS_EXACTDOUBLE_H

#include <QString>

#include <array>
#include <charconv>

inline QString exact(double x)
{
    if (x == 0.0)
        return QStringLiteral("0");
    std::array<char, 64> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x);
    return QString::fromLatin1(buf.data(), static_cast<qsizetype>(res.ptr - buf.data()));
}

#endif  // TESTS_EXACTDOUBLE_H
