#pragma once
// Letter case as the stand-in folds it in names, keywords and codes: A-Z
// against a-z and nothing else, whatever locale the process runs in, the way
// SQL Server resolves identifiers and SQLite's NOCASE compares. Every other
// byte, the parts of a UTF-8 character included, stands for itself.

#include <string>
#include <string_view>

namespace lectora::server
{

constexpr char toLowerAscii(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char toUpperAscii(char c) noexcept
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string toLowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = toLowerAscii(c);
    return out;
}

inline std::string toUpperAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = toUpperAscii(c);
    return out;
}

constexpr bool equalsNoCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (toLowerAscii(a[i]) != toLowerAscii(b[i]))
            return false;
    return true;
}

} // namespace lectora::server
