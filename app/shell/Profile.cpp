#include "app/shell/Profile.h"

#include "app/shell/Places.h"
#include "data/KnownServers.h"
#include "data/OdbcString.h"
#include "platform/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStandardPaths>

// The profile is read by hand rather than through QSettings: QSettings accepts
// anything (a typo in a key is silently a new key, a broken line is skipped),
// and a site that mistypes its server must be told, not sent to the demo.

namespace
{

const QString kEnvironmentVariable = QStringLiteral("LECTORA_PROFILE");
// The installation's own timeouts; a profile may only ask for less.
const int kLongestTimeout = ConnectionSettings{}.commandTimeout;

// The ODBC driver a profile that names none gets: FreeTDS where it is the
// usual one, Microsoft's own driver on Windows.
Profile withPlatformDefaults(Profile profile)
{
    profile.connection.driver = places::defaultDriver();
    return profile;
}

QString unquoted(const QString& value)
{
    // Double quotes keep blanks at either end of a value (a password).
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        return value.mid(1, value.size() - 2);
    return value;
}

class ProfileReader
{
public:
    ProfileReader(const QString& path, Profile& profile) : m_path(path), m_profile(profile) {}

    void read(const QString& text)
    {
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            m_line = i + 1;
            QString line = lines.at(i);
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
            line = line.trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
                line.startsWith(QLatin1Char('#')))
                continue;
            if (line.startsWith(QLatin1Char('[')))
                section(line);
            else
                entry(line);
        }
        checkLink();
    }

