// One connection string per driver family, from the same settings. The keys
// and value rules below were checked against the drivers: FreeTDS ends a
// braced value at the first '}' that a ';' follows and knows no '}}' escape,
// takes its CA file only from a server section of its configuration file, and
// maps Encryption=off/request/require to PRELOGIN's "not supported" / "off"
// (login packet encrypted when the server can) / "on".
#include "data/OdbcString.h"

#include <QRegularExpression>
#include <QStringList>

namespace
{

const QString kApplication = QStringLiteral("LectoraVelmor");
constexpr int kPacketSize = 4096;

bool needsBraces(const QString& value)
{
    return value.contains(QLatin1Char(';')) || value.startsWith(QLatin1Char('{')) ||
           value.trimmed() != value;
}

// A line of FreeTDS's configuration file holds one value to its end, and a
// line starting with ';' or '#' is a comment there.
bool fitsConfigurationLine(const QString& value)
{
    static const QRegularExpression unsafe(QStringLiteral("[\\r\\n;#]"));
    return !value.isEmpty() && !value.contains(unsafe) && value.trimmed() == value;
}

std::optional<OdbcString::Refusal> refuse(const QString& key, const QString& reason)
{
    return OdbcString::Refusal{key, reason};
}

std::optional<OdbcString::Refusal> freeTdsRefusal(const ConnectionSettings& s)
{
    const LinkSecurity& l = s.security;
    if (l.encrypt == LinkEncryption::Strict)
        return refuse(QStringLiteral("encrypt"),
                      QStringLiteral("encrypt=strict is not supported by the %1 driver (use on, or "
                                     "ODBC Driver 18 for SQL Server)")
                          .arg(s.driver));
    if (!l.hostInCertificate.isEmpty())
        return refuse(QStringLiteral("host_in_certificate"),
                      QStringLiteral("the %1 driver checks the certificate against the server's "
                                     "name: give host as the name the certificate is issued to")
                          .arg(s.driver));
    if (l.verifiesServer()) {
        if (!l.caFile.isEmpty() && !fitsConfigurationLine(l.caFile))
            return refuse(
                QStringLiteral("ca_file"),
                QStringLiteral("the %1 driver cannot read a CA file whose path holds ';', "
                               "'#', a line break or blanks at its ends")
                    .arg(s.driver));
        if (!fitsConfigurationLine(s.host))
            return refuse(QStringLiteral("host"),
                          QStringLiteral("the %1 driver cannot verify a server whose name holds "
                                         "';', '#', a line break or blanks at its ends")
                              .arg(s.driver));
    }
    return std::nullopt;
}

std::optional<OdbcString::Refusal> microsoftRefusal(const ConnectionSettings& s,
                                                    OdbcString::Family family)
{
    const LinkSecurity& l = s.security;
    const bool v18 = family == OdbcString::Family::Microsoft18;
    if (l.encrypt == LinkEncryption::Strict && !v18)
        return refuse(QStringLiteral("encrypt"),
                      QStringLiteral("encrypt=strict is not supported by the %1 driver (it needs "
                                     "ODBC Driver 18 for SQL Server)")
                          .arg(s.driver));
    if (!l.hostInCertificate.isEmpty() && !v18)
        return refuse(QStringLiteral("host_in_certificate"),
                      QStringLiteral("host_in_certificate is not supported by the %1 driver (it "
                                     "needs ODBC Driver 18 for SQL Server)")
                          .arg(s.driver));
    if (!l.caFile.isEmpty() && l.encrypt != LinkEncryption::Strict && !l.pinnedCertificate)
        return refuse(QStringLiteral("ca_file"),
                      QStringLiteral("the %1 driver takes no CA file: add the CA to the system's "
                                     "trusted certificates, or with encrypt=strict name the "
                                     "server's own certificate")
                          .arg(s.driver));
    return std::nullopt;
}

// certificate_sha256 names the one certificate to accept; it excludes the
// other ways of saying who the server is.
std::optional<OdbcString::Refusal> pinRefusal(const LinkSecurity& l)
{
    const QString key = QStringLiteral("certificate_sha256");
    if (l.certificateSha256.isEmpty())
        return std::nullopt;
    if (l.encrypt == LinkEncryption::Off)
        return refuse(key, QStringLiteral("certificate_sha256 has no effect with encrypt=off"));
    if (l.encrypt == LinkEncryption::Strict)
        return refuse(key, QStringLiteral("certificate_sha256 cannot go with encrypt=strict: give "
                                          "the server's certificate as ca_file"));
    if (!l.caFile.isEmpty())
        return refuse(key, QStringLiteral("ca_file and certificate_sha256 both say which "
                                          "certificate to accept: keep one"));
    if (l.trustServerCertificate.value_or(false))
        return refuse(QStringLiteral("trust_server_certificate"),
                      QStringLiteral("trust_server_certificate=yes turns off the check that "
                                     "certificate_sha256 asks for"));
    return std::nullopt;
}

const QStringList& placeholders()
{
    static const QStringList names = {QStringLiteral("host"),     QStringLiteral("port"),
                                      QStringLiteral("database"), QStringLiteral("login"),
                                      QStringLiteral("password"), QStringLiteral("workstation")};
    return names;
}

const QRegularExpression& placeholderPattern()
{
    static const QRegularExpression pattern(QStringLiteral("\\$\\{([^}]*)\\}"));
    return pattern;
}

std::optional<OdbcString::Refusal> templateRefusal(const QString& text)
{
    const QString key = QStringLiteral("odbc_string");
    auto it = placeholderPattern().globalMatch(text);
    bool database = false;
    while (it.hasNext()) {
        const QString name = it.next().captured(1);
        if (!placeholders().contains(name))
            return refuse(key, QStringLiteral("unknown placeholder ${%1} (known: ${%2})")
                                   .arg(name, placeholders().join(QStringLiteral("}, ${"))));
        database = database || name == QLatin1String("database");
    }
    if (!database)
        return refuse(key, QStringLiteral("${database} is missing: the three connections differ "
                                          "only by their database"));
    // Qt hands the driver the last value with a NUL after it.
    if (text.trimmed().endsWith(QLatin1String("${password}")))
        return refuse(key, QStringLiteral("${password} must not be the last value"));
    return std::nullopt;
}

} // namespace

