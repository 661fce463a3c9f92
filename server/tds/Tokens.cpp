#include "server/tds/Tokens.h"

#include <cmath>
#include <cstdio>

namespace lectora::server::tds
{

void TokenWriter::envChangeText(std::uint8_t type, std::string_view newValue,
                                std::string_view oldValue)
{
    m_out.u8(EnvChange);
    const std::size_t at = m_out.size();
    m_out.u16le(0);
    m_out.u8(type);
    m_out.bVarchar(newValue);
    m_out.bVarchar(oldValue);
    m_out.patch16le(at, static_cast<std::uint16_t>(m_out.size() - at - 2));
}

void TokenWriter::envChangeCollation()
{
    m_out.u8(EnvChange);
    m_out.u16le(1 + 1 + 5 + 1);
    m_out.u8(7);
    m_out.u8(5);
    m_out.bytes(std::string_view(kCollation, 5));
    m_out.u8(0);
}

void TokenWriter::loginAck(std::uint32_t tdsVersion)
{
    m_out.u8(LoginAck);
    const std::size_t at = m_out.size();
    m_out.u16le(0);
    m_out.u8(1); // SQL interface
    m_out.u32be(tdsVersion);
    // Qt's driver tells the server kind by this name.
    m_out.bVarchar("Microsoft SQL Server");
    m_out.u8(16);
    m_out.u8(0);
    m_out.u8(0x10);
    m_out.u8(0x00);
    m_out.patch16le(at, static_cast<std::uint16_t>(m_out.size() - at - 2));
}

void TokenWriter::message(bool error, int number, int state, int severity, std::string_view text,
                          std::string_view procedure, int line)
{
    m_out.u8(error ? ErrorToken : InfoToken);
    const std::size_t at = m_out.size();
    m_out.u16le(0);
    m_out.u32le(static_cast<std::uint32_t>(number));
    m_out.u8(static_cast<std::uint8_t>(state));
    m_out.u8(static_cast<std::uint8_t>(severity));
    // The token's own length is 16 bits: keep long messages inside it.
    std::string_view t = text.substr(0, 4000);
    m_out.usVarchar(t);
    m_out.bVarchar(kServerName);
    m_out.bVarchar(procedure);
    m_out.u32le(static_cast<std::uint32_t>(line));
    m_out.patch16le(at, static_cast<std::uint16_t>(m_out.size() - at - 2));
}

namespace
{

int fractionDigits(const Value& v)
{
    if (auto* s = std::get_if<std::string>(&v.data)) {
        auto dot = s->find('.');
        if (dot == std::string::npos)
            return 0;
        int n = 0;
        for (std::size_t i = dot + 1; i < s->size() && (*s)[i] >= '0' && (*s)[i] <= '9'; ++i)
            ++n;
        return n;
    }
    if (auto* d = std::get_if<double>(&v.data)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.6f", *d);
        std::string t(buf);
        while (!t.empty() && t.back() == '0')
            t.pop_back();
        auto dot = t.find('.');
        return dot == std::string::npos ? 0 : static_cast<int>(t.size() - dot - 1);
    }
    return 0;
}

} // namespace

TypeInfo columnType(ColumnType type, const std::vector<std::vector<Value>>& rows, std::size_t col)
{
    TypeInfo t;
    switch (type) {
    case ColumnType::Text:
        t.id = NVarChar;
        t.maxLength = 8000;
        // A longer text goes out as nvarchar(max) rather than cut.
        for (const auto& r : rows)
            if (col < r.size() && !r[col].isNull() && utf16Units(r[col].toText()) > 4000)
                t.maxLength = 0xFFFF;
        break;
    case ColumnType::Int: {
        t.id = IntN;
        t.maxLength = 4;
        for (const auto& r : rows) {
            if (col >= r.size())
                continue;
            if (auto* i = std::get_if<std::int64_t>(&r[col].data);
                i && (*i > INT32_MAX || *i < INT32_MIN))
                t.maxLength = 8;
        }
        break;
    }
    case ColumnType::Decimal: {
        t.id = DecimalN;
        int scale = 0;
        for (const auto& r : rows)
            if (col < r.size())
                scale = std::max(scale, fractionDigits(r[col]));
        t.scale = static_cast<std::uint8_t>(std::min(scale, 10));
        t.precision = 38;
        t.maxLength = 17;
        break;
    }
    case ColumnType::Bit:
        t.id = BitN;
        t.maxLength = 1;
        break;
    case ColumnType::Float:
        t.id = FltN;
        t.maxLength = 8;
        break;
    }
    if (!t.isUnicode())
        t.collation.clear();
    return t;
}

void TokenWriter::resultSet(const ResultSet& rs)
{
    if (rs.columns.empty())
        return;
    std::vector<TypeInfo> types;
    m_out.u8(ColMetadata);
    m_out.u16le(static_cast<std::uint16_t>(rs.columns.size()));
    for (std::size_t c = 0; c < rs.columns.size(); ++c) {
        types.push_back(columnType(rs.columns[c].type, rs.rows, c));
        m_out.u32le(0);      // user type
        m_out.u16le(0x0001); // nullable
        writeTypeInfo(m_out, types.back());
        m_out.bVarchar(rs.columns[c].name);
    }
    static const Value null;
    for (const auto& r : rs.rows) {
        m_out.u8(Row);
        for (std::size_t c = 0; c < types.size(); ++c)
            writeValue(m_out, types[c], c < r.size() ? r[c] : null);
    }
}

void TokenWriter::done(std::uint8_t token, std::uint16_t status, std::uint16_t command,
                       std::uint64_t rows)
{
    m_out.u8(token);
    m_doneStatus.push_back(m_out.size());
    m_out.u16le(status);
    m_out.u16le(command);
    m_out.u64le(rows);
}

void TokenWriter::returnStatus(std::int32_t status)
{
    m_out.u8(ReturnStatus);
    m_out.u32le(static_cast<std::uint32_t>(status));
}

void TokenWriter::returnValue(std::uint16_t ordinal, std::string_view name, const TypeInfo& type,
                              const Value& value)
{
    m_out.u8(ReturnValue);
    m_out.u16le(ordinal);
    m_out.bVarchar(name);
    m_out.u8(0x01); // output parameter
    m_out.u32le(0);
    m_out.u16le(0x0001);
    writeTypeInfo(m_out, type);
    writeValue(m_out, type, value);
}

std::string TokenWriter::finish()
{
    auto& data = m_out.data();
    for (std::size_t i = 0; i < m_doneStatus.size(); ++i) {
        const std::size_t at = m_doneStatus[i];
        std::uint16_t status =
            static_cast<std::uint16_t>(std::uint8_t(data[at]) | std::uint8_t(data[at + 1]) << 8);
        if (i + 1 < m_doneStatus.size())
            status |= DoneMore;
        else
            status &= ~DoneMore;
        m_out.patch16le(at, status);
    }
    m_doneStatus.clear();
    return std::move(data);
}

} // namespace lectora::server::tds