private:
    [[noreturn]] void fail(const QString& what) const
    {
        throw ProfileError(
            QStringLiteral("Profile %1, line %2: %3").arg(m_path).arg(m_line).arg(what));
    }

    void section(const QString& line)
    {
        if (!line.endsWith(QLatin1Char(']')))
            fail(QStringLiteral("malformed section header \"%1\"").arg(line));
        const QString name = line.mid(1, line.size() - 2).trimmed();
        if (name != QLatin1String("server") && name != QLatin1String("menu") &&
            name != QLatin1String("operator") && name != QLatin1String("log"))
            fail(QStringLiteral("unknown section [%1] (known: [server], [menu], [operator], [log])")
                     .arg(name));
        if (m_sections.contains(name))
            fail(QStringLiteral("section [%1] appears twice").arg(name));
        m_sections.insert(name);
        m_section = name;
    }

    void entry(const QString& line)
    {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            fail(QStringLiteral("expected key=value, found \"%1\"").arg(line));
        const QString key = line.left(equals).trimmed();
        const QString value = unquoted(line.mid(equals + 1).trimmed());
        if (key.isEmpty())
            fail(QStringLiteral("a value without a key"));
        if (m_section.isEmpty())
            fail(QStringLiteral("key \"%1\" before any section").arg(key));
        const QString qualified = m_section + QLatin1Char('/') + key;
        if (m_keys.contains(qualified))
            fail(QStringLiteral("key \"%1\" appears twice in [%2]").arg(key, m_section));
        m_keys.insert(qualified);
        m_keyLines.insert(qualified, m_line);

        ConnectionSettings& c = m_profile.connection;
        if (m_section == QLatin1String("server")) {
            if (key == QLatin1String("host"))
                c.host = required(key, value);
            else if (key == QLatin1String("port"))
                c.port = port(value);
            else if (key == QLatin1String("workstation"))
                c.workstation = value;
            else if (key == QLatin1String("login"))
                c.login = required(key, value);
            else if (key == QLatin1String("password"))
                c.password = secret(key, value);
            else if (key == QLatin1String("driver"))
                c.driver = required(key, value);
            else if (key == QLatin1String("connect_timeout"))
                c.connectTimeout = seconds(key, value);
            else if (key == QLatin1String("command_timeout"))
                c.commandTimeout = seconds(key, value);
            else if (!linkKey(key, value))
                fail(QStringLiteral("unknown key \"%1\" in [server] (known: host, port, "
                                    "workstation, login, password, password_file, password_env, "
                                    "driver, encrypt, ca_file, certificate_sha256, "
                                    "trust_server_certificate, "
                                    "host_in_certificate, odbc_string, connect_timeout, "
                                    "command_timeout)")
                         .arg(key));
        } else if (m_section == QLatin1String("operator")) {
            operatorEntry(key, value);
        } else if (m_section == QLatin1String("log")) {
            logEntry(key, value);
        } else {
            if (key == QLatin1String("visible"))
                m_profile.visibleEntries = entries(value);
            else
                fail(QStringLiteral("unknown key \"%1\" in [menu] (known: visible)").arg(key));
        }
    }

    // The keys of the link's encryption and of where the password lives.
    bool linkKey(const QString& key, const QString& value)
    {
        LinkSecurity& l = m_profile.connection.security;
        if (key == QLatin1String("encrypt"))
            l.encrypt = encryption(value);
        else if (key == QLatin1String("ca_file"))
            l.caFile = readableFile(key, value);
        else if (key == QLatin1String("certificate_sha256"))
            l.certificateSha256 = fingerprint(key, value);
        else if (key == QLatin1String("trust_server_certificate"))
            l.trustServerCertificate = yesNo(key, value);
        else if (key == QLatin1String("host_in_certificate"))
            l.hostInCertificate = required(key, value);
        else if (key == QLatin1String("odbc_string"))
            l.odbcString = required(key, value);
        else if (key == QLatin1String("password_file"))
            m_profile.connection.password = secret(key, passwordFromFile(value));
        else if (key == QLatin1String("password_env"))
            m_profile.connection.password = secret(key, passwordFromEnvironment(value));
        else
            return false;
        return true;
    }

    LinkEncryption encryption(const QString& value) const
    {
        for (LinkEncryption e : {LinkEncryption::Off, LinkEncryption::Login, LinkEncryption::On,
                                 LinkEncryption::Strict})
            if (value == linkEncryptionName(e))
                return e;
        fail(QStringLiteral("encrypt \"%1\" is none of off, login, on, strict").arg(value));
    }

    // As `openssl x509 -fingerprint -sha256` prints it, its label included or not.
    QString fingerprint(const QString& key, const QString& value) const
    {
        const QString normal = normalFingerprint(value.section(QLatin1Char('='), -1));
        if (normal.isEmpty())
            fail(QStringLiteral("%1 \"%2\" is not a SHA-256 fingerprint (64 hex digits, as "
                                "openssl x509 -fingerprint -sha256 prints them)")
                     .arg(key, value));
        return normal;
    }

    bool yesNo(const QString& key, const QString& value) const
    {
        if (value == QLatin1String("yes") || value == QLatin1String("no"))
            return value == QLatin1String("yes");
        fail(QStringLiteral("%1 \"%2\" is neither yes nor no").arg(key, value));
    }

    // A path relative to the profile's folder, so that a profile and the
    // files it names can be copied together.
    QString resolved(const QString& value) const
    {
        return QDir::cleanPath(QFileInfo(m_path).absoluteDir().absoluteFilePath(value));
    }

    QString readableFile(const QString& key, const QString& value) const
    {
        const QString path = resolved(required(key, value));
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("%1 \"%2\" cannot be read").arg(key, path));
        return path;
    }

    QString passwordFromFile(const QString& value) const
    {
        const QString key = QStringLiteral("password_file");
        const QString path = readableFile(key, value);
        if (lectora::files::readableByOthers(lectora::files::fromUtf8(path.toStdString())))
            fail(QStringLiteral("password_file \"%1\" can be read by other users: allow only "
                                "its owner (chmod 600)")
                     .arg(path));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("password_file \"%1\" cannot be read").arg(path));
        const QByteArray bytes = file.readAll();
        if (bytes.isEmpty())
            fail(QStringLiteral("password_file \"%1\" is empty").arg(path));
        const qsizetype end = bytes.indexOf('\n');
        QString line = QString::fromUtf8(end < 0 ? bytes : bytes.left(end));
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.contains(QChar::ReplacementCharacter) || line.contains(QChar(0)))
            fail(QStringLiteral("password_file \"%1\" is not UTF-8 text").arg(path));
        return line;
    }

    QString passwordFromEnvironment(const QString& value) const
    {
        const QString name = required(QStringLiteral("password_env"), value);
        const QByteArray variable = name.toLocal8Bit();
        if (!qEnvironmentVariableIsSet(variable.constData()))
            fail(QStringLiteral("password_env names %1, which is not set").arg(name));
        return qEnvironmentVariable(variable.constData());
    }

    // The password comes from one place only: two would leave the reader guessing.
    QString secret(const QString& key, const QString& value)
    {
        if (!m_secretKey.isEmpty())
            fail(
                QStringLiteral("%1 and %2 both give the password: keep one").arg(m_secretKey, key));
        m_secretKey = key;
        return value;
    }

    // What only the whole [server] section can tell: a combination that a
    // driver cannot express, or keys that odbc_string would silently ignore.
    void checkLink()
    {
        const auto lineOf = [this](const QString& key) {
            return m_keyLines.value(QStringLiteral("server/") + key, 0);
        };
        if (lineOf(QStringLiteral("odbc_string"))) {
            for (const char* ignored : {"encrypt", "ca_file", "certificate_sha256",
                                        "trust_server_certificate", "host_in_certificate"}) {
                if (const int line = lineOf(QLatin1String(ignored))) {
                    m_line = std::max(line, lineOf(QStringLiteral("odbc_string")));
                    fail(QStringLiteral("%1 cannot go with odbc_string: put the driver's own "
                                        "encryption keys in odbc_string")
                             .arg(QLatin1String(ignored)));
                }
            }
        }
        const std::optional<OdbcString::Refusal> refusal =
            OdbcString::refusal(m_profile.connection);
        if (!refusal)
            return;
        m_line = lineOf(refusal->key);
        if (m_line == 0)
            throw ProfileError(QStringLiteral("Profile %1: %2").arg(m_path, refusal->reason));
        fail(refusal->reason);
    }

    void operatorEntry(const QString& key, const QString& value)
    {
        if (key == QLatin1String("sound"))
            m_profile.sound = onOff(key, value);
        else if (key == QLatin1String("scan_key_gap_ms"))
            m_profile.boxKeys.burstGapMs = milliseconds(key, value, 5, 200);
        else if (key == QLatin1String("box_quiet_ms"))
            m_profile.boxKeys.quietAfterOpenMs = milliseconds(key, value, 0, 3000);
        else
            fail(QStringLiteral("unknown key \"%1\" in [operator] (known: sound, "
                                "scan_key_gap_ms, box_quiet_ms)")
                     .arg(key));
    }

    void logEntry(const QString& key, const QString& value)
    {
        LogSettings& log = m_profile.log;
        if (key == QLatin1String("level"))
            log.level = logLevel(value);
        else if (key == QLatin1String("folder"))
            log.folder = resolved(required(key, value));
        else if (key == QLatin1String("max_kb"))
            log.fileLimit = qint64(number(key, value, 16, 1024 * 1024)) * 1024;
        else if (key == QLatin1String("files"))
            log.files = number(key, value, 1, 20);
        else
            fail(QStringLiteral("unknown key \"%1\" in [log] (known: level, folder, max_kb, "
                                "files)")
                     .arg(key));
    }

    LogLevel logLevel(const QString& value) const
    {
        if (value == QLatin1String("off"))
            return LogLevel::Off;
        if (value == QLatin1String("errors"))
            return LogLevel::Errors;
        if (value != QLatin1String("commands"))
            fail(QStringLiteral("level \"%1\" is none of off, errors, commands").arg(value));
        return LogLevel::Commands;
    }

    int number(const QString& key, const QString& value, int low, int high,
               const QString& what = QStringLiteral("a number")) const
    {
        bool ok = false;
        const int n = value.toInt(&ok);
        if (!ok || n < low || n > high)
            fail(QStringLiteral("\"%1\" must be %2 from %3 to %4, found \"%5\"")
                     .arg(key, what)
                     .arg(low)
                     .arg(high)
                     .arg(value));
        return n;
    }

    bool onOff(const QString& key, const QString& value) const
    {
        if (value == QLatin1String("on"))
            return true;
        if (value != QLatin1String("off"))
            fail(QStringLiteral("\"%1\" must be on or off, found \"%2\"").arg(key, value));
        return false;
    }

    int milliseconds(const QString& key, const QString& value, int low, int high) const
    {
        return number(key, value, low, high, QStringLiteral("a number of milliseconds"));
    }

    QString required(const QString& key, const QString& value) const
    {
        if (value.isEmpty())
            fail(QStringLiteral("\"%1\" must not be empty").arg(key));
        return value;
    }

    int port(const QString& value) const
    {
        bool ok = false;
        const int number = value.toInt(&ok);
        if (!ok || number < 1 || number > 65535)
            fail(QStringLiteral("port \"%1\" is not a number from 1 to 65535").arg(value));
        return number;
    }

    // A limit a site may shorten, never remove: the driver would read 0 as
    // "wait forever".
    int seconds(const QString& key, const QString& value) const
    {
        bool ok = false;
        const int number = value.toInt(&ok);
        if (!ok || number < 1 || number > kLongestTimeout)
            fail(QStringLiteral("%1 \"%2\" is not a number of seconds from 1 to %3")
                     .arg(key, value)
                     .arg(kLongestTimeout));
        return number;
    }

    QStringList entries(const QString& value) const
    {
        const QStringList known = Profile::knownEntries();
        QStringList visible;
        for (const QString& piece : value.split(QLatin1Char(','))) {
            const QString name = piece.trimmed();
            if (name.isEmpty())
                continue;
            if (!known.contains(name))
                fail(QStringLiteral("unknown menu entry \"%1\" (known: %2)")
                         .arg(name, known.join(QStringLiteral(", "))));
            if (!visible.contains(name))
                visible.append(name);
        }
        return visible;
    }

    QString m_path;
    Profile& m_profile;
    int m_line = 0;
    QString m_section;
    QSet<QString> m_sections;
    QSet<QString> m_keys;
    QHash<QString, int> m_keyLines;
    QString m_secretKey; // which of password, password_file, password_env gave it
};

} // namespace

