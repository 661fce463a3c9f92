#pragma once
// The link to the server as far as the server's certificate, opened by the
// terminal itself: before the driver logs in, to see who the server is
// (probe), and after the driver failed to open a connection, to say why an
// encrypted link could not be set up, in plain words (encryptionProblem). It
// never logs in and shows nothing; what it finds goes to the connection.

#include <QByteArray>
#include <QString>

struct ConnectionSettings;

namespace linkcheck
{

// "certificate not trusted (issued by ...)", "certificate is for NAME, not
// HOST", "server does not offer encryption", ...; empty when the settings ask
// for no encryption, when the server cannot be reached within `timeoutMs`, or
// when the link would come up as asked (the failure lies elsewhere).
QString encryptionProblem(const ConnectionSettings& settings, int timeoutMs);

// What the server shows of itself before anyone logs in: whether it offers
// encryption and, when it does, its certificate and what the system's CAs and
// the host name make of it. The driver's own open comes after, so that a
// server the terminal will not trust never gets the login.
struct ServerOffer {
    QString unreachable;        // set: no pre-login answer (why); nothing else is known
    bool encrypts = false;      // it offered TLS
    QString handshakeProblem;   // TLS broke off before a certificate arrived
    QByteArray certificatePem;  // its certificate
    QString fingerprint;        // its SHA-256, "AB:CD:..."
    QString systemTrustProblem; // empty when the system's CAs trust its chain
    QString nameProblem;        // empty when it is issued to the host
};
ServerOffer probe(const ConnectionSettings& settings, int timeoutMs);

} // namespace linkcheck
