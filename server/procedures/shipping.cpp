// Procedures and demo data of the shipping windows.
#include "server/Database.h"
#include "server/ProcedureHost.h"

namespace lectora::server {

void registerShipping(ProcedureRegistry&) {}

void seedShipping(Database&, std::string_view) {}

} // namespace lectora::server
