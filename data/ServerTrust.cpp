#include "data/ServerTrust.h"

#include "data/ConnectionSettings.h"
#include "data/KnownServers.h"

namespace
{

QString serverName(const ConnectionSettings& s)
{
    return QStringLiteral("%1,%2").arg(s.host).arg(s.port);
}

QString changedCertificate(const ConnectionSettings& s, const KnownServers::Known& known,
                           const QString& shown)
{
    return QStringLiteral("the certificate of %1 has changed: the server now shows SHA-256 %2, "
                          "and %3 holds %4 for it. Someone may be between this terminal and the "
                          "server; the password was not sent. If the server was given a new "
                          "certificate, replace its line in %3.")
        .arg(serverName(s), shown, known.file, known.fingerprints.join(QStringLiteral(" or ")));
}

QString lostEncryption(const ConnectionSettings& s, const KnownServers::Known& known)
{
    return QStringLiteral("%1 offers no encryption, yet it encrypted when this terminal met it "
                          "(%2). Someone may be between this terminal and the server; the "
                          "password was not sent. If the server can no longer encrypt, set "
                          "encrypt=off in the profile.")
        .arg(serverName(s), known.file);
}

servertrust::Decision refused(const QString& why)
{
    servertrust::Decision d;
    d.refusal = why;
    return d;
}

// No encryption on offer: acceptable only to `login` without a check asked
// for, and only from a server never met encrypting.
servertrust::Decision plain(const ConnectionSettings& s, const KnownServers::Known& known)
{
    if (!known.fingerprints.isEmpty())
        return refused(lostEncryption(s, known));
    if (s.security.encrypt == LinkEncryption::On)
        return refused(QStringLiteral("server does not offer encryption (encrypt=on needs it)"));
    if (s.security.verifiesServer())
        return refused(QStringLiteral("server does not offer encryption (%1 needs it)")
                           .arg(s.security.caFile.isEmpty() ? QStringLiteral("certificate_sha256")
                                                            : QStringLiteral("ca_file")));
    servertrust::Decision d;
    d.driver = s.security;
    return d;
}

servertrust::Decision pinned(servertrust::Decision d, const linkcheck::ServerOffer& offer)
{
    d.pinnedPem = offer.certificatePem;
    d.driver.pinnedCertificate = true;
    d.driver.certificateSha256.clear();
    return d;
}

// An encrypting server whose certificate no setting names and no trusted CA
// vouches for: the one recorded for it, or on first contact the one it shows.
servertrust::Decision firstUse(const ConnectionSettings& s, servertrust::Decision d,
                               const KnownServers& files, const KnownServers::Known& known,
                               const linkcheck::ServerOffer& offer)
{
    if (!known.fingerprints.isEmpty()) {
        if (!known.fingerprints.contains(offer.fingerprint))
            return refused(changedCertificate(s, known, offer.fingerprint));
        return pinned(d, offer);
    }
    if (s.security.knownServers.isEmpty())
        return refused(offer.systemTrustProblem);
    if (QString failed = files.record(serverName(s), offer.fingerprint); !failed.isEmpty())
        return refused(QStringLiteral("%1, and it cannot be recorded as this server's: %2")
                           .arg(offer.systemTrustProblem, failed));
    return pinned(d, offer);
}

} // namespace

bool servertrust::needsProbe(const LinkSecurity& l)
{
    if (!l.odbcString.isEmpty())
        return false;
    if (l.encrypt == LinkEncryption::Login)
        return true;
    return l.encrypt == LinkEncryption::On && l.caFile.isEmpty() &&
           !l.trustServerCertificate.value_or(false);
}

servertrust::Decision servertrust::decide(const ConnectionSettings& s,
                                          const linkcheck::ServerOffer& offer)
{
    const LinkSecurity& l = s.security;
    if (!offer.unreachable.isEmpty())
        return refused(offer.unreachable);
    const KnownServers files(l.siteKnownServers, l.knownServers);
    const KnownServers::Known known = files.find(serverName(s));
    if (!known.problem.isEmpty())
        return refused(known.problem);
    if (!offer.encrypts)
        return plain(s, known);
    if (!offer.handshakeProblem.isEmpty())
        return refused(offer.handshakeProblem);
    Decision d;
    d.driver = l;
    // A server that encrypts once is held to it: with login, the driver is
    // told to refuse a later offer without encryption, which it can only do
    // by encrypting the whole session.
    const bool met = !known.fingerprints.isEmpty();
    if (l.encrypt == LinkEncryption::Login && (met || l.verifiesServer())) {
        d.driver.encrypt = LinkEncryption::On;
        d.driver.trustServerCertificate = !l.verifiesServer();
    }
    if (!l.verifiesServer()) {
        if (!met && !l.knownServers.isEmpty())
            files.record(serverName(s), offer.fingerprint);
        return d;
    }
    if (!l.caFile.isEmpty())
        return d;
    if (!l.certificateSha256.isEmpty()) {
        if (offer.fingerprint != normalFingerprint(l.certificateSha256))
            return refused(QStringLiteral("certificate is not the one certificate_sha256 names: "
                                          "the server shows SHA-256 %1")
                               .arg(offer.fingerprint));
        return pinned(d, offer);
    }
    if (offer.systemTrustProblem.isEmpty())
        return offer.nameProblem.isEmpty() ? d : refused(offer.nameProblem);
    return firstUse(s, d, files, known, offer);
}
