#pragma once
// What every connection sent, in order: the newest entries kept in memory
// (for tests) and, when a file is named, appended to it one line per command.
// Both are bounded in bytes: memory keeps what fits in its budget, and the
// file, once over its limit, is renamed to FILE.1 (the older ones moving to
// FILE.2 and on, the oldest past the number kept deleted) and started afresh. Secrets never reach
// it: the session masks every argument a procedure declares secret before an entry is made.

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
    static constexpr std::uintmax_t kDefaultFileLimit = 64u << 20;
    static constexpr std::size_t kDefaultMemoryLimit = 8u << 20;

    explicit Journal(std::size_t memoryLimit = kDefaultMemoryLimit) : m_memoryLimit(memoryLimit) {}

    // Opens `file` for appending (readable by its owner only), rotating it
    // once it grows past `limit` bytes and keeping `files` rotated ones;
    // throws std::runtime_error with a one-line reason.
    void openFile(const std::filesystem::path& file, std::uintmax_t limit = kDefaultFileLimit,
                  int files = 5);
    void closeFile();

    void record(JournalEntry entry);
    std::vector<JournalEntry> entries() const;
    void clear();

    // "name ('text', 12, NULL)"
    static std::string callText(std::string_view procedure, const std::vector<Value>& args);
    // The line written to the file for `entry` (without the time stamp).
    static std::string line(const JournalEntry& entry);

private:
    void openLocked();
    void rotateLocked();

    mutable std::mutex m_mutex;
    std::size_t m_memoryLimit;
    std::size_t m_memoryUsed = 0;
    std::deque<std::pair<JournalEntry, std::size_t>> m_entries; // with its size in bytes
    std::filesystem::path m_path;
    std::uintmax_t m_fileLimit = kDefaultFileLimit;
    std::uintmax_t m_fileSize = 0;
    int m_files = 5;
    std::ofstream m_file;
};

} // namespace lectora::server
