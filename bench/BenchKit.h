#pragma once
// What the benchmarks measure with, in one place: percentiles, this process's
// memory and CPU split from /proc, and a bare ODBC client (the driver manager
// loaded at run time, as Qt's plugin does, so no link flags are needed) that
// sends command texts and procedure calls over the same driver as the
// terminal, without Qt and without the data module. Header-only: every bench
// is one .cpp.

#include <QDir>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <map>
#include <sched.h>
#include <sql.h>
#include <sqlext.h>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace bench
{

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

inline double median(const std::vector<double>& v)
{
    return percentile(v, 0.5);
}

// The middle value; of an even count, the upper of the two middle ones.
inline double upperMedian(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:").
inline long procStatusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLong();
    return -1;
}

// CPU ms of the calling thread and of all other threads of the process (the
// in-process stand-in), to tell the terminal's share from the server's.
struct CpuSplit {
    double self = 0, others = 0;
};

inline CpuSplit cpuSplit()
{
    CpuSplit split;
    const QString me = QString::number(gettid());
    const double tick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(QStringLiteral("/proc/self/task/") + tid + QStringLiteral("/stat"));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        const double ms =
            static_cast<double>(fields.value(11).toLong() + fields.value(12).toLong()) * tick;
        (tid == me ? split.self : split.others) += ms;
    }
    return split;
}

// CPU ns of the calling thread, and of the whole process (every thread,
// those that ended included): the difference is the in-process stand-in's
// share, read without going through /proc.
inline std::int64_t cpuNs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct CpuClock {
    std::int64_t self = cpuNs(CLOCK_THREAD_CPUTIME_ID);
    std::int64_t all = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
    // us since this clock was taken: this thread's and the other threads'.
    CpuSplit since() const
    {
        const CpuClock now;
        const double self = static_cast<double>(now.self - this->self) / 1000;
        return {self, static_cast<double>(now.all - all) / 1000 - self};
    }
};

// Pins the calling thread to `selfCpu` and every other thread of the process
// (the in-process stand-in's among them; threads started later inherit their
// starter's) to `othersCpu`; -1 lets the scheduler place them again. Whether
// a connection's server thread shares the client's core or wakes on the
// other changes a command's time more than anything measured beside it, and
// the scheduler keeps whichever it chose for a connection: pinned, every
// connection is placed alike. False when the machine refuses (one core).
inline bool pinThreads(int selfCpu, int othersCpu)
{
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if ((selfCpu >= cpus || othersCpu >= cpus) && (selfCpu >= 0 || othersCpu >= 0))
        return false;
    auto set = [&](pid_t tid, int cpu) {
        cpu_set_t mask;
        CPU_ZERO(&mask);
        for (long c = 0; c < cpus; ++c)
            if (cpu < 0 || c == cpu)
                CPU_SET(c, &mask);
        return sched_setaffinity(tid, sizeof mask, &mask) == 0;
    };
    bool ok = true;
    const pid_t me = gettid();
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const pid_t t = tid.toInt();
        ok = set(t, t == me ? selfCpu : othersCpu) && ok;
    }
    return ok;
}

inline std::string odbcConnectionString(int port, const char* catalogue = "KV_NORDA_PREVENTA")
{
    return "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(port) +
           ";Database=" + catalogue +
           ";UID=sa;PWD=tolvexra;TDS_Version=7.4;ClientCharset=UTF-8;Encryption=off";
}

