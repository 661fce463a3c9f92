#pragma once
// One rule for reading a value of a server answer as a whole number: a
// column, an output parameter, or a value handed to an integer parameter.
// An id read through it is taken as the server wrote it or refused, never
// rounded or cut into another id. Not for what an operator types: the
// windows read typed digits themselves.

#include <QVariant>

#include <limits>
#include <optional>

namespace wholenumber
{

// `value` between `min` and `max`. Null or blank is 0. An integer type (a
// bit column too: 0 or 1) or a text of ASCII digits with an optional sign
// and blanks around it is taken; a floating-point value, or a decimal text
// ("12.00"), is taken when it has no fraction. Nothing for a fraction,
// letters, an exponent, an infinity or a value outside the range.
//
// A null numeric output parameter still holds the driver's payload, so a
// number is read from its payload and never judged by isNull(); a null one
// holds 0.
std::optional<qint64> read(const QVariant& value, qint64 min, qint64 max);

template <typename T> std::optional<T> read(const QVariant& value)
{
    const std::optional<qint64> n =
        read(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    return n ? std::optional<T>(static_cast<T>(*n)) : std::nullopt;
}

} // namespace wholenumber
