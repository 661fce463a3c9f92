#pragma once
// The installation's profile: where the server is, the workstation, the login
// pair, the ODBC driver, which menu entries are visible and how the boxes
// sound and take keys. An INI file: the one named by LECTORA_PROFILE, else the
// user's own at defaultPath(), else the machine's at systemPath(). No file at
// all means the embedded default: the stand-in server started in-process.

#include "app/shell/BoxKeyGuard.h"
#include "app/shell/DiagnosticLog.h"
#include "data/ConnectionSettings.h"

#include <QString>
#include <QStringList>
#include <stdexcept>

class ProfileError : public std::runtime_error
{
public:
    explicit ProfileError(const QString& text)
        : std::runtime_error(text.toStdString()), m_text(text)
    {
    }
    QString text() const { return m_text; }

private:
    QString m_text;
};

struct Profile {
    bool present = false; // false: no file, embedded default
    QString path;
    ConnectionSettings connection;
    QStringList visibleEntries = defaultVisibleEntries();
    // [operator]: the box tones and how a scan is told from a deliberate key.
    bool sound = true;
    KeyTiming boxKeys;
    // [log]: the diagnostic log's level, folder and bounds.
    LogSettings log;

    static QStringList defaultVisibleEntries(); // Inventario1, NordaPavrel1, Ulmar1
    static QStringList knownEntries();          // the twelve entry names
    static QString defaultPath();               // the user's own
    static QString systemPath();                // the machine's, set once by the site
    // The certificates of servers this user's terminal has met (see
    // KnownServers); the site's own file is known-servers beside the profile.
    static QString knownServersPath();
    // Reads the profile at LECTORA_PROFILE, defaultPath() or systemPath();
    // throws ProfileError for a malformed file, an unknown key or an invalid
    // value.
    static Profile load();
    // load() over given locations: `named` when not empty (it must exist),
    // else the first of `candidates` that exists; none is the embedded default.
    static Profile loadFirst(const QString& named, const QStringList& candidates);
    static Profile loadFile(const QString& path);
};
