#include "server/ProcedureHost.h"

namespace lectora::server
{

// One registration and seed function per terminal subsystem; each lives in
// the file named after it.
void registerLogin(ProcedureRegistry&);
void seedLogin(Database&, std::string_view catalogue);
void upgradeLogin(Database&);
void registerInventory(ProcedureRegistry&);
void seedInventory(Database&, std::string_view catalogue);
void registerInbound(ProcedureRegistry&);
void seedInbound(Database&, std::string_view catalogue);
void registerProduction(ProcedureRegistry&);
void seedProduction(Database&, std::string_view catalogue);
void registerShipping(ProcedureRegistry&);
void seedShipping(Database&, std::string_view catalogue);

const std::vector<ProcedureModule>& procedureModules()
{
    static const std::vector<ProcedureModule> modules = {
        {"login", registerLogin, seedLogin, upgradeLogin},
        {"inventory", registerInventory, seedInventory},
        {"inbound", registerInbound, seedInbound},
        {"production", registerProduction, seedProduction},
        {"shipping", registerShipping, seedShipping},
    };
    return modules;
}

} // namespace lectora::server
