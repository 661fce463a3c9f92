#include "data/ConnectionSettings.h"

QString linkEncryptionName(LinkEncryption encrypt)
{
    switch (encrypt) {
    case LinkEncryption::Off:
        return QStringLiteral("off");
    case LinkEncryption::Login:
        return QStringLiteral("login");
    case LinkEncryption::On:
        return QStringLiteral("on");
    case LinkEncryption::Strict:
        return QStringLiteral("strict");
    }
    return {};
}

bool LinkSecurity::verifiesServer() const
{
    if (encrypt == LinkEncryption::Off)
        return false;
    if (!caFile.isEmpty() || !certificateSha256.isEmpty())
        return true;
    if (trustServerCertificate)
        return !*trustServerCertificate;
    return encrypt != LinkEncryption::Login;
}
