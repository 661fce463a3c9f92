#include "platform/DriverEnvironment.h"

namespace lectora::driverenv
{

// One C library, one environment.
bool reachesDriver()
{
    return true;
}

} // namespace lectora::driverenv
