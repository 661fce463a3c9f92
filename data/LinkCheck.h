#pragma once
// Why an encrypted link to the server could not be set up, in plain words.
// After the driver failed to open a connection, this opens the link once
// more by itself, as far as the TLS handshake of the PRELOGIN exchange, and
// looks at what the server offers and at its certificate with the profile's
// CA and host name. It never logs in and shows nothing; the reason goes into
// the connection's error.

#include <QString>

struct ConnectionSettings;

namespace linkcheck
{

// "certificate not trusted (issued by ...)", "certificate is for NAME, not
// HOST", "server does not offer encryption", ...; empty when the settings ask
// for no encryption, when the server cannot be reached within `timeoutMs`, or
// when the link would come up as asked (the failure lies elsewhere).
QString encryptionProblem(const ConnectionSettings& settings, int timeoutMs);

} // namespace linkcheck
