// Procedures and demo data of the inventory windows.
#include "server/Database.h"
#include "server/ProcedureHost.h"

namespace lectora::server {

void registerInventory(ProcedureRegistry&) {}

void seedInventory(Database&, std::string_view) {}

} // namespace lectora::server
