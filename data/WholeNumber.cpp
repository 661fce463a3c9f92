#include "data/WholeNumber.h"

#include <cmath>

namespace
{

std::optional<qint64> inRange(qint64 n, qint64 min, qint64 max)
{
    return n >= min && n <= max ? std::optional<qint64>(n) : std::nullopt;
}

std::optional<qint64> fromDouble(double d, qint64 min, qint64 max)
{
    // 2^63 is the first double past the range of qint64; it and everything
    // beyond would be undefined to convert.
    constexpr double kPast = 9223372036854775808.0;
    if (!std::isfinite(d) || std::trunc(d) != d || d < -kPast || d >= kPast)
        return std::nullopt;
    return inRange(static_cast<qint64>(d), min, max);
}

// [+-]digits, optionally followed by a point and zeros only.
std::optional<qint64> fromText(QStringView text, qint64 min, qint64 max)
{
    text = text.trimmed();
    if (text.isEmpty())
        return 0;
    const bool negative = text.front() == u'-';
    if (negative || text.front() == u'+')
        text = text.mid(1);
    qsizetype digits = 0;
    quint64 magnitude = 0;
    constexpr quint64 kLimit = quint64(std::numeric_limits<qint64>::max()) + 1;
    for (; digits < text.size() && text[digits] >= u'0' && text[digits] <= u'9'; ++digits) {
        magnitude = magnitude * 10 + quint64(text[digits].unicode() - u'0');
        if (magnitude > kLimit)
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    QStringView rest = text.mid(digits);
    if (!rest.isEmpty()) {
        if (rest.front() != u'.')
            return std::nullopt;
        for (QChar c : rest.mid(1))
            if (c != u'0')
                return std::nullopt;
    }
    if (!negative && magnitude == kLimit)
        return std::nullopt;
    const qint64 n = negative ? qint64(0 - magnitude) : qint64(magnitude);
    return inRange(n, min, max);
}

} // namespace

std::optional<qint64> wholenumber::read(const QVariant& value, qint64 min, qint64 max)
{
    bool ok = false;
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong: {
        const qint64 n = value.toLongLong(&ok);
        return ok ? inRange(n, min, max) : std::nullopt;
    }
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const quint64 n = value.toULongLong(&ok);
        if (!ok || n > quint64(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return inRange(qint64(n), min, max);
    }
    case QMetaType::Float:
    case QMetaType::Double: {
        const double d = value.toDouble(&ok);
        return ok ? fromDouble(d, min, max) : std::nullopt;
    }
    default:
        // Decimal columns arrive as text ("12.00"); a value of no type reads "".
        return fromText(value.toString(), min, max);
    }
}
