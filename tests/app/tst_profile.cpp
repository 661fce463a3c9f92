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
        QCOMPARE(p.visibleEntries, Profile::defaultVisibleEntries());
    }

    void emptyVisibleListHidesEveryEntry()
    {
        const Profile p = Profile::loadFile(write("[menu]\nvisible=\n"));
        QVERIFY(p.visibleEntries.isEmpty());
    }

    void refusesWithReason_data()
    {
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
        QTest::newRow("empty host") << QByteArray("[server]\nhost=\n") << "\"host\"";
        QTest::newRow("unknown entry")
            << QByteArray("[menu]\nvisible=Inventario1,Embarque\n") << "\"Embarque\"";
        QTest::newRow("entry in wrong case")
            << QByteArray("[menu]\nvisible=ulmar1\n") << "\"ulmar1\"";
        QTest::newRow("not text") << QByteArray("[server]\nhost=\xff\xfe\n") << "UTF-8";
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
