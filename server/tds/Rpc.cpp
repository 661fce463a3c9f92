#include "server/tds/Rpc.h"

namespace lectora::server::tds
{

const char* systemProcName(std::uint16_t id)
{
    switch (static_cast<SystemProc>(id)) {
    case SystemProc::CursorOpen:
        return "sp_cursoropen";
    case SystemProc::CursorFetch:
        return "sp_cursorfetch";
    case SystemProc::CursorClose:
        return "sp_cursorclose";
    case SystemProc::ExecuteSql:
        return "sp_executesql";
    case SystemProc::Prepare:
        return "sp_prepare";
    case SystemProc::Execute:
        return "sp_execute";
    case SystemProc::PrepExec:
        return "sp_prepexec";
    case SystemProc::Unprepare:
        return "sp_unprepare";
    }
    return "";
}

void skipAllHeaders(Reader& in)
{
    const std::uint32_t total = in.u32le();
    if (total < 4 || total - 4 > in.remaining())
        throw ProtocolError("request headers beyond the end of the message");
    in.skip(total - 4);
}

std::string batchText(std::string_view payload)
{
    Reader in(payload);
    skipAllHeaders(in);
    return utf16leToUtf8(in.bytes(in.remaining()));
}

std::vector<RpcRequest> parseRpc(std::string_view payload)
{
    Reader in(payload);
    skipAllHeaders(in);
    std::vector<RpcRequest> requests;
    for (;;) {
        RpcRequest rq;
        const std::uint16_t nameLength = in.u16le();
        if (nameLength == 0xFFFF)
            rq.procId = in.u16le();
        else if (nameLength == 0)
            throw ProtocolError("RPC without a procedure");
        else
            rq.procedure = in.utf16(nameLength);
        in.u16le(); // option flags
        while (!in.atEnd()) {
            const std::uint8_t next = in.u8();
            if (next == 0x80 || next == 0xFE || next == 0xFF)
                break;
            in.seek(in.pos() - 1);
            RpcParam p;
            p.name = in.bVarchar();
            p.output = in.u8() & 0x01;
            p.type = readTypeInfo(in);
            p.wire = readValue(in, p.type);
            p.value = decodeValue(p.type, p.wire);
            rq.params.push_back(std::move(p));
            if (rq.params.size() > 2100)
                throw ProtocolError("too many parameters");
        }
        requests.push_back(std::move(rq));
        if (in.atEnd())
            break;
    }
    return requests;
}

} // namespace lectora::server::tds
