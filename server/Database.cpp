// SQLite behind one catalogue. Statements are prepared once and kept, because
// the same few procedure queries run thousands of times a second under load.
#include "server/Database.h"

#include "server/AsciiCase.h"

#include <sqlite3.h>

#include <cctype>

namespace lectora::server
{

namespace
{

// Resets a cached statement when a query leaves, however it leaves, so that
// the next use starts clean and no read transaction stays open.
struct StatementUse {
    sqlite3_stmt* stmt;
    ~StatementUse()
    {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
};

ColumnType typeOfStorage(int storage)
{
    switch (storage) {
    case SQLITE_INTEGER:
        return ColumnType::Int;
    case SQLITE_FLOAT:
        return ColumnType::Float;
    default:
        return ColumnType::Text;
    }
}

// The column type when no row tells: from the declared type's affinity.
ColumnType typeOfDeclaration(const char* declared)
{
    if (!declared)
        return ColumnType::Text;
    const std::string d = toUpperAscii(declared);
    if (d.find("INT") != std::string::npos)
        return ColumnType::Int;
    if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
        d.find("DOUB") != std::string::npos || d.find("DEC") != std::string::npos ||
        d.find("NUM") != std::string::npos)
        return ColumnType::Float;
    return ColumnType::Text;
}

// Storage classes seen in one column so far; a column whose rows disagree is
// declared as text, except that whole and real numbers together are real.
void noteStorage(int& seen, int type)
{
    const int storage = type == SQLITE_BLOB ? SQLITE_TEXT : type;
    if (storage == SQLITE_NULL)
        return;
    if (seen == SQLITE_NULL) {
        seen = storage;
    } else if (seen != storage) {
        const bool numbers = (seen == SQLITE_INTEGER || seen == SQLITE_FLOAT) &&
                             (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT);
        seen = numbers ? SQLITE_FLOAT : SQLITE_TEXT;
    }
}

// `type` is read before the value: reading a blob as text may change what SQLite reports.
Value columnValue(sqlite3_stmt* stmt, int c, int type)
{
    switch (type) {
    case SQLITE_INTEGER:
        return Value(static_cast<std::int64_t>(sqlite3_column_int64(stmt, c)));
    case SQLITE_FLOAT:
        return Value(sqlite3_column_double(stmt, c));
    case SQLITE_NULL:
        return {};
    default: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        const int bytes = sqlite3_column_bytes(stmt, c);
        return Value(std::string(text ? text : "", static_cast<std::size_t>(bytes)));
    }
    }
}

// Gives every value of column `c` the column's one type: whole numbers in a
// real column travel as reals and anything in a text column as text, so a
// client reading the column sees one type.
void settleColumn(ResultSet& rs, int c)
{
    if (rs.columns[c].type == ColumnType::Float) {
        for (auto& row : rs.rows) {
            if (const auto* v = std::get_if<std::int64_t>(&row[c].data))
                row[c] = Value(static_cast<double>(*v));
        }
    } else if (rs.columns[c].type == ColumnType::Text) {
        for (auto& row : rs.rows) {
            if (!row[c].isNull() && !std::holds_alternative<std::string>(row[c].data))
                row[c] = Value(row[c].toText());
        }
    }
}

bool onlyBlanks(const char* tail)
{
    for (const char* p = tail; p && *p; ++p) {
        if (!std::isspace(static_cast<unsigned char>(*p)) && *p != ';')
            return false;
    }
    return true;
}

} // namespace

Database::Database(const std::filesystem::path& file, std::string catalogue)
    : m_catalogue(std::move(catalogue))
{
    // SQLite takes file names as UTF-8 on every platform.
    const std::u8string name = file.u8string();
    const int rc = sqlite3_open_v2(
        reinterpret_cast<const char*>(name.c_str()), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    if (rc != SQLITE_OK) {
        std::string reason = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        if (m_db)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw DatabaseError("cannot open the database " + file.string() + ": " + reason);
    }
    try {
        // WAL keeps readers off the writer's back; NORMAL is durable across a
        // process crash, which is what a committed recording needs here.
        exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA busy_timeout=5000;"
             " PRAGMA foreign_keys=ON;");
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

Database::~Database()
{
    if (!m_db)
        return;
    for (auto& [sql, stmt] : m_statements)
        sqlite3_finalize(stmt);
    sqlite3_close_v2(m_db);
}

void Database::exec(const std::string& sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string reason = message ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        throw DatabaseError(reason);
    }
}

sqlite3_stmt* Database::prepared(const std::string& sql)
{
    if (auto it = m_statements.find(sql); it != m_statements.end())
        return it->second;
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &stmt, &tail) != SQLITE_OK)
        throw DatabaseError(sqlite3_errmsg(m_db));
    if (!stmt)
        throw DatabaseError("empty statement");
    if (!onlyBlanks(tail)) {
        sqlite3_finalize(stmt);
        throw DatabaseError("query() takes one statement; use exec() for several");
    }
    // Procedures use a fixed set of texts; a text built from values would
    // grow the cache without end, so it is emptied past a generous bound.
    if (m_statements.size() >= 512) {
        for (auto& [text, cached] : m_statements)
            sqlite3_finalize(cached);
        m_statements.clear();
    }
    m_statements.emplace(sql, stmt);
    return stmt;
}

