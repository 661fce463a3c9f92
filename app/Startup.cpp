#include "app/Startup.h"

#include "app/U_Menu.h"
#include "app/shell/LectoraApplication.h"
#include "app/shell/MessageService.h"
#include "app/shell/Places.h"
#include "app/shell/Profile.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "platform/Files.h"
#include "server/EmbeddedServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>
#include <exception>

namespace
{

enum ExitCode { Finished = 0, NoDatabase = 1, BadProfile = 2, NoEmbeddedServer = 3 };

// The embedded default: the stand-in in-process on a loopback port, its demo
// data in the user's data folder (the stand-in's files, not the terminal's).
std::unique_ptr<lectora::server::EmbeddedServer> startEmbedded(ConnectionSettings& settings)
{
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (dataDir.isEmpty() || !QDir().mkpath(dataDir))
        throw std::runtime_error(
            QStringLiteral("No se puede crear la carpeta de datos %1").arg(dataDir).toStdString());

    lectora::server::ServerOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.dataDir = lectora::files::fromUtf8(QDir::toNativeSeparators(dataDir).toStdString());
    auto server = std::make_unique<lectora::server::EmbeddedServer>();
    server->start(options);

    settings.driver = places::embeddedDriver();
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = server->port();
    settings.login = QString::fromStdString(options.login);
    settings.password = QString::fromStdString(options.password);
    // The terminal made this server and knows its certificate: that one only.
    settings.security.certificateSha256 = QString::fromStdString(server->certificateFingerprint());
    return server;
}

} // namespace

Terminal::Terminal() = default;
Terminal::~Terminal()
{
    mainWindow.reset();
    dataModule.reset();
    embedded.reset();
}

std::unique_ptr<Terminal> startTerminal(int& exitCode,
                                        const std::function<Profile()>& loadProfile)
{
    // The application's title; it also names the stand-in's data folder.
    QCoreApplication::setApplicationName(QStringLiteral("LectoraVelmor"));
    MessageService& messages = MessageService::instance();
    // The tones are Qt objects: they go before the application object does,
    // not with the message service at the process's exit.
    messages.setTonePlayer(platformTones());
    qAddPostRoutine([] { MessageService::instance().setTonePlayer(nullptr); });
    auto terminal = std::make_unique<Terminal>();

    Profile profile;
    try {
        profile = loadProfile ? loadProfile() : Profile::load();
    } catch (const ProfileError& error) {
        messages.defaultError(error.text());
        exitCode = BadProfile;
        return nullptr;
    }

    messages.setSoundEnabled(profile.sound);
    messages.setKeyTiming(profile.boxKeys);

    ConnectionSettings settings = profile.connection;
    if (settings.workstation.isEmpty())
        settings.workstation = QSysInfo::machineHostName();
    if (!profile.present) {
        try {
            terminal->embedded = startEmbedded(settings);
        } catch (const std::exception& error) {
            messages.defaultError(QString::fromUtf8(error.what()));
            exitCode = NoEmbeddedServer;
            return nullptr;
        }
    }

    try {
        terminal->dataModule = std::make_unique<TDm_Velmor>(settings);
    } catch (const DbError& error) {
        messages.defaultError(error.text());
        exitCode = NoDatabase;
        return nullptr;
    }

    terminal->mainWindow = std::make_unique<TFr_Menu>(profile.visibleEntries);
    terminal->mainWindow->show();
    exitCode = Finished;
    return terminal;
}

int runLectora(int argc, char** argv)
{
    LectoraApplication app(argc, argv);
    int exitCode = Finished;
    std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
    if (!terminal)
        return exitCode;
    return app.exec();
}
