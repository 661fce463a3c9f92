#pragma once
// The logged-in operator's id, set once by the login and read by every
// recording command. Kept in the shell so windows need not know the main window.

#include <QString>

namespace Operator
{
QString id();
void setId(const QString& id);
} // namespace Operator
