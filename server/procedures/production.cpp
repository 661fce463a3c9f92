// Procedures and demo data of the production windows.
#include "server/Database.h"
#include "server/ProcedureHost.h"

namespace lectora::server {

void registerProduction(ProcedureRegistry&) {}

void seedProduction(Database&, std::string_view) {}

} // namespace lectora::server
