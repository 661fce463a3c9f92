#pragma once
// What the terminal takes from the platform it runs on: where its profiles
// are looked for, where its diagnostic log goes, and which ODBC driver it
// uses when a profile names none.
// One implementation per platform (Places_posix.cpp, Places_windows.cpp).

#include <QString>

namespace places
{

// The user's own profile: the first one looked for.
QString userProfile();
// The machine's profile, written by whoever sets the terminal up.
QString machineProfile();
// The diagnostic log's folder when the profile names none: the user's own
// state folder for the terminal.
QString logFolder();
// The driver of a profile that names none.
QString defaultDriver();
// The driver the terminal reaches its in-process stand-in with: one that is
// installed, as no profile chose it.
QString embeddedDriver();

} // namespace places
