#pragma once
// Parses RPC requests: a procedure by name or by well-known id, and its
// parameters with their wire types (kept so that outputs go back as they came).

#include "server/ProcedureHost.h"
#include "server/tds/Types.h"
#include "server/tds/Wire.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lectora::server::tds
{

// Procedure ids a client may send instead of a name.
enum class SystemProc : std::uint16_t {
    CursorOpen = 2,
    CursorFetch = 7,
    CursorClose = 9,
    ExecuteSql = 10,
    Prepare = 11,
    Execute = 12,
    PrepExec = 13,
    Unprepare = 15,
};

// The name a well-known procedure id stands for, or "" for an unknown id.
const char* systemProcName(std::uint16_t id);

struct RpcParam {
    std::string name; // as sent, often empty
    bool output = false;
    TypeInfo type;
    WireValue wire;
    Value value;
};

struct RpcRequest {
    std::string procedure; // empty when sent by id
    std::uint16_t procId = 0;
    std::vector<RpcParam> params;
};

// Skips the ALL_HEADERS block that starts every batch and RPC request.
void skipAllHeaders(Reader& in);
// One or more RPC requests (a client may batch several in one message).
std::vector<RpcRequest> parseRpc(std::string_view payload);
// The text of a SQL batch message, as UTF-8.
std::string batchText(std::string_view payload);

} // namespace lectora::server::tds