const QString OdbcString::kFreeTdsSection = QStringLiteral("lectora-link");

OdbcString::Family OdbcString::familyOf(const QString& driver)
{
    const QString name = driver.trimmed();
    if (name.compare(QLatin1String("FreeTDS"), Qt::CaseInsensitive) == 0 ||
        name.contains(QLatin1String("libtdsodbc"), Qt::CaseInsensitive))
        return Family::FreeTds;
    if (name.compare(QLatin1String("ODBC Driver 17 for SQL Server"), Qt::CaseInsensitive) == 0)
        return Family::Microsoft17;
    if (name.compare(QLatin1String("ODBC Driver 18 for SQL Server"), Qt::CaseInsensitive) == 0)
        return Family::Microsoft18;
    if (name.compare(QLatin1String("SQL Server"), Qt::CaseInsensitive) == 0)
        return Family::WindowsBuiltIn;
    return Family::Other;
}

std::optional<OdbcString::Refusal> OdbcString::refusal(const ConnectionSettings& s)
{
    const LinkSecurity& l = s.security;
    if (!l.odbcString.isEmpty())
        return templateRefusal(l.odbcString);
    if (l.encrypt == LinkEncryption::Off) {
        if (!l.caFile.isEmpty())
            return refuse(QStringLiteral("ca_file"),
                          QStringLiteral("ca_file has no effect with encrypt=off"));
        if (!l.hostInCertificate.isEmpty())
            return refuse(QStringLiteral("host_in_certificate"),
                          QStringLiteral("host_in_certificate has no effect with encrypt=off"));
    }
    if (!l.caFile.isEmpty() && l.trustServerCertificate.value_or(false))
        return refuse(QStringLiteral("trust_server_certificate"),
                      QStringLiteral("trust_server_certificate=yes turns off the check that "
                                     "ca_file asks for"));
    if (std::optional<Refusal> pin = pinRefusal(l))
        return pin;
    switch (familyOf(s.driver)) {
    case Family::FreeTds:
        return freeTdsRefusal(s);
    case Family::Microsoft17:
        return microsoftRefusal(s, Family::Microsoft17);
    case Family::Microsoft18:
        return microsoftRefusal(s, Family::Microsoft18);
    case Family::WindowsBuiltIn:
        return microsoftRefusal(s, Family::WindowsBuiltIn);
    case Family::Other:
        break;
    }
    return refuse(QStringLiteral("driver"),
                  QStringLiteral("the driver \"%1\" is none of FreeTDS, ODBC Driver 17 for SQL "
                                 "Server, ODBC Driver 18 for SQL Server, SQL Server: give its "
                                 "connection keys "
                                 "with odbc_string")
                      .arg(s.driver));
}

