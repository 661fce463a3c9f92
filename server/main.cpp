// lectora-server: the stand-in SQL Server as a process of its own.
#include "server/EmbeddedServer.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace
{

constexpr const char* kUsage =
    "usage: lectora-server --listen HOST:PORT --data DIR [--journal FILE] "
    "[--login NAME --password PW]";

int fail(const std::string& message, int code = 1)
{
    std::cerr << "lectora-server: " << message << std::endl;
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    lectora::server::ServerOptions options;
    options.port = 1433;
    bool haveData = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::cout << kUsage << std::endl;
            return 0;
        }
        if (flag != "--listen" && flag != "--data" && flag != "--journal" && flag != "--login" &&
            flag != "--password")
            return fail("unknown flag " + flag + "\n" + kUsage, 2);
        if (i + 1 >= argc)
            return fail(flag + " needs a value\n" + kUsage, 2);
        const std::string value = argv[++i];
        if (flag == "--listen") {
            const auto colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0)
                return fail("--listen wants HOST:PORT, got \"" + value + "\"", 2);
            options.host = value.substr(0, colon);
            const std::string port = value.substr(colon + 1);
            char* end = nullptr;
            const long p = std::strtol(port.c_str(), &end, 10);
            if (port.empty() || *end != '\0' || p < 0 || p > 65535)
                return fail("--listen: \"" + port + "\" is not a port number", 2);
            options.port = static_cast<int>(p);
        } else if (flag == "--data") {
            if (value.empty())
                return fail("--data needs a folder", 2);
            options.dataDir = value;
            haveData = true;
        } else if (flag == "--journal") {
            options.journalFile = value;
        } else if (flag == "--login") {
            options.login = value;
        } else {
            options.password = value;
        }
    }
    if (!haveData)
        return fail(std::string("--data DIR is required\n") + kUsage, 2);

    // Signals are taken by sigwait below; every thread the server starts
    // inherits the block, so none of them is interrupted by one.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    lectora::server::EmbeddedServer server;
    try {
        server.start(options);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::cout << "lectora-server: listening on " << options.host << ":" << server.port()
              << " with data in " << options.dataDir.string() << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    std::cout << "lectora-server: stopped (" << strsignal(received) << ")" << std::endl;
    return 0;
}
