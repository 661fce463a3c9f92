#include "server/EmbeddedServer.h"

#include "server/Admission.h"
#include "server/AsciiCase.h"
#include "server/Database.h"
#include "server/Journal.h"
#include "server/LoginThrottle.h"
#include "server/tds/PacketLoop.h"
#include "server/tds/Session.h"
#include "server/tds/Tls.h"

#include "platform/Files.h"
#include "platform/Net.h"

#include <atomic>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace lectora::server
{

namespace
{

// Data files hold operators and every recording: readable by their owner
// only. The file is made before SQLite opens it because SQLite gives its
// -wal and -shm files the mode of the database file.
void ownerOnly(const std::filesystem::path& file)
{
    files::createPrivate(file);
    for (const char* suffix : {"-wal", "-shm"}) {
        std::filesystem::path side = file;
        side += suffix;
        std::error_code ec;
        if (std::filesystem::exists(side, ec))
            std::filesystem::permissions(
                side, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    }
}

// Opens a catalogue and, when it is new, creates and fills it in one
// transaction; one made by an older version is brought up to date.
std::unique_ptr<Database> openCatalogue(const ServerOptions& options, const char* name)
{
    const std::filesystem::path file = options.dataDir.empty()
                                           ? std::filesystem::path(":memory:")
                                           : options.dataDir / (std::string(name) + ".sqlite");
    if (!options.dataDir.empty())
        ownerOnly(file);
    auto db = std::make_unique<Database>(file, name);
    if (options.seedDemo && db->scalar("PRAGMA user_version").toInt().value_or(0) == 0) {
        db->transaction([&] {
            for (const auto& module : procedureModules())
                if (module.seed)
                    module.seed(*db, name);
            db->exec("PRAGMA user_version = 1");
        });
    }
    db->transaction([&] {
        for (const auto& module : procedureModules())
            if (module.upgrade)
                module.upgrade(*db);
    });
    return db;
}

// The name the self-signed certificate is made for: the listening address,
// or the machine's name when the server listens on every address.
std::string certificateHost(const std::string& host)
{
    if (!host.empty() && host != "0.0.0.0")
        return host;
    const std::string name = net::hostName();
    return name.empty() ? "localhost" : name;
}

void checkLimits(const ServerOptions& o)
{
    if (o.loginDeadline < 1)
        throw std::runtime_error("the login deadline must be at least one second");
    if (o.idleTimeout < 0)
        throw std::runtime_error("the idle timeout cannot be negative (0 turns it off)");
    if (o.maxConnections < 1)
        throw std::runtime_error("the server must take at least one connection");
    if (o.maxPerAddress < 0 || o.maxPerAddress > o.maxConnections)
        throw std::runtime_error(
            "the connections of one address must be between 1 and the connection cap");
    if (o.maxMessage < tds::kPacketSize || o.maxMessage > tds::kMaxMessageSize)
        throw std::runtime_error("the largest message must be between 4 KiB and 64 MiB");
    if (o.messageBudget < o.maxMessage)
        throw std::runtime_error("the message budget cannot be less than the largest message");
    if (o.journalFiles < 1)
        throw std::runtime_error("the journal keeps at least one rotated file");
}

// Connections being refused at the cap, each answered with its error; a
// flood of them past this many is closed without an answer.
constexpr std::size_t kMaxRefusing = 16;

} // namespace

struct EmbeddedServer::Impl {
    struct Client {
        net::Socket fd = net::kNoSocket;
        int id = 0;
        std::string address;
        std::thread thread;
        // The next three change under clientsMutex.
        bool done = false;
        bool evicted = false; // shut down to make room, still ending
        bool refused = false; // answered with the connection cap's error, holds no place
        std::atomic<bool> loggedIn{false};
    };

    ServerOptions options;
    std::shared_ptr<const tds::TlsCredentials> tls;
    std::filesystem::path certificate;
    bool certificateCreated = false;
    std::filesystem::path scratch; // the private folder of a server without dataDir
    ProcedureRegistry registry;
    std::unique_ptr<ProcedureHost> host;
    std::map<std::string, std::unique_ptr<Database>> catalogues;
    Journal journal;
    LoginThrottle throttle; // wrong server logins, per address
    std::unique_ptr<tds::MessageBudget> budget;

    net::Socket listenFd = net::kNoSocket;
    std::unique_ptr<net::Wakeup> wake;
    int port = 0;
    std::atomic<bool> running{false};
    std::thread acceptThread;

    std::mutex clientsMutex;
    std::list<Client> clients;
    std::atomic<int> nextConnectionId{1};

    Database* find(std::string_view name)
    {
        auto it = catalogues.find(toUpperAscii(name));
        return it == catalogues.end() ? nullptr : it->second.get();
    }

    tds::SessionContext context()
    {
        tds::SessionContext c;
        c.login = options.login;
        c.password = options.password;
        c.registry = &registry;
        c.host = host.get();
        c.journal = &journal;
        c.encryption = options.encryption;
        c.tls = tls;
        c.throttle = &throttle;
        c.resolveCatalogue = [](std::string_view requested) -> std::string {
            for (const char* name : kCatalogues)
                if (equalsNoCase(requested, name))
                    return name;
            return {};
        };
        return c;
    }

    // Loads the pair TLS needs, making a self-signed one when none is given.
    void setUpTls()
    {
        tls.reset();
        certificate.clear();
        certificateCreated = false;
        if (options.encryption == tds::ServerEncryption::Off)
            return;
        std::filesystem::path key = options.tlsKey;
        certificate = options.tlsCertificate;
        if (certificate.empty() != key.empty())
            throw std::runtime_error("a TLS certificate needs its key, and a key its certificate");
        if (certificate.empty()) {
            if (options.dataDir.empty() && scratch.empty()) {
                scratch = files::privateTemporaryFolder("lectora-server-");
            }
            const auto pair = tds::ensureSelfSigned(
                options.dataDir.empty() ? scratch : options.dataDir, certificateHost(options.host));
            certificate = pair.certificate;
            key = pair.key;
            certificateCreated = pair.created;
        }
        tls = tds::TlsCredentials::load(certificate, key);
    }

    // Joins the threads of connections that have ended.
    void reap()
    {
        std::list<Client> finished;
        {
            std::lock_guard lock(clientsMutex);
            for (auto it = clients.begin(); it != clients.end();) {
                auto next = std::next(it);
                if (it->done)
                    finished.splice(finished.end(), clients, it);
                it = next;
            }
        }
        for (auto& c : finished)
            if (c.thread.joinable())
                c.thread.join();
    }

    ConnectionLimits limits() const
    {
        const auto total = static_cast<std::size_t>(options.maxConnections);
        const auto share = options.maxPerAddress > 0
                               ? static_cast<std::size_t>(options.maxPerAddress)
                               : std::max<std::size_t>(1, total / 2);
        return {total, share};
    }

    void acceptLoop()
    {
        for (;;) {
            net::Waiter w[2] = {{listenFd, net::kReadable, 0},
                                {wake->waitable(), net::kReadable, 0}};
            if (net::wait(w, 2, -1) < 0) {
                if (net::interrupted(net::lastError()))
                    continue;
                return;
            }
            if (w[1].ready)
                return;
            std::string peer;
            const net::Socket fd = net::accept(listenFd, peer);
            if (fd == net::kNoSocket) {
                if (net::outOfDescriptors(net::lastError()))
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            reap();
            admitClient(fd, std::move(peer));
        }
    }

    // Gives the newcomer a place, making room or refusing it as Admission says.
    void admitClient(net::Socket fd, std::string address)
    {
        std::lock_guard lock(clientsMutex);
        std::vector<Occupant> occupants;
        std::size_t refusing = 0;
        for (const auto& c : clients) {
            if (c.done || c.evicted)
                continue;
            if (c.refused)
                ++refusing;
            else
                occupants.push_back({c.id, c.address, c.loggedIn});
        }
        const Admission admission = admit(occupants, address, limits());
        if (admission.kind == Admission::Kind::Evict) {
            for (auto& c : clients)
                if (c.id == admission.evict && c.fd != net::kNoSocket) {
                    c.evicted = true;
                    net::shutdownBoth(c.fd);
                }
        } else if (admission.kind == Admission::Kind::Refuse && refusing >= kMaxRefusing) {
            net::close(fd);
            return;
        }
        startClient(fd, std::move(address),
                    admission.kind == Admission::Kind::Refuse ? admission.limit : 0);
    }

    // Serves `fd` on a thread of its own; `fullAt` non-zero refuses its login.
    void startClient(net::Socket fd, std::string address, std::size_t fullAt)
    {
        clients.emplace_back();
        Client& client = clients.back();
        client.fd = fd;
        client.id = nextConnectionId++;
        client.address = std::move(address);
        client.refused = fullAt > 0;
        tds::LinkLimits link;
        link.loginBy =
            std::chrono::steady_clock::now() + std::chrono::seconds(options.loginDeadline);
        link.idle = std::chrono::seconds(options.idleTimeout);
        link.maxMessage = options.maxMessage;
        link.budget = budget.get();
        link.loggedIn = [&client] { client.loggedIn = true; };
        client.thread = std::thread([this, &client, fd, fullAt, link = std::move(link)] {
            tds::SessionContext c = context();
            c.client = client.address;
            c.fullAt = fullAt;
            tds::Session session(std::move(c), client.id);
            tds::servePackets(fd, session, link);
            std::lock_guard lock(clientsMutex);
            net::close(client.fd);
            client.fd = net::kNoSocket;
            client.done = true;
        });
    }

    void shutdownClients()
    {
        std::lock_guard lock(clientsMutex);
        for (auto& c : clients)
            if (c.fd != net::kNoSocket)
                net::shutdownBoth(c.fd);
    }
};

EmbeddedServer::EmbeddedServer() : d(std::make_unique<Impl>())
{
    for (const auto& module : procedureModules())
        if (module.registerProcedures)
            module.registerProcedures(d->registry);
    d->host = std::make_unique<ProcedureHost>(
        d->registry, [this](std::string_view name) { return d->find(name); });
}

EmbeddedServer::~EmbeddedServer()
{
    stop();
    if (!d->scratch.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(d->scratch, ec);
    }
}

void EmbeddedServer::start(const ServerOptions& options)
{
    if (d->running)
        throw std::runtime_error("the server is already running");
    checkLimits(options);
    d->options = options;
    d->budget = std::make_unique<tds::MessageBudget>(options.messageBudget);
    if (!options.dataDir.empty())
        files::makePrivateFolder(options.dataDir, "data folder", "the server");
    d->setUpTls();
    d->catalogues.clear();
    try {
        for (const char* name : kCatalogues)
            d->catalogues[name] = openCatalogue(options, name);
    } catch (const std::exception& e) {
        d->catalogues.clear();
        throw std::runtime_error(std::string("cannot open the catalogues: ") + e.what());
    }
    if (!options.journalFile.empty())
        d->journal.openFile(options.journalFile, options.journalLimit, options.journalFiles);

    try {
        d->listenFd = net::listenTcp(options.host, options.port, d->port);
    } catch (...) {
        d->journal.closeFile();
        throw;
    }
    try {
        d->wake = std::make_unique<net::Wakeup>();
    } catch (...) {
        net::close(d->listenFd);
        d->listenFd = net::kNoSocket;
        throw;
    }
    d->running = true;
    d->acceptThread = std::thread([this] { d->acceptLoop(); });
}

void EmbeddedServer::stop()
{
    if (!d->running)
        return;
    d->running = false;
    d->wake->signal();
    if (d->acceptThread.joinable())
        d->acceptThread.join();
    net::close(d->listenFd);
    d->listenFd = net::kNoSocket;
    d->wake.reset();
    d->shutdownClients();
    std::list<Impl::Client> all;
    {
        std::lock_guard lock(d->clientsMutex);
        all.splice(all.end(), d->clients);
    }
    for (auto& c : all)
        if (c.thread.joinable())
            c.thread.join();
    d->journal.closeFile();
}

bool EmbeddedServer::running() const
{
    return d->running;
}

int EmbeddedServer::port() const
{
    return d->port;
}

const ServerOptions& EmbeddedServer::options() const
{
    return d->options;
}

const std::filesystem::path& EmbeddedServer::certificateFile() const
{
    return d->certificate;
}

const std::string& EmbeddedServer::certificateFingerprint() const
{
    static const std::string none;
    return d->tls ? d->tls->fingerprint() : none;
}

bool EmbeddedServer::certificateCreated() const
{
    return d->certificateCreated;
}

ProcedureRegistry& EmbeddedServer::procedures()
{
    return d->registry;
}

void EmbeddedServer::script(const std::string& name, ProcedureBody body,
                            std::vector<std::string> params)
{
    d->registry.script(name, std::move(body), std::move(params));
}

Database& EmbeddedServer::catalogue(std::string_view name)
{
    Database* db = d->find(name);
    if (!db)
        throw std::out_of_range("no catalogue named " + std::string(name));
    return *db;
}

std::vector<JournalEntry> EmbeddedServer::journal() const
{
    return d->journal.entries();
}

void EmbeddedServer::clearJournal()
{
    d->journal.clear();
}

void EmbeddedServer::dropConnections()
{
    d->shutdownClients();
}

int EmbeddedServer::openConnections() const
{
    std::lock_guard lock(d->clientsMutex);
    int n = 0;
    for (const auto& c : d->clients)
        n += c.done ? 0 : 1;
    return n;
}

} // namespace lectora::server
