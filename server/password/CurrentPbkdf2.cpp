// Without the system's libcrypt (a Windows build), new hashes stay in the
// PBKDF2 form.
#include "server/password/Scheme.h"

namespace lectora::server::password
{

const Scheme& current()
{
    return pbkdf2();
}

} // namespace lectora::server::password
