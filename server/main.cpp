// lectora-server: the stand-in SQL Server as a process of its own.
#include "server/EmbeddedServer.h"
#include "server/PasswordFile.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <sys/resource.h>

namespace
{

using lectora::server::ServerOptions;

// Printed after the complaints that come from not knowing the flags; a new
// flag goes here and in declareFlags.
constexpr const char* kUsage =
    "usage: lectora-server --listen HOST:PORT --data DIR [--journal FILE] "
    "[--login NAME --password-file FILE] [--encryption off|on|required] "
    "[--tls-cert FILE --tls-key FILE] [--login-deadline S] [--idle-timeout S] "
    "[--max-connections N] [--max-per-address N] [--max-message SIZE] [--message-budget SIZE] "
    "[--journal-files N]";

// The command line as given; checkFlags turns it into the server's options.
struct Flags {
    ServerOptions options;
    std::string listen;
    std::string encryption = "on";
    std::filesystem::path passwordFile;
};

int fail(const std::string& message, int code = 1)
{
    std::cerr << "lectora-server: " << message << std::endl;
    return code;
}

void declareLimits(CLI::App& app, ServerOptions& o)
{
    constexpr int kDay = 86400;
    app.add_option("--login-deadline", o.loginDeadline,
                   "Seconds a new connection has to log in before it is closed (default 5)")
        ->type_name("SECONDS")
        ->check(CLI::Range(1, kDay));
    app.add_option("--idle-timeout", o.idleTimeout,
                   "Seconds a logged-in connection may stay silent before it is closed "
                   "(default 0: never)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, kDay));
    app.add_option("--max-connections", o.maxConnections, "Connections held at once (default 512)")
        ->type_name("N")
        ->check(CLI::Range(1, 65536));
    app.add_option("--max-per-address", o.maxPerAddress,
                   "Connections one client address may hold (default half of --max-connections)")
        ->type_name("N")
        ->check(CLI::Range(1, 65536));
    // Sizes take a unit: 4M is 4 MiB, 512k 512 KiB.
    app.add_option("--max-message", o.maxMessage,
                   "Largest request a logged-in client may send; a larger one is refused "
                   "(default 4M)")
        ->type_name("SIZE")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::size_t{4} << 10, std::size_t{64} << 20));
    app.add_option("--message-budget", o.messageBudget,
                   "What the unfinished requests of every connection may hold together "
                   "(default 64M)")
        ->type_name("SIZE")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::size_t{4} << 10, std::size_t{1} << 40));
}

void declareFlags(CLI::App& app, Flags& flags)
{
    // A flag given twice keeps its last value, as a shell script overriding a default expects.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Unknown words are collected and refused in checkFlags with their own message.
    app.allow_extras();
    ServerOptions& o = flags.options;
    app.add_option("--listen", flags.listen,
                   "Address and port to accept clients on (default port 1433)")
        ->type_name("HOST:PORT");
    app.add_option("--data", o.dataDir, "Folder holding one database per catalogue (required)")
        ->type_name("DIR");
    app.add_option("--journal", o.journalFile, "File that gets one line per command received")
        ->type_name("FILE");
    app.add_option("--journal-files", o.journalFiles,
                   "Rotated journal files kept, FILE.1 the newest (default 5)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000));
    app.add_option("--login", o.login, "Login name clients must give")->type_name("NAME");
    app.add_option("--password", o.password,
                   "Password clients must give; every local user sees it in ps, so prefer "
                   "--password-file")
        ->type_name("PW");
    app.add_option("--password-file", flags.passwordFile,
                   "File whose first line is the password clients must give; readable by its "
                   "owner only (chmod 600)")
        ->type_name("FILE");
    app.add_option("--encryption", flags.encryption,
                   "TLS offered in PRELOGIN: off, on (login-only or whole session, as the client "
                   "asks; default) or required (whole session, clients that cannot are refused)")
        ->type_name("MODE");
    app.add_option("--tls-cert", o.tlsCertificate,
                   "Certificate chain in PEM (default: a self-signed one made in the data folder)")
        ->type_name("FILE");
    app.add_option("--tls-key", o.tlsKey, "Private key in PEM for --tls-cert")->type_name("FILE");
    declareLimits(app, o);
}

// Empty when HOST:PORT was understood and stored in `options`, else the complaint.
std::string readListen(const std::string& value, ServerOptions& options)
{
    const auto colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return "--listen wants HOST:PORT, got \"" + value + "\"";
    const std::string port = value.substr(colon + 1);
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p < 0 || p > 65535)
        return "--listen: \"" + port + "\" is not a port number";
    options.host = value.substr(0, colon);
    options.port = static_cast<int>(p);
    return {};
}