// The driver manager's entry points.
struct OdbcApi {
    SQLRETURN (*allocHandle)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*) = nullptr;
    SQLRETURN (*setEnvAttr)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER) = nullptr;
    SQLRETURN(*driverConnect)
    (SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*,
     SQLUSMALLINT) = nullptr;
    SQLRETURN (*execDirect)(SQLHSTMT, SQLCHAR*, SQLINTEGER) = nullptr;
    SQLRETURN (*prepare)(SQLHSTMT, SQLCHAR*, SQLINTEGER) = nullptr;
    SQLRETURN(*bindParameter)
    (SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLULEN, SQLSMALLINT,
     SQLPOINTER, SQLLEN, SQLLEN*) = nullptr;
    SQLRETURN (*execute)(SQLHSTMT) = nullptr;
    SQLRETURN (*numResultCols)(SQLHSTMT, SQLSMALLINT*) = nullptr;
    SQLRETURN(*describeCol)
    (SQLHSTMT, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLSMALLINT*, SQLULEN*,
     SQLSMALLINT*, SQLSMALLINT*) = nullptr;
    SQLRETURN (*fetch)(SQLHSTMT) = nullptr;
    SQLRETURN(*getData)
    (SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*) = nullptr;
    SQLRETURN (*moreResults)(SQLHSTMT) = nullptr;
    SQLRETURN (*freeStmt)(SQLHSTMT, SQLUSMALLINT) = nullptr;
    SQLRETURN (*closeCursor)(SQLHSTMT) = nullptr;
    SQLRETURN (*disconnect)(SQLHDBC) = nullptr;
    SQLRETURN (*freeHandle)(SQLSMALLINT, SQLHANDLE) = nullptr;
    SQLRETURN(*getDiagRec)
    (SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*, SQLINTEGER*, SQLCHAR*, SQLSMALLINT,
     SQLSMALLINT*) = nullptr;

    static const OdbcApi& get()
    {
        static const OdbcApi api = [] {
            OdbcApi a;
            void* lib = dlopen("libodbc.so.2", RTLD_NOW);
            if (!lib)
                throw std::runtime_error("libodbc.so.2 not found");
            auto sym = [&](auto& fn, const char* name) {
                fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
                if (!fn)
                    throw std::runtime_error(std::string("missing ") + name);
            };
            sym(a.allocHandle, "SQLAllocHandle");
            sym(a.setEnvAttr, "SQLSetEnvAttr");
            sym(a.driverConnect, "SQLDriverConnect");
            sym(a.execDirect, "SQLExecDirect");
            sym(a.prepare, "SQLPrepare");
            sym(a.bindParameter, "SQLBindParameter");
            sym(a.execute, "SQLExecute");
            sym(a.numResultCols, "SQLNumResultCols");
            sym(a.describeCol, "SQLDescribeCol");
            sym(a.fetch, "SQLFetch");
            sym(a.getData, "SQLGetData");
            sym(a.moreResults, "SQLMoreResults");
            sym(a.freeStmt, "SQLFreeStmt");
            sym(a.closeCursor, "SQLCloseCursor");
            sym(a.disconnect, "SQLDisconnect");
            sym(a.freeHandle, "SQLFreeHandle");
            sym(a.getDiagRec, "SQLGetDiagRec");
            return a;
        }();
        return api;
    }
};

// One bare ODBC connection: a batch text or a {? = call ...} with bound
// parameters, the first row read by column name, every result drained. A
// call's statement is prepared once and kept, as the data module keeps its
// procedure components prepared, so the two are compared doing the same work.
class BareOdbc
{
public:
    // A parameter of call(): text or whole number, input or in/out.
    struct Param {
        enum class Kind { Text, Int, Double } kind = Kind::Text;
        bool output = false;
        std::string text;
        std::int64_t number = 0;
        double real = 0;
        std::size_t size = 0; // buffer size of a text output
        SQLLEN indicator = 0;
        std::vector<char> buffer;

        static Param in(std::string v)
        {
            Param p;
            p.text = std::move(v);
            return p;
        }
        static Param in(std::int64_t v)
        {
            Param p;
            p.kind = Kind::Int;
            p.number = v;
            return p;
        }
        static Param out(Kind kind, std::size_t size = 0)
        {
            Param p;
            p.kind = kind;
            p.output = true;
            p.size = size;
            return p;
        }
    };
    using Row = std::map<std::string, std::string>;