std::optional<QString> OdbcString::value(Family family, const QString& value)
{
    if (family == Family::FreeTds) {
        if (!needsBraces(value))
            return value;
        if (value.contains(QLatin1String("};")))
            return std::nullopt;
        return QLatin1Char('{') + value + QLatin1Char('}');
    }
    // The ODBC rule the other drivers follow: inside braces '}' is doubled.
    if (!needsBraces(value) && !value.contains(QLatin1Char('}')))
        return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QLatin1String("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

OdbcString::OdbcString(const ConnectionSettings& settings, const QString& catalogue)
{
    // Whatever the family, the packet size is the installation's.
    m_options = QStringLiteral("SQL_ATTR_PACKET_SIZE=%1").arg(kPacketSize);
    const Family family = familyOf(settings.driver);
    if (!settings.security.odbcString.isEmpty())
        buildOther(settings, catalogue);
    else if (family == Family::FreeTds)
        buildFreeTds(settings, catalogue);
    else
        buildMicrosoft(settings, catalogue, family);
    if (!m_problem.isEmpty())
        m_text.clear();
}

QString OdbcString::put(Family family, const QString& key, const QString& value)
{
    const std::optional<QString> written = OdbcString::value(family, value);
    if (!written) {
        if (m_problem.isEmpty())
            m_problem = QStringLiteral("the value of %1 holds \"};\", which the ODBC driver cannot "
                                       "take")
                            .arg(key);
        return key + QLatin1Char('=');
    }
    return key + QLatin1Char('=') + *written;
}

void OdbcString::buildFreeTds(const ConnectionSettings& s, const QString& catalogue)
{
    const Family f = Family::FreeTds;
    const LinkSecurity& l = s.security;
    static const char* const encryption[] = {"off", "request", "require", "require"};
    QStringList pairs = {QStringLiteral("Driver={%1}").arg(s.driver)};
    if (l.verifiesServer()) {
        // Without a CA file the system's trusted certificates are the ones to check against.
        // A pinned certificate is the one certificate accepted, whatever it names.
        m_freeTdsConf =
            QStringLiteral("[%1]\n\thost = %2\n\tport = %3\n\tca file = %4\n"
                           "\tcheck certificate hostname = %5\n")
                .arg(kFreeTdsSection, s.host)
                .arg(s.port)
                .arg(l.caFile.isEmpty() ? QStringLiteral("system") : l.caFile,
                     l.pinnedCertificate ? QStringLiteral("no") : QStringLiteral("yes"));
        pairs << QStringLiteral("Servername=") + kFreeTdsSection;
    } else {
        pairs << put(f, QStringLiteral("Server"), s.host) << QStringLiteral("Port=%1").arg(s.port);
    }
    // Qt 6.4 appends a NUL to the last value it passes, so the password must
    // not be last; WSID takes that place.
    pairs << put(f, QStringLiteral("Database"), catalogue) << put(f, QStringLiteral("UID"), s.login)
          << put(f, QStringLiteral("PWD"), s.password) << QStringLiteral("TDS_Version=7.4")
          << QStringLiteral("ClientCharset=UTF-8")
          << QStringLiteral("Encryption=") + QLatin1String(encryption[static_cast<int>(l.encrypt)]);
    // FreeTDS ignores SQL_ATTR_CONNECTION_TIMEOUT for commands and reads its
    // own query timeout from the string. Against a server that stops
    // answering it waits that long for the answer and as long again for the
    // acknowledgement of its cancel, so such a command ends after about twice
    // the timeout; a slow server that acknowledges the cancel ends it on time.
    pairs << QStringLiteral("Timeout=%1").arg(s.commandTimeout)
          << QStringLiteral("APP=") + kApplication << put(f, QStringLiteral("WSID"), s.workstation);
    m_text = pairs.join(QLatin1Char(';'));
}

void OdbcString::buildMicrosoft(const ConnectionSettings& s, const QString& catalogue,
                                Family family)
{
    const LinkSecurity& l = s.security;
    // "no" still encrypts the login packet whenever the server can: this
    // driver has nothing weaker, so off and login read the same here.
    static const char* const encrypt[] = {"no", "no", "yes", "strict"};
    // The built-in driver takes no "tcp:" prefix; Network names TCP instead.
    const bool builtIn = family == Family::WindowsBuiltIn;
    QStringList pairs = {
        QStringLiteral("Driver={%1}").arg(s.driver),
        put(family, QStringLiteral("Server"),
            QString::fromLatin1(builtIn ? "%1,%2" : "tcp:%1,%2").arg(s.host).arg(s.port)),
        put(family, QStringLiteral("Database"), catalogue),
        put(family, QStringLiteral("UID"), s.login),
        put(family, QStringLiteral("PWD"), s.password),
        QStringLiteral("Encrypt=") + QLatin1String(encrypt[static_cast<int>(l.encrypt)]),
        // This driver pins a certificate only with strict: a pinned one was
        // checked by the terminal just before, and the driver is told to trust it.
        QStringLiteral("TrustServerCertificate=") +
            QLatin1String(l.verifiesServer() && !l.pinnedCertificate ? "no" : "yes"),
    };
    if (builtIn)
        pairs << QStringLiteral("Network=DBMSSOCN");
    if (!l.hostInCertificate.isEmpty())
        pairs << put(family, QStringLiteral("HostNameInCertificate"), l.hostInCertificate);
    if (!l.caFile.isEmpty() && !l.pinnedCertificate)
        pairs << put(family, QStringLiteral("ServerCertificate"), l.caFile);
    pairs << QStringLiteral("AutoTranslate=yes") << QStringLiteral("APP=") + kApplication
          << put(family, QStringLiteral("WSID"), s.workstation);
    m_text = pairs.join(QLatin1Char(';'));
}

void OdbcString::buildOther(const ConnectionSettings& s, const QString& catalogue)
{
    const Family f = familyOf(s.driver) == Family::FreeTds ? Family::FreeTds : Family::Other;
    const QMap<QString, QString> values = {
        {QStringLiteral("host"), s.host},         {QStringLiteral("port"), QString::number(s.port)},
        {QStringLiteral("database"), catalogue},  {QStringLiteral("login"), s.login},
        {QStringLiteral("password"), s.password}, {QStringLiteral("workstation"), s.workstation},
    };
    QString text = s.security.odbcString;
    QString out;
    qsizetype from = 0;
    auto it = placeholderPattern().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(from, m.capturedStart() - from);
        const std::optional<QString> written = value(f, values.value(m.captured(1)));
        if (!written && m_problem.isEmpty())
            m_problem = QStringLiteral("the value of ${%1} holds \"};\", which the ODBC driver "
                                       "cannot take")
                            .arg(m.captured(1));
        out += written.value_or(QString());
        from = m.capturedEnd();
    }
    out += text.mid(from);
    m_text = QStringLiteral("Driver={%1};").arg(s.driver) + out;
}
