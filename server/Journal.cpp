#include "server/Journal.h"

#include "platform/Files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <stdexcept>

namespace lectora::server
{

namespace
{

// What an entry holds on the heap, near enough to budget by.
std::size_t footprint(const JournalEntry& e)
{
    std::size_t n =
        sizeof(JournalEntry) + e.text.capacity() + e.procedure.capacity() + e.catalogue.capacity();
    for (const Value& v : e.args) {
        n += sizeof(Value);
        if (const auto* s = std::get_if<std::string>(&v.data))
            n += s->capacity();
    }
    return n;
}

std::string stamp()
{
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss time(now - day);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

} // namespace

void Journal::openFile(const std::filesystem::path& file, std::uintmax_t limit, int files)
{
    std::lock_guard lock(m_mutex);
    m_path = file;
    m_fileLimit = limit;
    m_files = std::max(1, files);
    openLocked();
}

void Journal::openLocked()
{
    m_file.close();
    m_file.clear();
    // Created private, and made private if an older version left it open to all.
    try {
        files::createPrivate(m_path);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot open journal file " + m_path.string() + ": " + e.what());
    }
    std::error_code ec;
    m_fileSize = std::filesystem::file_size(m_path, ec);
    if (ec)
        m_fileSize = 0;
    m_file.open(m_path, std::ios::app | std::ios::binary);
    if (!m_file)
        throw std::runtime_error("cannot open journal file " + m_path.string() + ": " +
                                 std::strerror(errno));
}

void Journal::rotateLocked()
{
    m_file.close();
    files::rotateNumbered(m_path, m_files);
    try {
        openLocked();
    } catch (const std::exception&) {
        // A journal that cannot be reopened stops; the server goes on serving.
        m_file.close();
    }
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
        if (m_fileLimit > 0 && m_fileSize >= m_fileLimit)
            rotateLocked();
        const std::string text = stamp() + ' ' + line(entry) + '\n';
        // Flushed per line so that a crash or kill loses at most the line being written.
        m_file << text << std::flush;
        m_fileSize += text.size();
    }
    const std::size_t size = footprint(entry);
    m_entries.emplace_back(std::move(entry), size);
    m_memoryUsed += size;
    // The newest entry stays even when it alone is over the budget.
    while (m_memoryUsed > m_memoryLimit && m_entries.size() > 1) {
        m_memoryUsed -= m_entries.front().second;
        m_entries.pop_front();
    }
}

std::vector<JournalEntry> Journal::entries() const
{
    std::lock_guard lock(m_mutex);
    std::vector<JournalEntry> out;
    out.reserve(m_entries.size());
    for (const auto& [e, size] : m_entries)
        out.push_back(e);
    return out;
}

void Journal::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
    m_memoryUsed = 0;
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
