// Procedures and demo data of the inbound windows.
#include "server/Database.h"
#include "server/ProcedureHost.h"

namespace lectora::server {

void registerInbound(ProcedureRegistry&) {}

void seedInbound(Database&, std::string_view) {}

} // namespace lectora::server
