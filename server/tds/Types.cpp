#include "server/tds/Types.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace lectora::server::tds
{

namespace
{

// Length of a fixed-size type's value, or 0 for a type that carries a length.
std::size_t fixedLength(std::uint8_t id)
{
    switch (id) {
    case Null:
        return 0;
    case Int1:
    case Bit:
        return 1;
    case Int2:
        return 2;
    case Int4:
    case DateTime4:
    case Flt4:
    case Money4:
        return 4;
    case Money:
    case DateTime:
    case Flt8:
    case Int8:
        return 8;
    default:
        return 0;
    }
}

bool isFixed(std::uint8_t id)
{
    return id == Null || fixedLength(id) > 0;
}

bool isByteLength(std::uint8_t id)
{
    switch (id) {
    case Guid:
    case IntN:
    case DateN:
    case TimeN:
    case DateTime2N:
    case DateTimeOffsetN:
    case BitN:
    case DecimalN:
    case NumericN:
    case FltN:
    case MoneyN:
    case DateTimN:
        return true;
    default:
        return false;
    }
}

bool isShortLength(std::uint8_t id)
{
    return id == BigVarBinary || id == BigVarChar || id == BigBinary || id == BigChar ||
           id == NVarChar || id == NChar;
}

bool isLongLength(std::uint8_t id)
{
    return id == Text || id == NText || id == Image;
}

int decimalBytes(int precision)
{
    return precision <= 9 ? 4 : precision <= 19 ? 8 : precision <= 28 ? 12 : 16;
}

std::int64_t littleEndian(std::string_view b)
{
    std::uint64_t v = 0;
    for (std::size_t i = b.size(); i-- > 0;)
        v = v << 8 | std::uint8_t(b[i]);
    // Sign-extend the narrower integers.
    if (b.size() < 8 && !b.empty() && (std::uint8_t(b.back()) & 0x80))
        v |= ~std::uint64_t{0} << (8 * b.size());
    return static_cast<std::int64_t>(v);
}

std::string trimmed(std::string_view s)
{
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

// A decimal text "-12.345" as a magnitude scaled to `scale` digits (rounded half up).
std::optional<std::pair<bool, unsigned __int128>> parseDecimal(std::string_view text, int scale)
{
    std::string s = trimmed(text);
    if (s.empty())
        return std::nullopt;
    bool negative = false;
    std::size_t i = 0;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        ++i;
    }
    unsigned __int128 v = 0;
    int fraction = -1;
    bool digits = false;
    bool roundUp = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '.' && fraction < 0) {
            fraction = 0;
            continue;
        }
        if (c < '0' || c > '9')
            return std::nullopt;
        digits = true;
        if (fraction >= 0 && fraction >= scale) {
            if (fraction == scale)
                roundUp = c >= '5';
            ++fraction;
            continue;
        }
        if (v > (~static_cast<unsigned __int128>(0)) / 20)
            return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (fraction >= 0)
            ++fraction;
    }
    if (!digits)
        return std::nullopt;
    for (int f = std::max(fraction, 0); f < scale; ++f)
        v *= 10;
    if (roundUp)
        ++v;
    return std::make_pair(negative && v != 0, v);
}

std::optional<std::int64_t> asInteger(const Value& v)
{
    if (auto* i = std::get_if<std::int64_t>(&v.data))
        return *i;
    if (auto* d = std::get_if<double>(&v.data)) {
        if (!std::isfinite(*d) || std::fabs(*d) > 9.2e18)
            return std::nullopt;
        return std::llround(*d);
    }
    if (auto* s = std::get_if<std::string>(&v.data)) {
        auto dec = parseDecimal(*s, 0);
        if (!dec || dec->second > static_cast<unsigned __int128>(INT64_MAX))
            return std::nullopt;
        auto m = static_cast<std::int64_t>(dec->second);
        return dec->first ? -m : m;
    }
    return std::nullopt;
}

std::optional<double> asDouble(const Value& v)
{
    if (auto* i = std::get_if<std::int64_t>(&v.data))
        return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&v.data))
        return *d;
    if (auto* s = std::get_if<std::string>(&v.data)) {
        std::string t = trimmed(*s);
        double d = 0;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
        if (ec == std::errc() && p == t.data() + t.size() && !t.empty())
            return d;
    }
    return std::nullopt;
}

std::optional<std::pair<bool, unsigned __int128>> asScaled(const Value& v, int scale)
{
    if (auto* i = std::get_if<std::int64_t>(&v.data)) {
        unsigned __int128 m = *i < 0 ? static_cast<unsigned __int128>(-(*i + 1)) + 1
                                     : static_cast<unsigned __int128>(*i);
        for (int k = 0; k < scale; ++k)
            m *= 10;
        return std::make_pair(*i < 0, m);
    }
    if (auto* d = std::get_if<double>(&v.data)) {
        if (!std::isfinite(*d))
            return std::nullopt;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", scale, *d);
        return parseDecimal(buf, scale);
    }
    if (auto* s = std::get_if<std::string>(&v.data))
        return parseDecimal(*s, scale);
    return std::nullopt;
}

