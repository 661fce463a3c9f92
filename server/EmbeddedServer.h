#pragma once
// The stand-in SQL Server as a library: a TDS 7.4 endpoint on TCP in front of
// the procedure host and one SQLite database per catalogue. The terminal starts
// one in-process as its embedded default; tests start one per fixture and
// script procedures on it; `lectora-server` wraps it in an executable.

#include "server/ProcedureHost.h"
#include "server/tds/Login.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace lectora::server
{

class Database;

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 0;                  // 0: an ephemeral port, see EmbeddedServer::port()
    std::filesystem::path dataDir; // empty: every catalogue in memory (tests)
    std::filesystem::path
        journalFile; // empty: no journal file (the in-memory journal is always kept)
    std::uintmax_t journalLimit = 64u << 20; // bytes before the file moves to FILE.1; 0: no limit
    int journalFiles = 5;                    // rotated files kept, FILE.1 (newest) to FILE.N
    std::string login = "sa";
    std::string password = "tolvexra";
    bool seedDemo = true; // create and fill the demo data when a catalogue is new
    // What PRELOGIN offers. Without a certificate and key of its own the
    // server makes a self-signed pair in dataDir on first start, or, with no
    // dataDir, in a private temporary folder that goes with the server.
    tds::ServerEncryption encryption = tds::ServerEncryption::On;
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
    // Seconds a new connection has to complete PRELOGIN and LOGIN7 before it is closed.
    int loginDeadline = 5;
    // Seconds a logged-in connection may send nothing before it is closed; 0: never.
    int idleTimeout = 0;
    // Connections held at once, and of them from one address (0: half of maxConnections).
    int maxConnections = 512;
    int maxPerAddress = 0;
    // The largest request a logged-in client may send: far above the
    // terminal's largest command (a few kilobytes), far below what would let
    // a few clients exhaust the machine. Bytes.
    std::size_t maxMessage = 4u << 20;
    // What every connection's unfinished requests may hold together. Bytes.
    std::size_t messageBudget = 64u << 20;
};

// One line of the journal: what a connection sent.
struct JournalEntry {
    int connectionId = 0;
    std::string catalogue;
    // The batch text verbatim ("EXECUTE sp_KVR_Persona 'demo','****'"), or for
    // an RPC the procedure name followed by its parameter values, e.g.
    // "sp_KVR_ObtieneIDProducto;1 ('SER-1', NULL)".
    std::string text;
    bool rpc = false;
    std::string procedure;   // resolved procedure name as sent ("" for SET and the like)
    std::vector<Value> args; // argument values (password masked)
};

class EmbeddedServer
{
public:
    EmbeddedServer();
    ~EmbeddedServer(); // stops
    EmbeddedServer(const EmbeddedServer&) = delete;
    EmbeddedServer& operator=(const EmbeddedServer&) = delete;

    // Opens the catalogues and starts listening. Throws std::runtime_error
    // with a one-line reason (port in use, data folder not writable, ...).
    void start(const ServerOptions& options = {});
    // Closes the listener and every connection; committed data stays.
    void stop();
    bool running() const;
    int port() const;
    const ServerOptions& options() const;
    // The certificate in use (a client's CA for the self-signed one), its
    // SHA-256 fingerprint, and whether this start made it. Empty with
    // encryption off.
    const std::filesystem::path& certificateFile() const;
    const std::string& certificateFingerprint() const;
    bool certificateCreated() const;

    // Procedures: scripted ones answer in place of the built-in ones.
    ProcedureRegistry& procedures();
    void script(const std::string& name, ProcedureBody body, std::vector<std::string> params = {});

    // The catalogue's database (for tests that look at what was recorded).
    Database& catalogue(std::string_view name);

    // Everything received since start or the last clearJournal().
    std::vector<JournalEntry> journal() const;
    void clearJournal();
    // Drops every open client connection (tests of a server that goes away).
    void dropConnections();
    int openConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace lectora::server
