// Windows: the user's roaming application data, then the machine's program
// data; the log in the user's local application data; the drivers are those
// the ODBC administrator lists.
#include "app/shell/Places.h"

#include <QDir>
#include <QStringList>

#include <windows.h>
#include <sql.h>
#include <sqlext.h>

namespace places
{

namespace
{

QString inFolderOf(const char* variable)
{
    const QString base = qEnvironmentVariable(variable);
    if (base.isEmpty())
        return {};
    return QDir(QDir::fromNativeSeparators(base)).filePath(QStringLiteral("LectoraVelmor/lectora.ini"));
}

QStringList installedDrivers()
{
    QStringList names;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return names;
    ::SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLWCHAR name[256];
    SQLWCHAR attributes[1024];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(::SQLDriversW(env, direction, name, SQLSMALLINT(std::size(name)),
                                       &nameLength, attributes, SQLSMALLINT(std::size(attributes)),
                                       &attributesLength))) {
        names << QString::fromWCharArray(reinterpret_cast<const wchar_t*>(name));
        direction = SQL_FETCH_NEXT;
    }
    ::SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

} // namespace

QString userProfile()
{
    return inFolderOf("APPDATA");
}

QString machineProfile()
{
    const QString path = inFolderOf("PROGRAMDATA");
    return path.isEmpty() ? QStringLiteral("C:/ProgramData/LectoraVelmor/lectora.ini") : path;
}

QString logFolder()
{
    const QString base = qEnvironmentVariable("LOCALAPPDATA");
    if (base.isEmpty())
        return QDir::home().filePath(QStringLiteral("AppData/Local/LectoraVelmor"));
    return QDir(QDir::fromNativeSeparators(base)).filePath(QStringLiteral("LectoraVelmor"));
}

QString defaultDriver()
{
    return QStringLiteral("ODBC Driver 18 for SQL Server");
}

QString embeddedDriver()
{
    // Newest first; FreeTDS where a site installed it; the built-in driver
    // every Windows has comes last.
    const QStringList installed = installedDrivers();
    for (const char* candidate :
         {"ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server", "FreeTDS"}) {
        if (installed.contains(QLatin1String(candidate), Qt::CaseInsensitive))
            return QLatin1String(candidate);
    }
    return QStringLiteral("SQL Server");
}

} // namespace places
