#include "server/Journal.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace lectora::server
{

void Journal::openFile(const std::filesystem::path& file)
{
    std::lock_guard lock(m_mutex);
    m_file.close();
    m_file.clear();
    m_file.open(file, std::ios::app | std::ios::binary);
    if (!m_file)
        throw std::runtime_error("cannot open journal file " + file.string() + ": " +
                                 std::strerror(errno));
}

void Journal::closeFile()
{
    std::lock_guard lock(m_mutex);
    m_file.close();
}

void Journal::record(JournalEntry entry)
{
    std::lock_guard lock(m_mutex);
    if (m_file.is_open()) {
        const auto now = std::chrono::system_clock::now();
        const std::time_t t = std::chrono::system_clock::to_time_t(now);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char stamp[40];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms));
        // Flushed per line so that a crash or kill loses at most the line being written.
        m_file << stamp << millis << ' ' << line(entry) << '\n' << std::flush;
    }
    m_entries.push_back(std::move(entry));
    if (m_entries.size() > kMemoryLimit)
        m_entries.pop_front();
}

std::vector<JournalEntry> Journal::entries() const
{
    std::lock_guard lock(m_mutex);
    return {m_entries.begin(), m_entries.end()};
}

void Journal::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

bool Journal::isSecret(std::string_view procedure, std::size_t index)
{
    std::string key = ProcedureRegistry::key(procedure);
    return key == "sp_kvr_persona" && index == 1;
}

namespace
{
std::string quoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        out.push_back(c);
        if (c == '\'')
            out.push_back('\'');
    }
    out.push_back('\'');
    return out;
}
} // namespace

std::string Journal::callText(std::string_view procedure, const std::vector<Value>& args)
{
    std::string out(procedure);
    out += " (";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i)
            out += ", ";
        const Value& v = args[i];
        if (v.isNull())
            out += "NULL";
        else if (std::holds_alternative<std::string>(v.data))
            out += quoted(std::get<std::string>(v.data));
        else
            out += v.toText();
    }
    out += ")";
    return out;
}

std::string Journal::line(const JournalEntry& e)
{
    std::string text;
    // Line breaks inside a batch would break the one-line-per-command file format.
    for (char c : e.text) {
        if (c == '\r')
            continue;
        text += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return e.catalogue + " #" + std::to_string(e.connectionId) + (e.rpc ? " RPC " : " SQL ") + text;
}

} // namespace lectora::server
