#include "server/tds/Wire.h"

#include <array>

namespace lectora::server::tds
{

void Reader::seek(std::size_t pos)
{
    if (pos > m_data.size())
        throw ProtocolError("offset beyond the end of the message");
    m_pos = pos;
}

std::string_view Reader::bytes(std::size_t n)
{
    if (n > remaining())
        throw ProtocolError("message ends early");
    auto v = m_data.substr(m_pos, n);
    m_pos += n;
    return v;
}

std::uint8_t Reader::u8()
{
    return static_cast<std::uint8_t>(bytes(1)[0]);
}

std::uint16_t Reader::u16le()
{
    auto b = bytes(2);
    return static_cast<std::uint16_t>(std::uint8_t(b[0]) | std::uint8_t(b[1]) << 8);
}

std::uint16_t Reader::u16be()
{
    auto b = bytes(2);
    return static_cast<std::uint16_t>(std::uint8_t(b[1]) | std::uint8_t(b[0]) << 8);
}

std::uint32_t Reader::u32le()
{
    auto b = bytes(4);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | std::uint8_t(b[i]);
    return v;
}

std::uint32_t Reader::u32be()
{
    auto b = bytes(4);
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | std::uint8_t(b[i]);
    return v;
}

std::uint64_t Reader::u64le()
{
    auto b = bytes(8);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | std::uint8_t(b[i]);
    return v;
}

std::string Reader::utf16(std::size_t chars)
{
    return utf16leToUtf8(bytes(chars * 2));
}

void Writer::u16le(std::uint16_t v)
{
    u8(v & 0xff);
    u8(v >> 8);
}

void Writer::u16be(std::uint16_t v)
{
    u8(v >> 8);
    u8(v & 0xff);
}

void Writer::u32le(std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        u8(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::u32be(std::uint32_t v)
{
    for (int i = 3; i >= 0; --i)
        u8(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::u64le(std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        u8(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::patch16le(std::size_t at, std::uint16_t v)
{
    m_out[at] = static_cast<char>(v & 0xff);
    m_out[at + 1] = static_cast<char>(v >> 8);
}

void Writer::bVarchar(std::string_view utf8)
{
    std::string w = utf8ToUtf16le(utf8);
    if (w.size() > 255 * 2)
        w.resize(255 * 2);
    u8(static_cast<std::uint8_t>(w.size() / 2));
    bytes(w);
}

void Writer::usVarchar(std::string_view utf8)
{
    std::string w = utf8ToUtf16le(utf8);
    if (w.size() > 65535 * 2)
        w.resize(65535 * 2);
    u16le(static_cast<std::uint16_t>(w.size() / 2));
    bytes(w);
}

namespace
{

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point from UTF-8 at i, advancing i.
char32_t nextCodePoint(std::string_view s, std::size_t& i)
{
    auto c = static_cast<unsigned char>(s[i++]);
    if (c < 0x80)
        return c;
    int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : -1;
    if (extra < 0 || c >= 0xF8)
        return kReplacement;
    char32_t cp = c & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            return kReplacement;
        cp = cp << 6 | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return kReplacement;
    return cp;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUnit(std::string& out, char16_t u)
{
    out.push_back(static_cast<char>(u & 0xff));
    out.push_back(static_cast<char>(u >> 8));
}

// 0x80..0x9F of code page 1252; 0 marks the five unassigned positions.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

std::string utf8ToUtf16le(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() * 2);
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = nextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            appendUnit(out, static_cast<char16_t>(0xD800 + (cp >> 10)));
            appendUnit(out, static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            appendUnit(out, static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::size_t utf16Units(std::string_view utf8)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < utf8.size();)
        n += nextCodePoint(utf8, i) >= 0x10000 ? 2 : 1;
    return n;
}

std::string utf16leToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = bytes.size() / 2;
    auto unit = [&](std::size_t k) {
        return static_cast<char16_t>(std::uint8_t(bytes[2 * k]) | std::uint8_t(bytes[2 * k + 1])
                                                                      << 8);
    };
    for (std::size_t k = 0; k < units; ++k) {
        char16_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 &&
            unit(k + 1) <= 0xDFFF) {
            char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
            appendUtf8(out, cp);
            ++k;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, u);
        }
    }
    if (bytes.size() % 2)
        appendUtf8(out, kReplacement);
    return out;
}

std::string cp1252ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c >= 0x80 && c < 0xA0)
            appendUtf8(out, kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : kReplacement);
        else
            appendUtf8(out, c);
    }
    return out;
}

std::string utf8ToCp1252(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = nextCodePoint(utf8, i);
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            out.push_back(static_cast<char>(cp));
            continue;
        }
        char c = '?';
        for (std::size_t k = 0; k < kCp1252High.size(); ++k)
            if (kCp1252High[k] && kCp1252High[k] == cp)
                c = static_cast<char>(0x80 + k);
        out.push_back(c);
    }
    return out;
}

} // namespace lectora::server::tds
