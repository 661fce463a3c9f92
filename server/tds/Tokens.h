#pragma once
// Builds the token stream of one reply. The DONE family's MORE bit depends on
// what follows, so it is settled once the reply is complete (finish()).

#include "server/ProcedureHost.h"
#include "server/tds/Types.h"
#include "server/tds/Wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lectora::server::tds
{

enum Token : std::uint8_t {
    ColMetadata = 0x81,
    ErrorToken = 0xAA,
    InfoToken = 0xAB,
    ReturnValue = 0xAC,
    LoginAck = 0xAD,
    Row = 0xD1,
    EnvChange = 0xE3,
    ReturnStatus = 0x79,
    Done = 0xFD,
    DoneProc = 0xFE,
    DoneInProc = 0xFF,
};

enum DoneStatus : std::uint16_t {
    DoneFinal = 0x00,
    DoneMore = 0x01,
    DoneError = 0x02,
    DoneCount = 0x10,
    DoneAttention = 0x20,
};

// Current-command codes carried by DONE tokens.
inline constexpr std::uint16_t kCmdExecute = 0xE0;
inline constexpr std::uint16_t kCmdSet = 0xBA;
inline constexpr std::uint16_t kCmdSelect = 0xC1;

inline constexpr std::uint32_t kTds74 = 0x74000004;
inline constexpr const char* kServerName = "LECTORA";

class TokenWriter
{
public:
    void envChangeText(std::uint8_t type, std::string_view newValue, std::string_view oldValue);
    void envChangeCollation();
    void loginAck(std::uint32_t tdsVersion);
    void message(bool error, int number, int state, int severity, std::string_view text,
                 std::string_view procedure = {}, int line = 1);
    // Severity 10 and below is a message, not a failure: it goes as INFO.
    void error(const ServerError& e, std::string_view procedure = {})
    {
        message(e.severity > 10, e.number, e.state, e.severity, e.message, procedure);
    }
    void info(int number, std::string_view text) { message(false, number, 1, 0, text); }
    // COLMETADATA and ROWs of one result set; the column types follow the
    // declared ColumnType, sized to fit the values.
    void resultSet(const ResultSet& rs);
    void done(std::uint8_t token, std::uint16_t status, std::uint16_t command = 0,
              std::uint64_t rows = 0);
    void returnStatus(std::int32_t status);
    void returnValue(std::uint16_t ordinal, std::string_view name, const TypeInfo& type,
                     const Value& value);

    bool empty() const { return m_out.size() == 0; }
    // Sets MORE on every DONE but the last and returns the stream.
    std::string finish();

private:
    Writer m_out;
    std::vector<std::size_t> m_doneStatus; // offsets of the DONE status fields
};

// The wire type a result column is declared with, given the values it holds.
TypeInfo columnType(ColumnType type, const std::vector<std::vector<Value>>& rows, std::size_t col);

} // namespace lectora::server::tds
