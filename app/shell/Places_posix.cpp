// Free desktops: the XDG configuration folder, then the machine's folder
// under the prefix the terminal was built for (/usr gives /etc); the log in
// the XDG state folder.
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

QString logFolder()
{
    // XDG_STATE_HOME, else ~/.local/state (Qt names no such location yet).
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(base).filePath(QStringLiteral("LectoraVelmor"));
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
