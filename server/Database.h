#pragma once
// One catalogue's data: a SQLite database in WAL mode, used by the built-in
// procedures. Calls are serialised by the host (one lock per catalogue), so a
// procedure body owns the handle while it runs. Every recording a procedure
// makes goes inside transaction() so that it is either all there or not at all.

#include "server/ProcedureHost.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace lectora::server
{

class DatabaseError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class Database
{
public:
    // Opens (creating if missing) `file`; ":memory:" gives a private in-memory database.
    explicit Database(const std::filesystem::path& file, std::string catalogue);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::string& catalogue() const { return m_catalogue; }

    // Runs one or more statements without parameters (schema, seed).
    void exec(const std::string& sql);
    // Runs one statement with positional parameters (?1, ?2 ...) bound from
    // `params`, and returns its rows. Column types follow the values SQLite
    // returns (integer -> Int, real -> Float, everything else -> Text); a
    // column whose rows disagree is Text, or Float for whole and real numbers
    // together, and one without a value takes its declared type's affinity.
    ResultSet query(const std::string& sql, const std::vector<Value>& params = {});
    // First column of the first row, or a null value.
    Value scalar(const std::string& sql, const std::vector<Value>& params = {});
    // Number of rows changed by the last statement.
    int changes() const;

    // Runs `work` inside BEGIN IMMEDIATE / COMMIT; rolls back and rethrows on exception.
    void transaction(const std::function<void()>& work);

    // Held by the host for the length of every call on this catalogue.
    std::mutex& mutex() { return m_mutex; }

private:
    sqlite3_stmt* prepared(const std::string& sql);
    void bind(sqlite3_stmt* stmt, const std::string& sql, const std::vector<Value>& params);

    sqlite3* m_db = nullptr;
    std::string m_catalogue;
    std::mutex m_mutex;
    // Prepared once per text and kept: the same few procedure queries run
    // thousands of times a second under load. Guarded by m_mutex like the handle.
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
};

} // namespace lectora::server
