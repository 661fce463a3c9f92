#pragma once
// TDS data types: the TYPE_INFO that describes a column or parameter, and the
// conversion of one value between its wire layout and a procedure's Value.

#include "server/ProcedureHost.h"
#include "server/tds/Wire.h"

#include <cstdint>
#include <string>

namespace lectora::server::tds
{

enum TypeId : std::uint8_t {
    Null = 0x1F,
    Int1 = 0x30,
    Bit = 0x32,
    Int2 = 0x34,
    Int4 = 0x38,
    DateTime4 = 0x3A,
    Flt4 = 0x3B,
    Money = 0x3C,
    DateTime = 0x3D,
    Flt8 = 0x3E,
    Money4 = 0x7A,
    Int8 = 0x7F,
    Guid = 0x24,
    IntN = 0x26,
    DateN = 0x28,
    TimeN = 0x29,
    DateTime2N = 0x2A,
    DateTimeOffsetN = 0x2B,
    BitN = 0x68,
    DecimalN = 0x6A,
    NumericN = 0x6C,
    FltN = 0x6D,
    MoneyN = 0x6E,
    DateTimN = 0x6F,
    BigVarBinary = 0xA5,
    BigVarChar = 0xA7,
    BigBinary = 0xAD,
    BigChar = 0xAF,
    NVarChar = 0xE7,
    NChar = 0xEF,
    Image = 0x22,
    Text = 0x23,
    NText = 0x63,
};

// Latin1_General, case-insensitive, accent-sensitive, code page 1252: what the
// server announces at login and puts on every text column.
inline constexpr char kCollation[5] = {0x09, 0x04, static_cast<char>(0xD0), 0x00, 0x34};

struct TypeInfo {
    std::uint8_t id = NVarChar;
    std::uint32_t maxLength = 0; // bytes; 0xFFFF on a variable type means varchar(max) chunks
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    std::string collation = std::string(kCollation, 5);

    bool isPlp() const;
    bool isUnicode() const { return id == NVarChar || id == NChar || id == NText; }
    bool isNarrowText() const { return id == BigVarChar || id == BigChar || id == Text; }
};

TypeInfo readTypeInfo(Reader& in);
void writeTypeInfo(Writer& out, const TypeInfo& type);

// A value as it came on the wire: its bytes (without length prefix) so that an
// output parameter the procedure did not touch goes back exactly as it came.
struct WireValue {
    bool null = true;
    std::string bytes;
};

WireValue readValue(Reader& in, const TypeInfo& type);
void writeWireValue(Writer& out, const TypeInfo& type, const WireValue& value);
Value decodeValue(const TypeInfo& type, const WireValue& value);
void writeValue(Writer& out, const TypeInfo& type, const Value& value);

// The nullable variant used to send a value of `type` back (INT4 -> INTN 4, ...);
// types this server cannot write back become NVARCHAR.
TypeInfo nullableVariant(const TypeInfo& type);

// Whether `value` fits a number type without overflow (other types: always).
bool representable(const TypeInfo& type, const Value& value);

// Text of an exact decimal: 10^scale-scaled integer -> "12.50".
std::string decimalText(bool negative, unsigned __int128 magnitude, int scale);

} // namespace lectora::server::tds
