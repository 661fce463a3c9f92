#pragma once
// Where the data module's connections point and how their link is secured:
// the installation's values, read from the profile (app/shell/Profile.h) and
// held by each connection as one value. Rendering them for a driver is
// OdbcString's work; nothing here opens anything.

#include <QString>
#include <optional>

// How much of the link to the server is encrypted.
enum class LinkEncryption {
    Off,    // nothing: the client announces that it cannot encrypt
    Login,  // at least the login packet whenever the server can; plain otherwise
    On,     // the whole session, or no connection
    Strict, // TLS before any TDS byte, where the driver can do it
};

// The profile's word for each: off, login, on, strict.
QString linkEncryptionName(LinkEncryption encrypt);

// The encryption settings of the profile's [server] section.
struct LinkSecurity {
    LinkEncryption encrypt = LinkEncryption::On;
    QString caFile;                             // verify the server against this CA
    QString certificateSha256;                  // accept only this certificate ("AB:CD:...")
    std::optional<bool> trustServerCertificate; // unset: the default for `encrypt`
    QString hostInCertificate;                  // the name the certificate is issued to
    QString odbcString;                         // a site's own keys for another driver
    // Where the certificates of servers met before are kept: the user's own
    // file (written on first contact) and the site's beside the profile (read
    // only). Empty: no first-use trust.
    QString knownServers;
    QString siteKnownServers;
    // Set for one open only, never by a profile: caFile is the server's own
    // certificate, checked already, so its name is not.
    bool pinnedCertificate = false;

    // Whether the server's certificate is checked: a CA file or a pinned
    // certificate asks for it, and an encrypted session does unless the site
    // says to trust the server.
    bool verifiesServer() const;
};

// Where the connections point. The same for the three databases but the
// catalogue, which each connection adds.
struct ConnectionSettings {
    QString host = QStringLiteral("127.0.0.1");
    int port = 1433;
    QString workstation;
    QString login = QStringLiteral("sa");
    QString password = QStringLiteral("tolvexra");
    QString driver = QStringLiteral("FreeTDS");
    LinkSecurity security;
    // Seconds allowed for opening a connection and for each command.
    int connectTimeout = 5000;
    int commandTimeout = 5000;
};
