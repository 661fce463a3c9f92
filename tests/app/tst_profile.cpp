// The installation profile: what a site writes is either read exactly or
// refused with a reason; it never silently falls back to the demo.

#include "app/shell/Profile.h"

#include <QTemporaryDir>
#include <QTest>

class ProfileTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_files = 0;

    QString write(const QByteArray& content)
    {
        const QString path = m_dir.filePath(QStringLiteral("p%1.ini").arg(++m_files));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        file.write(content);
        return path;
    }

private Q_SLOTS:
    void readsEveryKey()
    {
        const Profile p = Profile::loadFile(write("; a site's profile\r\n"
                                                  "[server]\r\n"
                                                  "host = db.example.lan\r\n"
                                                  "port=14330\r\n"
                                                  "workstation=DOCK-01\r\n"
                                                  "login=terminal\r\n"
                                                  "password=\" s3cr;t \"\r\n"
                                                  "driver=ODBC Driver 18 for SQL Server\r\n"
                                                  "connect_timeout=15\r\n"
                                                  "command_timeout=30\r\n"
                                                  "\r\n"
                                                  "# which processes the site runs\r\n"
                                                  "[menu]\r\n"
                                                  "visible=Inventario1, Embarque1 ,Ulmar1\r\n"));
        QVERIFY(p.present);
        QCOMPARE(p.connection.host, QStringLiteral("db.example.lan"));
        QCOMPARE(p.connection.port, 14330);
        QCOMPARE(p.connection.workstation, QStringLiteral("DOCK-01"));
        QCOMPARE(p.connection.login, QStringLiteral("terminal"));
        QCOMPARE(p.connection.password, QStringLiteral(" s3cr;t "));
        QCOMPARE(p.connection.driver, QStringLiteral("ODBC Driver 18 for SQL Server"));
        QCOMPARE(p.connection.connectTimeout, 15);
        QCOMPARE(p.connection.commandTimeout, 30);
        QCOMPARE(p.visibleEntries, (QStringList{"Inventario1", "Embarque1", "Ulmar1"}));
    }

    void keysLeftOutKeepTheirDefaults()
    {
        const Profile p = Profile::loadFile(write("\xEF\xBB\xBF[server]\nhost=10.0.0.5\n"));
        QCOMPARE(p.connection.host, QStringLiteral("10.0.0.5"));
        QCOMPARE(p.connection.port, 1433);
        QCOMPARE(p.connection.login, QStringLiteral("sa"));
        QCOMPARE(p.connection.password, QStringLiteral("tolvexra"));
        QCOMPARE(p.connection.driver, QStringLiteral("FreeTDS"));
        QCOMPARE(p.connection.connectTimeout, 5000);
        QCOMPARE(p.connection.commandTimeout, 5000);
        QCOMPARE(p.visibleEntries, Profile::defaultVisibleEntries());
    }

    void emptyVisibleListHidesEveryEntry()
    {
        const Profile p = Profile::loadFile(write("[menu]\nvisible=\n"));
        QVERIFY(p.visibleEntries.isEmpty());
    }

    void readsTheOperatorSection()
    {
        const Profile quiet =
            Profile::loadFile(write("[operator]\nsound=off\nscan_key_gap_ms=60\nbox_quiet_ms=0\n"));
        QVERIFY(!quiet.sound);
        QCOMPARE(quiet.boxKeys.burstGapMs, 60);
        QCOMPARE(quiet.boxKeys.quietAfterOpenMs, 0);
        QVERIFY(Profile::loadFile(write("[operator]\nsound=on\n")).sound);
    }

    void readsTheLogSection()
    {
        const Profile p = Profile::loadFile(
            write("[log]\nlevel=errors\nfolder=logs\nmax_kb=64\nfiles=5\n"));
        QVERIFY(p.log.level == LogLevel::Errors);
        QCOMPARE(p.log.folder, m_dir.filePath(QStringLiteral("logs")));
        QCOMPARE(p.log.fileLimit, qint64(64 * 1024));
        QCOMPARE(p.log.files, 5);
        QVERIFY(Profile::loadFile(write("[log]\nlevel=off\n")).log.level == LogLevel::Off);
    }

    void refusesWithReason_data()
    {
        QFile(m_dir.filePath(QStringLiteral("site-ca.pem"))).open(QIODevice::WriteOnly);
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("line without =") << QByteArray("[server]\nhost\n") << "line 2";
        QTest::newRow("unknown section") << QByteArray("[servers]\nhost=a\n") << "[servers]";
        QTest::newRow("unclosed section") << QByteArray("[server\nhost=a\n") << "section";
        QTest::newRow("key before section") << QByteArray("host=a\n") << "before any section";
        QTest::newRow("unknown key") << QByteArray("[server]\nhots=a\n") << "\"hots\"";
        QTest::newRow("key of the other section")
            << QByteArray("[menu]\nhost=a\n") << "unknown key \"host\" in [menu]";
        QTest::newRow("key in wrong case") << QByteArray("[server]\nHost=a\n") << "\"Host\"";
        QTest::newRow("duplicate key") << QByteArray("[server]\nport=1\nport=2\n") << "twice";
        QTest::newRow("duplicate section") << QByteArray("[menu]\nvisible=\n[menu]\n") << "twice";
        QTest::newRow("port not a number") << QByteArray("[server]\nport=14x3\n") << "14x3";
        QTest::newRow("port zero") << QByteArray("[server]\nport=0\n") << "port";
        QTest::newRow("port too large") << QByteArray("[server]\nport=65536\n") << "65536";
        QTest::newRow("no timeout at all")
            << QByteArray("[server]\ncommand_timeout=0\n") << "command_timeout \"0\"";
        QTest::newRow("timeout longer than the installation's")
            << QByteArray("[server]\nconnect_timeout=5001\n") << "from 1 to 5000";
        QTest::newRow("timeout not whole seconds")
            << QByteArray("[server]\ncommand_timeout=2.5\n") << "\"2.5\"";
        QTest::newRow("empty host") << QByteArray("[server]\nhost=\n") << "\"host\"";
        QTest::newRow("unknown entry")
            << QByteArray("[menu]\nvisible=Inventario1,Embarque\n") << "\"Embarque\"";
        QTest::newRow("entry in wrong case")
            << QByteArray("[menu]\nvisible=ulmar1\n") << "\"ulmar1\"";
        QTest::newRow("sound neither on nor off")
            << QByteArray("[operator]\nsound=yes\n") << "on or off";
        QTest::newRow("key gap out of range")
            << QByteArray("[operator]\nscan_key_gap_ms=1\n") << "5 to 200";
        QTest::newRow("quiet time not a number")
            << QByteArray("[operator]\nbox_quiet_ms=0.3s\n") << "0.3s";
        QTest::newRow("log level unknown")
            << QByteArray("[log]\nlevel=all\n") << "none of off, errors, commands";
        QTest::newRow("log file too small") << QByteArray("[log]\nmax_kb=1\n") << "16 to 1048576";
        QTest::newRow("no log file kept") << QByteArray("[log]\nfiles=0\n") << "1 to 20";
        QTest::newRow("log folder empty") << QByteArray("[log]\nfolder=\n") << "\"folder\"";
        QTest::newRow("not text") << QByteArray("[server]\nhost=\xff\xfe\n") << "UTF-8";
        QTest::newRow("encrypt in capitals") << QByteArray("[server]\nencrypt=On\n") << "\"On\"";
        QTest::newRow("encrypt as yes") << QByteArray("[server]\nencrypt=yes\n") << "line 2";
        QTest::newRow("trust as true")
            << QByteArray("[server]\ntrust_server_certificate=true\n") << "neither yes nor no";
        QTest::newRow("missing CA file")
            << QByteArray("[server]\nencrypt=on\nca_file=nowhere.pem\n") << "nowhere.pem";
        QTest::newRow("strict on FreeTDS") << QByteArray("[server]\nencrypt=strict\n")
                                           << "line 2: encrypt=strict is not "
                                              "supported by the FreeTDS driver";
        QTest::newRow("strict on driver 17")
            << QByteArray("[server]\ndriver=ODBC Driver 17 for SQL Server\nencrypt=strict\n")
            << "line 3: encrypt=strict is not supported by the ODBC Driver 17";
        QTest::newRow("certificate name on FreeTDS")
            << QByteArray("[server]\nhost_in_certificate=sql01\n") << "line 2";
        QTest::newRow("unknown driver")
            << QByteArray("[server]\ndriver=Acme TDS\n") << "line 2: the driver \"Acme TDS\"";
        QTest::newRow("odbc_string with encrypt")
            << QByteArray("[server]\ndriver=Acme TDS\nencrypt=on\n"
                          "odbc_string=DB=${database};TLS=1\n")
            << "line 4: encrypt cannot go with odbc_string";
        QTest::newRow("fingerprint too short")
            << QByteArray("[server]\ncertificate_sha256=AB:CD:EF\n") << "not a SHA-256";
        QTest::newRow("fingerprint with encryption off")
            << QByteArray("[server]\nencrypt=off\ncertificate_sha256=" + QByteArray(64, 'a') + "\n")
            << "line 3: certificate_sha256 has no effect with encrypt=off";
        QTest::newRow("fingerprint and CA file")
            << QByteArray("[server]\nca_file=site-ca.pem\ncertificate_sha256=" +
                          QByteArray(64, 'a') + "\n")
            << "keep one";
        QTest::newRow("fingerprint and trust")
            << QByteArray("[server]\ntrust_server_certificate=yes\ncertificate_sha256=" +
                          QByteArray(64, 'a') + "\n")
            << "line 2: trust_server_certificate=yes turns off the check that "
               "certificate_sha256";
        QTest::newRow("odbc_string without database")
            << QByteArray("[server]\ndriver=Acme TDS\nodbc_string=TLS=1\n") << "${database}";
        QTest::newRow("two passwords") << QByteArray("[server]\npassword=a\npassword_env=HOME\n")
                                       << "line 3: password and password_env";
        QTest::newRow("password variable unset")
            << QByteArray("[server]\npassword_env=LECTORA_NO_SUCH_VARIABLE\n") << "not set";
        QTest::newRow("missing password file")
            << QByteArray("[server]\npassword_file=nowhere.txt\n") << "nowhere.txt";
    }

    void refusesWithReason()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString path = write(content);
        try {
            Profile::loadFile(path);
            QFAIL("accepted");
        } catch (const ProfileError& error) {
            QVERIFY2(error.text().contains(reason), qPrintable(error.text()));
            QVERIFY2(error.text().contains(path), qPrintable(error.text()));
        }
    }

    void readsLinkKeys()
    {
        const QString ca = m_dir.filePath(QStringLiteral("site-ca.pem"));
        QFile(ca).open(QIODevice::WriteOnly);
        const Profile p = Profile::loadFile(write("[server]\n"
                                                  "driver=ODBC Driver 18 for SQL Server\n"
                                                  "encrypt=strict\n"
                                                  "ca_file=site-ca.pem\n"
                                                  "trust_server_certificate=no\n"
                                                  "host_in_certificate=sql01.example\n"));
        const LinkSecurity& l = p.connection.security;
        QCOMPARE(l.encrypt, LinkEncryption::Strict);
        // Relative to the profile's folder, not to where the terminal was started.
        QCOMPARE(l.caFile, ca);
        QCOMPARE(l.trustServerCertificate, std::optional<bool>(false));
        QCOMPARE(l.hostInCertificate, QStringLiteral("sql01.example"));

        // Encrypted and checked unless the profile says otherwise.
        const Profile defaults = Profile::loadFile(write("[server]\nhost=a\n"));
        QCOMPARE(defaults.connection.security.encrypt, LinkEncryption::On);
        QVERIFY(defaults.connection.security.verifiesServer());
        QCOMPARE(defaults.connection.security.siteKnownServers,
                 m_dir.filePath(QStringLiteral("known-servers")));

        // Pasted as openssl prints it, or in lower case without colons.
        const QString expected = QStringLiteral("0A:1B") + QStringLiteral(":2C").repeated(30);
        for (const QString& written : {QStringLiteral("sha256 Fingerprint=") + expected,
                                       expected.toLower().remove(QLatin1Char(':'))}) {
            const Profile pinned = Profile::loadFile(
                write(QStringLiteral("[server]\ncertificate_sha256=%1\n").arg(written).toUtf8()));
            QCOMPARE(pinned.connection.security.certificateSha256, expected);
        }
    }

    void passwordFromFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("permissions");
        QTest::addColumn<QString>("password"); // empty: refused
        QTest::addColumn<QString>("reason");
        const int owner = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QTest::newRow("first line") << QByteArray("s3c;r}t\nold\n") << owner << "s3c;r}t"
                                    << "";
        QTest::newRow("written on Windows") << QByteArray(" pw \r\n") << owner << " pw "
                                            << "";
        QTest::newRow("no line end") << QByteArray("pw") << owner << "pw"
                                     << "";
        QTest::newRow("group can read")
            << QByteArray("pw\n") << int(owner | QFileDevice::ReadGroup) << ""
            << "other users";
        QTest::newRow("anyone can read")
            << QByteArray("pw\n") << int(owner | QFileDevice::ReadOther) << ""
            << "chmod 600";
        QTest::newRow("empty") << QByteArray() << owner << ""
                               << "empty";
    }

    void passwordFromFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, permissions);
        QFETCH(QString, password);
        QFETCH(QString, reason);
        const QString secret = m_dir.filePath(QStringLiteral("secret%1").arg(++m_files));
        QFile file(secret);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::Permissions(permissions)));
        const QString path = write("[server]\npassword_file=" + secret.toUtf8() + "\n");
        try {
            const Profile p = Profile::loadFile(path);
            QVERIFY2(!password.isEmpty(), "accepted");
            QCOMPARE(p.connection.password, password);
        } catch (const ProfileError& error) {
            QVERIFY2(password.isEmpty(), qPrintable(error.text()));
            QVERIFY2(error.text().contains(reason), qPrintable(error.text()));
            QVERIFY2(error.text().contains(QLatin1String("line 2")), qPrintable(error.text()));
        }
    }

    void passwordFromEnvironment()
    {
        qputenv("LECTORA_TEST_SECRET", " s3c;ret ");
        const Profile p = Profile::loadFile(write("[server]\npassword_env=LECTORA_TEST_SECRET\n"));
        qunsetenv("LECTORA_TEST_SECRET");
        QCOMPARE(p.connection.password, QStringLiteral(" s3c;ret "));
    }

    // The machine's profile is the last resort before the demo; the first
    // file that exists wins, and a broken one is never skipped for the next.
    void firstExistingProfileWins_data()
    {
        QTest::addColumn<QByteArray>("named");
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("machine");
        QTest::addColumn<int>("port"); // 0: the embedded default, -1: refused
        const QByteArray none;
        QTest::newRow("machine only")
            << none << none << QByteArray("[server]\nport=3000\n") << 3000;
        QTest::newRow("user over machine") << none << QByteArray("[server]\nport=2000\n")
                                           << QByteArray("[server]\nport=3000\n") << 2000;
        QTest::newRow("named over both")
            << QByteArray("[server]\nport=1000\n") << QByteArray("[server]\nport=2000\n")
            << QByteArray("[server]\nport=3000\n") << 1000;
        QTest::newRow("none") << none << none << none << 0;
        QTest::newRow("broken machine profile")
            << none << none << QByteArray("[server]\nport=70000\n") << -1;
        QTest::newRow("broken user profile over a good machine one")
            << none << QByteArray("[server]\nhost=\n") << QByteArray("[server]\nport=3000\n") << -1;
    }
    void firstExistingProfileWins()
    {
        QFETCH(QByteArray, named);
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, machine);
        QFETCH(int, port);
        QTemporaryDir dir;
        const auto place = [&](const char* name, const QByteArray& content) {
            const QString path = dir.filePath(QString::fromLatin1(name));
            if (!content.isNull()) {
                QFile file(path);
                if (!file.open(QIODevice::WriteOnly))
                    qFatal("cannot write %s", qPrintable(path));
                file.write(content);
            }
            return path;
        };
        const QString namedPath = named.isNull() ? QString() : place("named.ini", named);
        const QStringList candidates{place("user.ini", user), place("machine.ini", machine)};

        if (port < 0) {
            QVERIFY_THROWS_EXCEPTION(ProfileError, Profile::loadFirst(namedPath, candidates));
            return;
        }
        const Profile p = Profile::loadFirst(namedPath, candidates);
        QCOMPARE(p.present, port != 0);
        if (port == 0)
            QCOMPARE(p.path, candidates.first());
        else
            QCOMPARE(p.connection.port, port);
    }

    void locationFollowsTheEnvironment()
    {
        const QByteArray savedProfile = qgetenv("LECTORA_PROFILE");
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());

        // Empty means unset: the default location, here without a file.
        qputenv("LECTORA_PROFILE", "");
        Profile p = Profile::load();
        QVERIFY(!p.present);
        QCOMPARE(p.path, config.filePath(QStringLiteral("LectoraVelmor/lectora.ini")));

        QDir(config.path()).mkpath(QStringLiteral("LectoraVelmor"));
        QFile file(p.path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[server]\nport=2000\n");
        file.close();
        QCOMPARE(Profile::load().connection.port, 2000);

        const QString named = write("[server]\nport=3000\n");
        qputenv("LECTORA_PROFILE", named.toUtf8());
        QCOMPARE(Profile::load().connection.port, 3000);

        // A named file that is not there is an error, not the embedded default.
        qputenv("LECTORA_PROFILE", m_dir.filePath(QStringLiteral("missing.ini")).toUtf8());
        QVERIFY_THROWS_EXCEPTION(ProfileError, Profile::load());

        qputenv("LECTORA_PROFILE", savedProfile);
        qputenv("XDG_CONFIG_HOME", savedConfig);
    }
};

QTEST_GUILESS_MAIN(ProfileTest)
#include "tst_profile.moc"