void writeLittle(Writer& out, std::uint64_t v, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        out.u8(static_cast<std::uint8_t>(v >> (8 * i)));
}

} // namespace

bool TypeInfo::isPlp() const
{
    return maxLength == 0xFFFF && (id == BigVarChar || id == NVarChar || id == BigVarBinary);
}

TypeInfo readTypeInfo(Reader& in)
{
    TypeInfo t;
    t.id = in.u8();
    t.collation.clear();
    if (isFixed(t.id)) {
        t.maxLength = static_cast<std::uint32_t>(fixedLength(t.id));
    } else if (isByteLength(t.id)) {
        if (t.id == DateN) {
            t.maxLength = 3;
        } else if (t.id == TimeN || t.id == DateTime2N || t.id == DateTimeOffsetN) {
            t.scale = in.u8();
            t.maxLength = 0;
        } else {
            t.maxLength = in.u8();
        }
        if (t.id == DecimalN || t.id == NumericN) {
            t.precision = in.u8();
            t.scale = in.u8();
            if (t.precision < 1 || t.precision > 38 || t.scale > t.precision)
                throw ProtocolError("decimal precision out of range");
        }
    } else if (isShortLength(t.id)) {
        t.maxLength = in.u16le();
        if (t.id != BigVarBinary && t.id != BigBinary)
            t.collation = std::string(in.bytes(5));
    } else if (isLongLength(t.id)) {
        t.maxLength = in.u32le();
        if (t.id != Image)
            t.collation = std::string(in.bytes(5));
    } else {
        throw ProtocolError("unsupported data type");
    }
    return t;
}

void writeTypeInfo(Writer& out, const TypeInfo& t)
{
    out.u8(t.id);
    if (isFixed(t.id))
        return;
    if (isByteLength(t.id)) {
        if (t.id == DateN)
            return;
        if (t.id == TimeN || t.id == DateTime2N || t.id == DateTimeOffsetN) {
            out.u8(t.scale);
            return;
        }
        out.u8(static_cast<std::uint8_t>(t.maxLength));
        if (t.id == DecimalN || t.id == NumericN) {
            out.u8(t.precision);
            out.u8(t.scale);
        }
        return;
    }
    if (isShortLength(t.id)) {
        out.u16le(static_cast<std::uint16_t>(t.maxLength));
    } else {
        out.u32le(t.maxLength);
    }
    if (t.id != BigVarBinary && t.id != BigBinary && t.id != Image)
        out.bytes(t.collation.size() == 5 ? t.collation : std::string(kCollation, 5));
}

WireValue readValue(Reader& in, const TypeInfo& t)
{
    WireValue v;
    if (isFixed(t.id)) {
        v.null = t.id == Null;
        v.bytes = std::string(in.bytes(fixedLength(t.id)));
    } else if (isByteLength(t.id)) {
        std::uint8_t n = in.u8();
        v.null = n == 0;
        v.bytes = std::string(in.bytes(n));
    } else if (t.isPlp()) {
        std::uint64_t total = in.u64le();
        if (total == ~std::uint64_t{0})
            return v;
        v.null = false;
        for (;;) {
            std::uint32_t chunk = in.u32le();
            if (chunk == 0)
                break;
            v.bytes.append(in.bytes(chunk));
        }
    } else if (isShortLength(t.id)) {
        std::uint16_t n = in.u16le();
        if (n == 0xFFFF)
            return v;
        v.null = false;
        v.bytes = std::string(in.bytes(n));
    } else {
        // Text, ntext and image parameters: a text pointer is never sent in a request.
        std::uint32_t n = in.u32le();
        if (n == 0xFFFFFFFF)
            return v;
        v.null = false;
        v.bytes = std::string(in.bytes(n));
    }
    return v;
}

