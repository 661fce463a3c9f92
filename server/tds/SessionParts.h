#pragma once
// What the session's own files share and nothing else includes: the errors
// and checks that batches and RPC requests answer alike.

#include "server/ProcedureHost.h"

#include <string>
#include <string_view>

namespace lectora::server::tds::parts
{

inline ServerError notFound(std::string_view name)
{
    return ServerError{2812, 16, 62,
                       "Could not find stored procedure '" + std::string(name) + "'."};
}

inline bool failed(const Reply& r)
{
    return r.error && r.error->severity > 10;
}

} // namespace lectora::server::tds::parts
