#pragma once
// Whether an ODBC driver loaded into this process reads the environment this
// process sets. FreeTDS finds its configuration file, the only place it takes
// a CA file from, through the FREETDSCONF variable.

namespace lectora::driverenv
{

// True where a variable set with qputenv reaches the driver. On Windows the
// driver keeps its own C runtime's copy of the environment, and under Wine
// FreeTDS is the host's library reading the host's: neither sees it.
bool reachesDriver();

} // namespace lectora::driverenv