    explicit BareOdbc(const std::string& connectionString) : api(OdbcApi::get())
    {
        api.allocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
        api.setEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        api.allocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
        std::string cs = connectionString;
        if (!SQL_SUCCEEDED(api.driverConnect(m_dbc, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()),
                                             SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
            const std::string why = diagnostics();
            api.freeHandle(SQL_HANDLE_DBC, m_dbc);
            api.freeHandle(SQL_HANDLE_ENV, m_env);
            throw std::runtime_error("bare ODBC: connection refused" + why);
        }
        api.allocHandle(SQL_HANDLE_STMT, m_dbc, &m_stmt);
    }
    ~BareOdbc()
    {
        for (auto& [text, stmt] : m_prepared)
            api.freeHandle(SQL_HANDLE_STMT, stmt);
        if (m_stmt)
            api.freeHandle(SQL_HANDLE_STMT, m_stmt);
        api.disconnect(m_dbc);
        api.freeHandle(SQL_HANDLE_DBC, m_dbc);
        api.freeHandle(SQL_HANDLE_ENV, m_env);
    }
    // What the driver said about the connection, " [number] text" per record.
    std::string diagnostics() const
    {
        std::string out;
        for (SQLSMALLINT i = 1;; ++i) {
            SQLCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLCHAR text[1024] = {};
            SQLSMALLINT length = 0;
            if (!SQL_SUCCEEDED(api.getDiagRec(SQL_HANDLE_DBC, m_dbc, i, state, &native, text,
                                              sizeof text, &length)))
                return out;
            out += " [" + std::to_string(native) + "] " + reinterpret_cast<char*>(text);
        }
    }
    BareOdbc(const BareOdbc&) = delete;
    BareOdbc& operator=(const BareOdbc&) = delete;

    // Runs a batch; returns the first row of the first result set (empty: no row).
    Row exec(const std::string& text, std::size_t* rows = nullptr)
    {
        if (!SQL_SUCCEEDED(api.execDirect(
                m_stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS)))
            throw std::runtime_error("bare ODBC: command failed: " + text);
        return drain(m_stmt, rows);
    }

    // Runs "{? = call procedure(?,...)}" with `params` after the return value;
    // outputs are written back into `params`.
    Row call(const std::string& procedure, std::vector<Param>& params)
    {
        std::string text = "{? = call " + procedure + "(";
        for (std::size_t i = 0; i < params.size(); ++i)
            text += i ? ",?" : "?";
        text += ")}";
        SQLHSTMT& stmt = m_prepared[text];
        if (!stmt) {
            api.allocHandle(SQL_HANDLE_STMT, m_dbc, &stmt);
            if (!SQL_SUCCEEDED(api.prepare(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)))
                throw std::runtime_error("bare ODBC: prepare failed: " + text);
        }
        SQLLEN returnIndicator = 0;
        api.bindParameter(stmt, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0,
                          &m_returnValue, 0, &returnIndicator);
        // Bound as the data module binds them: an output is output only
        // (the server sees NULL), a text output gets room for its size in
        // UTF-8, three bytes a character and the NUL.
        for (std::size_t i = 0; i < params.size(); ++i) {
            Param& p = params[i];
            const SQLSMALLINT io = p.output ? SQL_PARAM_OUTPUT : SQL_PARAM_INPUT;
            const auto n = static_cast<SQLUSMALLINT>(i + 2);
            switch (p.kind) {
            case Param::Kind::Text: {
                if (p.output)
                    p.buffer.assign(3 * p.size + 1, '\0');
                else
                    p.buffer.assign(p.text.begin(), p.text.end());
                const auto bytes = static_cast<SQLULEN>(p.buffer.size());
                p.indicator = static_cast<SQLLEN>(bytes);
                p.buffer.push_back('\0');
                api.bindParameter(stmt, n, io, SQL_C_CHAR,
                                  bytes > 254 ? SQL_LONGVARCHAR : SQL_VARCHAR, bytes, 0,
                                  p.buffer.data(), static_cast<SQLLEN>(bytes), &p.indicator);
                break;
            }
            case Param::Kind::Int:
                p.indicator = p.output ? SQL_NULL_DATA : 0;
                api.bindParameter(stmt, n, io, SQL_C_SBIGINT, SQL_INTEGER, 10, 0, &p.number, 0,
                                  &p.indicator);
                break;
            case Param::Kind::Double:
                p.indicator = p.output ? SQL_NULL_DATA : 0;
                api.bindParameter(stmt, n, io, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &p.real, 0,
                                  &p.indicator);
                break;
            }
        }
        const SQLRETURN rc = api.execute(stmt);
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
            throw std::runtime_error("bare ODBC: call failed: " + procedure);
        Row first = drain(stmt, nullptr);
        for (Param& p : params)
            if (p.output && p.kind == Param::Kind::Text)
                p.text = std::string(p.buffer.data());
        return first;
    }

private:
    Row drain(SQLHSTMT stmt, std::size_t* rowCount)
    {
        Row first;
        bool firstSet = true;
        std::size_t count = 0;
        do {
            SQLSMALLINT columns = 0;
            api.numResultCols(stmt, &columns);
            if (columns == 0)
                continue;
            std::vector<std::string> names;
            for (SQLUSMALLINT c = 1; c <= columns; ++c) {
                SQLCHAR name[128];
                SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
                SQLULEN size = 0;
                api.describeCol(stmt, c, name, sizeof name, &len, &type, &size, &digits, &nullable);
                names.emplace_back(reinterpret_cast<char*>(name));
            }
            while (SQL_SUCCEEDED(api.fetch(stmt))) {
                if (firstSet) {
                    // Read every column of every row, as a grid or a
                    // whole-answer read would.
                    for (SQLUSMALLINT c = 1; c <= columns; ++c) {
                        char value[512];
                        SQLLEN ind = 0;
                        api.getData(stmt, c, SQL_C_CHAR, value, sizeof value, &ind);
                        if (count == 0)
                            first[names[c - 1]] = ind == SQL_NULL_DATA ? "" : value;
                    }
                    ++count;
                }
            }
            firstSet = false;
        } while (SQL_SUCCEEDED(api.moreResults(stmt)));
        api.freeStmt(stmt, SQL_CLOSE);
        if (rowCount)
            *rowCount = count;
        return first;
    }

    const OdbcApi& api;
    SQLHENV m_env = nullptr;
    SQLHDBC m_dbc = nullptr;
    SQLHSTMT m_stmt = nullptr;
    std::map<std::string, SQLHSTMT> m_prepared; // by call text
    SQLINTEGER m_returnValue = 0;
};

} // namespace bench
