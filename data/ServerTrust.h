#pragma once
// Who the server is, decided before the driver logs in, from what the server
// showed of itself (linkcheck::probe) and the profile's settings, in this
// order: the CA file (the driver checks it), certificate_sha256, the system's
// trusted CAs, and else the certificate this terminal recorded the first time
// it met the server (KnownServers). A server met encrypting is never accepted
// later without encryption, whatever `encrypt` says, but for an explicit
// `off`. The outcome is either the settings the driver opens with (the
// certificate it is to pin, the encryption it must insist on) or the reason
// the connection is refused. It opens nothing and shows nothing.

#include "data/ConnectionSettings.h"
#include "data/LinkCheck.h"

#include <QByteArray>
#include <QString>

struct ConnectionSettings;

namespace servertrust
{

// Whether the driver alone cannot uphold what `l` asks, so that the server
// must be looked at first: `login` (a server that stops offering encryption
// would get the login in clear) and `on` unless a CA file or
// trust_server_certificate settles it.
bool needsProbe(const LinkSecurity& l);

struct Decision {
    QString refusal;      // set: the connection is not opened (why)
    LinkSecurity driver;  // what the driver is given
    QByteArray pinnedPem; // set: the one certificate the driver may accept (its CA file)
};
Decision decide(const ConnectionSettings& settings, const linkcheck::ServerOffer& offer);

} // namespace servertrust