// Empty when the password, if it comes from a file, was read from it; else why not.
std::string readPassword(const CLI::App& app, Flags& flags)
{
    if (app.count("--password-file") == 0)
        return {};
    if (app.count("--password") > 0)
        return "--password and --password-file: give one of them";
    try {
        flags.options.password = lectora::server::readPasswordFile(flags.passwordFile);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return {};
}

// Empty when the parsed flags make a usable server, else the one-line complaint.
std::string checkFlags(const CLI::App& app, Flags& flags)
{
    if (const auto extra = app.remaining(); !extra.empty())
        return "unknown flag " + extra.front() + "\n" + kUsage;
    if (app.count("--listen") > 0) {
        if (std::string complaint = readListen(flags.listen, flags.options); !complaint.empty())
            return complaint;
    }
    if (app.count("--data") == 0)
        return std::string("--data DIR is required\n") + kUsage;
    using lectora::server::tds::ServerEncryption;
    if (flags.encryption == "off")
        flags.options.encryption = ServerEncryption::Off;
    else if (flags.encryption == "on")
        flags.options.encryption = ServerEncryption::On;
    else if (flags.encryption == "required")
        flags.options.encryption = ServerEncryption::Required;
    else
        return "--encryption wants off, on or required, got \"" + flags.encryption + "\"";
    if (flags.options.tlsCertificate.empty() != flags.options.tlsKey.empty())
        return "--tls-cert and --tls-key go together";
    if (flags.options.dataDir.empty())
        return "--data needs a folder";
    if (flags.options.maxPerAddress > flags.options.maxConnections)
        return "--max-per-address cannot be more than --max-connections (" +
               std::to_string(flags.options.maxConnections) + ")";
    if (flags.options.messageBudget < flags.options.maxMessage)
        return "--message-budget cannot be less than --max-message";
    return readPassword(app, flags);
}

// The flag that lacks its value is always the last word: every flag takes one.
std::string flagMissingItsValue(int argc, char** argv)
{
    const std::string last = argv[argc - 1];
    return last.substr(0, last.find('='));
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"The stand-in SQL Server: answers the terminal's procedures from SQLite.",
                 "lectora-server"};
    Flags flags;
    flags.options.port = 1433;
    declareFlags(app, flags);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ArgumentMismatch&) {
        return fail(flagMissingItsValue(argc, argv) + " needs a value\n" + kUsage, 2);
    } catch (const CLI::ParseError& e) {
        return fail(std::string(e.what()) + "\n" + kUsage, 2);
    }
    if (const std::string complaint = checkFlags(app, flags); !complaint.empty())
        return fail(complaint, 2);
    const ServerOptions& options = flags.options;

    // Signals are taken by sigwait below; every thread the server starts
    // inherits the block, so none of them is interrupted by one.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Each connection holds a descriptor: take all the system allows.
    if (rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    lectora::server::EmbeddedServer server;
    try {
        server.start(options);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (!server.certificateFile().empty())
        std::cout << "lectora-server: TLS certificate " << server.certificateFile().string()
                  << (server.certificateCreated() ? " (made now)" : "") << " SHA-256 "
                  << server.certificateFingerprint() << std::endl;
    std::cout << "lectora-server: listening on " << options.host << ":" << server.port()
              << " with data in " << options.dataDir.string() << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    std::cout << "lectora-server: stopped (" << strsignal(received) << ")" << std::endl;
    return 0;
}
