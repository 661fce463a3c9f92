#include "data/KnownServers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace
{

const QString kHeader =
    QStringLiteral("# Servers this terminal has met, and the SHA-256 fingerprint of the\n"
                   "# certificate each showed: host,port AB:CD:...\n"
                   "# A server that was given a new certificate: replace its line.\n");

} // namespace

QString normalFingerprint(const QString& text)
{
    QString hex = text.trimmed().toUpper();
    hex.remove(QLatin1Char(':'));
    static const QRegularExpression sha256(QStringLiteral("^[0-9A-F]{64}$"));
    if (!sha256.match(hex).hasMatch())
        return {};
    QStringList pairs;
    for (int i = 0; i < hex.size(); i += 2)
        pairs << hex.mid(i, 2);
    return pairs.join(QLatin1Char(':'));
}

KnownServers::KnownServers(const QString& siteFile, const QString& userFile)
    : m_site(siteFile), m_user(userFile)
{
}

KnownServers::Known KnownServers::find(const QString& server) const
{
    if (!m_site.isEmpty()) {
        Known site = findIn(m_site, server);
        if (!site.problem.isEmpty() || !site.fingerprints.isEmpty())
            return site;
    }
    if (m_user.isEmpty())
        return {};
    return findIn(m_user, server);
}

KnownServers::Known KnownServers::findIn(const QString& path, const QString& server) const
{
    Known known;
    known.file = path;
    QFile file(path);
    if (!file.exists())
        return known;
    if (!file.open(QIODevice::ReadOnly)) {
        known.problem = QStringLiteral("the known-servers file %1 cannot be read (%2)")
                            .arg(path, file.errorString());
        return known;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
        const QString fingerprint = words.size() == 2 ? normalFingerprint(words.at(1)) : QString();
        if (fingerprint.isEmpty() || !words.at(0).contains(QLatin1Char(','))) {
            known.problem = QStringLiteral("the known-servers file %1, line %2, is not "
                                           "\"host,port AB:CD:...\"")
                                .arg(path)
                                .arg(i + 1);
            known.fingerprints.clear();
            return known;
        }
        if (words.at(0).compare(server, Qt::CaseInsensitive) == 0)
            known.fingerprints << fingerprint;
    }
    return known;
}

QString KnownServers::record(const QString& server, const QString& fingerprint) const
{
    if (m_user.isEmpty())
        return QStringLiteral("no known-servers file to record it in");
    const QFileInfo info(m_user);
    QByteArray text;
    QFile old(m_user);
    if (old.exists()) {
        if (!old.open(QIODevice::ReadOnly))
            return QStringLiteral("%1 cannot be read (%2)").arg(m_user, old.errorString());
        text = old.readAll();
        if (!text.isEmpty() && !text.endsWith('\n'))
            text += '\n';
    } else {
        text = kHeader.toUtf8();
    }
    text += (server + QLatin1Char(' ') + fingerprint + QLatin1Char('\n')).toUtf8();
    // Written whole and then put in place, so that a terminal stopped half-way
    // leaves the old file and not half of a new one.
    QSaveFile file(m_user);
    if (!QDir().mkpath(info.absolutePath()) || !file.open(QIODevice::WriteOnly) ||
        file.write(text) != text.size() || !file.commit())
        return QStringLiteral("%1 cannot be written (%2)").arg(m_user, file.errorString());
    return {};
}