void writeWireValue(Writer& out, const TypeInfo& t, const WireValue& v)
{
    if (isFixed(t.id)) {
        out.bytes(v.bytes);
    } else if (isByteLength(t.id)) {
        out.u8(v.null ? 0 : static_cast<std::uint8_t>(v.bytes.size()));
        if (!v.null)
            out.bytes(v.bytes);
    } else if (t.isPlp()) {
        if (v.null) {
            out.u64le(~std::uint64_t{0});
            return;
        }
        out.u64le(v.bytes.size());
        if (!v.bytes.empty()) {
            out.u32le(static_cast<std::uint32_t>(v.bytes.size()));
            out.bytes(v.bytes);
        }
        out.u32le(0);
    } else if (isShortLength(t.id)) {
        if (v.null) {
            out.u16le(0xFFFF);
            return;
        }
        out.u16le(static_cast<std::uint16_t>(v.bytes.size()));
        out.bytes(v.bytes);
    } else {
        // A text value in a reply carries a text pointer and timestamp.
        if (v.null) {
            out.u8(0);
            return;
        }
        out.u8(16);
        out.bytes(std::string(16, '\0'));
        out.bytes(std::string(8, '\0'));
        out.u32le(static_cast<std::uint32_t>(v.bytes.size()));
        out.bytes(v.bytes);
    }
}

std::string decimalText(bool negative, unsigned __int128 m, int scale)
{
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    while (static_cast<int>(digits.size()) <= scale)
        digits.insert(digits.begin(), '0');
    if (scale > 0)
        digits.insert(digits.end() - scale, '.');
    return negative ? "-" + digits : digits;
}

namespace
{

Value decodeInteger(const std::string& b)
{
    if (b.size() == 1)
        return static_cast<std::int64_t>(std::uint8_t(b[0]));
    if (b.size() == 2 || b.size() == 4 || b.size() == 8)
        return littleEndian(b);
    throw ProtocolError("integer of odd length");
}

Value decodeFloat(const std::string& b)
{
    if (b.size() == 4) {
        float f;
        std::memcpy(&f, b.data(), 4);
        return static_cast<double>(f);
    }
    if (b.size() == 8) {
        double d;
        std::memcpy(&d, b.data(), 8);
        return d;
    }
    throw ProtocolError("float of odd length");
}

Value decodeMoney(const std::string& b)
{
    std::int64_t units = 0;
    if (b.size() == 4)
        units = littleEndian(b);
    else if (b.size() == 8)
        units = static_cast<std::int64_t>(
            static_cast<std::uint64_t>(static_cast<std::uint32_t>(littleEndian(b.substr(0, 4))))
                << 32 |
            static_cast<std::uint32_t>(littleEndian(b.substr(4, 4))));
    else
        throw ProtocolError("money of odd length");
    return static_cast<double>(units) / 10000.0;
}

Value decodeDecimal(const std::string& b, int scale)
{
    if (b.size() < 2 || b.size() > 17)
        throw ProtocolError("decimal of odd length");
    unsigned __int128 m = 0;
    for (std::size_t i = b.size(); i-- > 1;)
        m = m << 8 | std::uint8_t(b[i]);
    const bool negative = b[0] == 0 && m != 0;
    if (scale == 0 && m <= static_cast<unsigned __int128>(INT64_MAX)) {
        auto i = static_cast<std::int64_t>(m);
        return negative ? -i : i;
    }
    return std::stod(decimalText(negative, m, scale));
}

} // namespace

Value decodeValue(const TypeInfo& t, const WireValue& v)
{
    if (v.null)
        return {};
    const std::string& b = v.bytes;
    switch (t.id) {
    case Int1:
        return static_cast<std::int64_t>(std::uint8_t(b[0]));
    case Bit:
    case BitN:
        return static_cast<std::int64_t>(b.empty() || b[0] == 0 ? 0 : 1);
    case Int2:
    case Int4:
    case Int8:
    case IntN:
        return decodeInteger(b);
    case Flt4:
    case Flt8:
    case FltN:
        return decodeFloat(b);
    case Money:
    case Money4:
    case MoneyN:
        return decodeMoney(b);
    case DecimalN:
    case NumericN:
        return decodeDecimal(b, t.scale);
    case BigVarChar:
    case BigChar:
    case Text:
        return cp1252ToUtf8(b);
    case NVarChar:
    case NChar:
    case NText:
        return utf16leToUtf8(b);
    default:
        // Dates, binaries and the like: no procedure here takes one; keep the bytes.
        return b;
    }
}

TypeInfo nullableVariant(const TypeInfo& t)
{
    TypeInfo n = t;
    switch (t.id) {
    case Int1:
    case Int2:
    case Int4:
    case Int8:
        n.id = IntN;
        break;
    case Bit:
        n.id = BitN;
        break;
    case Flt4:
    case Flt8:
        n.id = FltN;
        break;
    case Money:
    case Money4:
        n.id = MoneyN;
        break;
    case DateTime:
    case DateTime4:
        n.id = DateTimN;
        break;
    case Null:
        n.id = IntN;
        n.maxLength = 4;
        break;
    case Text:
        n.id = BigVarChar;
        n.maxLength = 8000;
        break;
    case NText:
        n.id = NVarChar;
        n.maxLength = 8000;
        break;
    default:
        break;
    }
    if (n.collation.size() != 5 && (n.isUnicode() || n.isNarrowText()))
        n.collation = std::string(kCollation, 5);
    return n;
}

