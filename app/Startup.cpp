#include "app/Startup.h"

#include "app/StatusLine.h"
#include "app/U_Menu.h"
#include "app/shell/DiagnosticLog.h"
#include "app/shell/LectoraApplication.h"
#include "app/shell/MessageService.h"
#include "app/shell/Places.h"
#include "app/shell/Profile.h"
#include "app/shell/SessionLog.h"
#include "data/DbError.h"
#include "data/U_Data.h"
#include "platform/Files.h"
#include "server/EmbeddedServer.h"

#include <QCommandLineParser>
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

// The application's title, which also names the stand-in's data folder, and
// its version.
void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("LectoraVelmor"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LECTORA_VERSION));
}

// The log of the run, from the profile's [log] section, and its first lines.
void startLog(const Profile& profile, const ConnectionSettings& settings)
{
    diagnosticlog::start(profile.log);
    SessionLog::instance().begin(profile.present ? profile.path : QString(), settings.driver);
}

} // namespace

Terminal::Terminal() = default;
Terminal::~Terminal()
{
    mainWindow.reset();
    dataModule.reset();
    embedded.reset();
}

std::unique_ptr<Terminal> startTerminal(int& exitCode, const std::function<Profile()>& loadProfile)
{
    nameApplication();
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
    startLog(profile, settings);
    if (!profile.present) {
        try {
            terminal->embedded = startEmbedded(settings);
        } catch (const std::exception& error) {
            messages.defaultError(QString::fromUtf8(error.what()));
            exitCode = NoEmbeddedServer;
            SessionLog::instance().end(exitCode);
            return nullptr;
        }
    }

    try {
        terminal->dataModule = std::make_unique<TDm_Velmor>(settings);
    } catch (const DbError& error) {
        messages.defaultError(error.text());
        exitCode = NoDatabase;
        SessionLog::instance().end(exitCode);
        return nullptr;
    }
    TDm_Velmor& dm = *terminal->dataModule;
    SessionLog::instance().describe({&dm.Cx, &dm.CxNordaPavrel, &dm.CxUlmar});

    terminal->mainWindow = std::make_unique<TFr_Menu>(profile.visibleEntries);
    terminal->mainWindow->statusLine()->setDemo(!profile.present);
    terminal->mainWindow->show();
    exitCode = Finished;
    return terminal;
}

int runLectora(int argc, char** argv)
{
    LectoraApplication app(argc, argv);
    nameApplication();
    // --help and --version answer and end the run; any other argument is refused.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Warehouse scanning terminal. With no profile it starts its demo server "
                       "in-process; LECTORA_PROFILE names the profile to read."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    int exitCode = Finished;
    std::unique_ptr<Terminal> terminal = startTerminal(exitCode);
    if (!terminal) {
        diagnosticlog::stop();
        return exitCode;
    }
    exitCode = app.exec();
    terminal.reset();
    SessionLog::instance().end(exitCode);
    diagnosticlog::stop();
    return exitCode;
}
