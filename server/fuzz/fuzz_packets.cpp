// Feeds arbitrary bytes to a session as if they came off the socket: framing,
// PRELOGIN, LOGIN7, batches, RPC parameters of every type, token writing.
// An input whose first byte is odd starts on a session already logged in, so
// that most of the effort goes to the request parsers.
#include "server/Journal.h"
#include "server/ProcedureHost.h"
#include "server/tds/Wire.h"
#include "server/tds/Login.h"
#include "server/tds/Session.h"
#include "tests/support/TdsRequests.h"

#include <cstddef>
#include <cstdint>

using namespace lectora::server;
using namespace lectora::server::tds;

namespace
{

struct World {
    ProcedureRegistry registry;
    ProcedureHost host{registry, [](std::string_view) { return nullptr; }};
    Journal journal;
    World()
    {
        // Echoes its arguments as a row and its outputs, so that every value
        // type read also goes back out.
        registry.script("sp_Eco", [](Call& call) {
            ResultSet rs;
            std::vector<Value> row;
            for (std::size_t i = 0; i < call.args.size(); ++i) {
                rs.columns.push_back({"c" + std::to_string(i), static_cast<ColumnType>(i % 5)});
                row.push_back(call.args[i].value);
            }
            rs.rows.push_back(row);
            Reply r = Reply::rows(rs);
            for (const auto& a : call.args)
                if (a.output)
                    r.outputs[a.name] = Value("x");
            return r;
        });
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static World world;
    static const std::string login = login7Request("sa", "tolvexra");
    world.journal.clear();
    SessionContext c;
    c.login = "sa";
    c.password = "tolvexra";
    c.registry = &world.registry;
    c.host = &world.host;
    c.journal = &world.journal;
    c.resolveCatalogue = [](std::string_view db) { return std::string(db); };
    Session session(c, 1);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!input.empty() && (input[0] & 1)) {
        if (session.handle({PacketType::Login7, login}).close)
            __builtin_trap();
    }
    if (!input.empty())
        input.remove_prefix(1);
    Deframer deframer(1 << 20);
    deframer.append(input);
    try {
        while (auto message = deframer.next()) {
            if (session.handle(*message).close)
                break;
        }
    } catch (const ProtocolError&) {
    }
    return 0;
}