bool representable(const TypeInfo& t, const Value& value)
{
    if (value.isNull())
        return true;
    if (t.id == IntN && t.maxLength < 8) {
        auto i = asInteger(value);
        if (!i)
            return true; // not a number at all: goes out as NULL, no overflow
        const std::int64_t limit = std::int64_t{1}
                                   << (8 * t.maxLength - (t.maxLength == 1 ? 0 : 1));
        return t.maxLength == 1 ? *i >= 0 && *i < limit : *i >= -limit && *i < limit;
    }
    if (t.id == DecimalN || t.id == NumericN) {
        auto s = asScaled(value, t.scale);
        if (!s)
            return true;
        unsigned __int128 limit = 1;
        for (int k = 0; k < t.precision; ++k)
            limit *= 10;
        return s->second < limit;
    }
    return true;
}

namespace
{

// Each encoder gives the value's bytes in the column's type, or nullopt when
// the value does not convert: it then goes out as NULL.
using Encoded = std::optional<std::string>;

Encoded integerBytes(const TypeInfo& t, const Value& value)
{
    auto i = asInteger(value);
    if (!i)
        return std::nullopt;
    Writer tmp;
    if (t.id == BitN)
        writeLittle(tmp, *i != 0, 1);
    else
        writeLittle(tmp, static_cast<std::uint64_t>(*i), t.maxLength);
    return std::move(tmp.data());
}

Encoded floatBytes(const TypeInfo& t, const Value& value)
{
    auto d = asDouble(value);
    if (!d)
        return std::nullopt;
    if (t.maxLength == 4) {
        float f = static_cast<float>(*d);
        return std::string(reinterpret_cast<const char*>(&f), 4);
    }
    return std::string(reinterpret_cast<const char*>(&*d), 8);
}

Encoded moneyBytes(const TypeInfo& t, const Value& value)
{
    auto d = asDouble(value);
    if (!d)
        return std::nullopt;
    auto units = static_cast<std::int64_t>(std::llround(*d * 10000.0));
    Writer tmp;
    if (t.maxLength == 4) {
        writeLittle(tmp, static_cast<std::uint64_t>(units), 4);
    } else {
        writeLittle(tmp, static_cast<std::uint64_t>(units) >> 32, 4);
        writeLittle(tmp, static_cast<std::uint64_t>(units) & 0xffffffffu, 4);
    }
    return std::move(tmp.data());
}

Encoded scaledBytes(const TypeInfo& t, const Value& value)
{
    auto s = asScaled(value, t.scale);
    if (!s)
        return std::nullopt;
    const int n = decimalBytes(t.precision);
    Writer tmp;
    tmp.u8(s->first ? 0 : 1);
    unsigned __int128 m = s->second;
    for (int k = 0; k < n; ++k) {
        tmp.u8(static_cast<std::uint8_t>(m & 0xff));
        m >>= 8;
    }
    return std::move(tmp.data());
}

std::string unicodeBytes(const TypeInfo& t, const Value& value)
{
    std::string w16 = utf8ToUtf16le(value.toText());
    if (!t.isPlp() && t.id != NText && w16.size() > t.maxLength)
        w16.resize(t.maxLength & ~1u);
    return w16;
}

std::string narrowBytes(const TypeInfo& t, const Value& value)
{
    std::string narrow = utf8ToCp1252(value.toText());
    if (!t.isPlp() && t.id != Text && narrow.size() > t.maxLength)
        narrow.resize(t.maxLength);
    return narrow;
}

std::string rawBytes(const TypeInfo& t, const Value& value)
{
    std::string raw = value.toText();
    if (isByteLength(t.id) && raw.size() > 255)
        raw.resize(255);
    return raw;
}

Encoded encode(const TypeInfo& t, const Value& value)
{
    switch (t.id) {
    case IntN:
    case BitN:
        return integerBytes(t, value);
    case FltN:
        return floatBytes(t, value);
    case MoneyN:
        return moneyBytes(t, value);
    case DecimalN:
    case NumericN:
        return scaledBytes(t, value);
    case NVarChar:
    case NChar:
    case NText:
        return unicodeBytes(t, value);
    case BigVarChar:
    case BigChar:
    case Text:
        return narrowBytes(t, value);
    default:
        return rawBytes(t, value);
    }
}

} // namespace

void writeValue(Writer& out, const TypeInfo& t, const Value& value)
{
    Encoded bytes = value.isNull() ? std::nullopt : encode(t, value);
    WireValue w;
    if (bytes) {
        w.null = false;
        w.bytes = std::move(*bytes);
    }
    writeWireValue(out, t, w);
}

} // namespace lectora::server::tds