void Database::bind(sqlite3_stmt* stmt, const std::string& sql, const std::vector<Value>& params)
{
    if (static_cast<int>(params.size()) > sqlite3_bind_parameter_count(stmt))
        throw DatabaseError("too many parameters for: " + sql);
    for (std::size_t i = 0; i < params.size(); ++i) {
        const int index = static_cast<int>(i + 1);
        const auto& data = params[i].data;
        int rc = SQLITE_OK;
        if (const auto* v = std::get_if<std::int64_t>(&data))
            rc = sqlite3_bind_int64(stmt, index, *v);
        else if (const auto* d = std::get_if<double>(&data))
            rc = sqlite3_bind_double(stmt, index, *d);
        else if (const auto* s = std::get_if<std::string>(&data))
            rc = sqlite3_bind_text(stmt, index, s->data(), static_cast<int>(s->size()),
                                   SQLITE_TRANSIENT);
        else
            rc = sqlite3_bind_null(stmt, index);
        if (rc != SQLITE_OK)
            throw DatabaseError(sqlite3_errmsg(m_db));
    }
}

ResultSet Database::query(const std::string& sql, const std::vector<Value>& params)
{
    sqlite3_stmt* stmt = prepared(sql);
    StatementUse use{stmt};
    bind(stmt, sql, params);

    ResultSet rs;
    const int count = sqlite3_column_count(stmt);
    rs.columns.resize(count);
    for (int c = 0; c < count; ++c) {
        const char* name = sqlite3_column_name(stmt, c);
        rs.columns[c].name = name ? name : "";
    }
    std::vector<int> storage(count, SQLITE_NULL);
    for (int rc = sqlite3_step(stmt); rc != SQLITE_DONE; rc = sqlite3_step(stmt)) {
        if (rc != SQLITE_ROW)
            throw DatabaseError(sqlite3_errmsg(m_db));
        std::vector<Value> row;
        row.reserve(count);
        for (int c = 0; c < count; ++c) {
            const int type = sqlite3_column_type(stmt, c);
            row.push_back(columnValue(stmt, c, type));
            noteStorage(storage[c], type);
        }
        rs.rows.push_back(std::move(row));
    }
    for (int c = 0; c < count; ++c) {
        rs.columns[c].type = storage[c] == SQLITE_NULL
                                 ? typeOfDeclaration(sqlite3_column_decltype(stmt, c))
                                 : typeOfStorage(storage[c]);
        settleColumn(rs, c);
    }
    return rs;
}

Value Database::scalar(const std::string& sql, const std::vector<Value>& params)
{
    auto rs = query(sql, params);
    if (rs.rows.empty() || rs.rows.front().empty())
        return {};
    return rs.rows.front().front();
}

int Database::changes() const
{
    return sqlite3_changes(m_db);
}

void Database::transaction(const std::function<void()>& work)
{
    // Inside an open transaction (a procedure calling a helper that records),
    // a savepoint gives the inner part its own all-or-nothing.
    const bool nested = sqlite3_get_autocommit(m_db) == 0;
    if (nested)
        exec("SAVEPOINT lectora_inner");
    else
        exec("BEGIN IMMEDIATE");
    try {
        work();
    } catch (...) {
        try {
            if (nested)
                exec("ROLLBACK TO lectora_inner; RELEASE lectora_inner");
            else
                exec("ROLLBACK");
        } catch (...) {
            // The original failure is the one worth reporting.
        }
        throw;
    }
    if (nested) {
        exec("RELEASE lectora_inner");
    } else {
        try {
            exec("COMMIT");
        } catch (...) {
            try {
                exec("ROLLBACK");
            } catch (...) {
            }
            throw;
        }
    }
}

} // namespace lectora::server
