#pragma once
// What every connection sent, in order: kept in memory for tests and, when a
// file is named, appended to it one line per command. Secrets never reach
// it: the password argument of the login procedure is masked before an entry
// is made.

#include "server/EmbeddedServer.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lectora::server
{

class Journal
{
public:
    static constexpr const char* kMask = "****";

    // Opens `file` for appending; throws std::runtime_error with a one-line reason.
    void openFile(const std::filesystem::path& file);
    void closeFile();

    void record(JournalEntry entry);
    std::vector<JournalEntry> entries() const;
    void clear();

    // Whether argument `index` (0-based) of `procedure` must never be shown.
    static bool isSecret(std::string_view procedure, std::size_t index);
    // "name ('text', 12, NULL)"
    static std::string callText(std::string_view procedure, const std::vector<Value>& args);
    // The line written to the file for `entry` (without the time stamp).
    static std::string line(const JournalEntry& entry);

private:
    mutable std::mutex m_mutex;
    // The newest entries only: a server that runs for weeks must not keep
    // every command in memory (the file keeps them all).
    static constexpr std::size_t kMemoryLimit = 200000;
    std::deque<JournalEntry> m_entries;
    std::ofstream m_file;
};

} // namespace lectora::server