QStringList Profile::defaultVisibleEntries()
{
    return {QStringLiteral("Inventario1"), QStringLiteral("NordaPavrel1"),
            QStringLiteral("Ulmar1")};
}

QStringList Profile::knownEntries()
{
    return {QStringLiteral("EntradaPorPallet1"),  QStringLiteral("EntradaPorCajaRollo1"),
            QStringLiteral("ReciboenProduccin1"), QStringLiteral("Salida1"),
            QStringLiteral("Entregade1"),         QStringLiteral("LiberacindeCalidadVElmor1"),
            QStringLiteral("Embarque1"),          QStringLiteral("Reubicaciones2"),
            QStringLiteral("Reubicaciones1"),     QStringLiteral("Inventario1"),
            QStringLiteral("NordaPavrel1"),       QStringLiteral("Ulmar1")};
}

QString Profile::defaultPath()
{
    return places::userProfile();
}

QString Profile::knownServersPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("LectoraVelmor/known-servers"));
}

QString Profile::systemPath()
{
    return places::machineProfile();
}

Profile Profile::load()
{
    const QString named = qEnvironmentVariable(kEnvironmentVariable.toLatin1().constData());
    return loadFirst(named, {defaultPath(), systemPath()});
}

Profile Profile::loadFirst(const QString& named, const QStringList& candidates)
{
    if (!named.isEmpty())
        return loadFile(named);
    for (const QString& path : candidates) {
        if (QFileInfo::exists(path))
            return loadFile(path);
    }
    Profile embedded = withPlatformDefaults({});
    embedded.path = candidates.value(0);
    return embedded;
}

Profile Profile::loadFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ProfileError(
            QStringLiteral("Profile %1 cannot be read: %2").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    if (text.contains(QChar::ReplacementCharacter) || bytes.contains('\0'))
        throw ProfileError(QStringLiteral("Profile %1 is not UTF-8 text").arg(path));

    Profile profile = withPlatformDefaults({});
    profile.present = true;
    profile.path = path;
    ProfileReader(path, profile).read(text);
    profile.connection.security.knownServers = knownServersPath();
    profile.connection.security.siteKnownServers =
        QFileInfo(path).absoluteDir().filePath(QStringLiteral("known-servers"));
    return profile;
}
