#pragma once
// The certificates of the servers this terminal has met, by host and port,
// for servers whose certificate no trusted CA vouches for (the self-signed one
// a server makes for itself). Two files: the user's own, which the terminal
// writes the first time it meets such a server, and the site's beside the
// profile, which the terminal only reads and which, when it names a server,
// is the only one asked about it. One line per certificate:
//
//     host,port AB:CD:...
//
// the SHA-256 fingerprint as `openssl x509 -fingerprint -sha256` shows it; a
// server may have several lines; '#' starts a comment. It checks nothing
// itself and opens no link.

#include <QString>
#include <QStringList>

// "AB:CD:..." (upper case, colons) from 64 hex digits written with or without
// colons in either case; empty when `text` is not a SHA-256 fingerprint.
QString normalFingerprint(const QString& text);

class KnownServers
{
public:
    KnownServers(const QString& siteFile, const QString& userFile);

    // What is known of `server` ("host,port"): its fingerprints and the file
    // they come from; or why the files cannot be read (then nothing is known).
    struct Known {
        QStringList fingerprints;
        QString file;
        QString problem;
    };
    Known find(const QString& server) const;
    // Adds a line for `server` to the user's file, making the file and its
    // folder when they do not exist; empty when done, else why not.
    QString record(const QString& server, const QString& fingerprint) const;

    QString userFile() const { return m_user; }

private:
    Known findIn(const QString& file, const QString& server) const;

    QString m_site;
    QString m_user;
};
