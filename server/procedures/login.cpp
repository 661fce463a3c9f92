// Procedures and demo data of the login windows.
#include "server/Database.h"
#include "server/ProcedureHost.h"

namespace lectora::server {

void registerLogin(ProcedureRegistry&) {}

void seedLogin(Database&, std::string_view) {}

} // namespace lectora::server
