#include "platform/DriverEnvironment.h"

namespace lectora::driverenv
{

bool reachesDriver()
{
    return false;
}

} // namespace lectora::driverenv
