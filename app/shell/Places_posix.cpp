// Free desktops: the XDG configuration folder, then the machine's folder
// under the prefix the terminal was built for (/usr gives /etc).
#include "app/shell/Places.h"

#include <QDir>
#include <QStandardPaths>

namespace places
{

QString userProfile()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("LectoraVelmor/lectora.ini"));
}

QString machineProfile()
{
    return QStringLiteral(LECTORA_SYSCONFDIR "/lectora/lectora.ini");
}

QString defaultDriver()
{
    return QStringLiteral("FreeTDS");
}

QString embeddedDriver()
{
    return defaultDriver();
}

} // namespace places
