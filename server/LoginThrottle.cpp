#include "server/LoginThrottle.h"

#include <algorithm>

namespace lectora::server
{

namespace
{
constexpr auto kStep = std::chrono::milliseconds(100);
constexpr auto kMaxDelay = std::chrono::milliseconds(3000);
constexpr auto kForget = std::chrono::minutes(15);
// Addresses remembered at most; a flood of distinct ones starts afresh.
constexpr std::size_t kMaxAddresses = 4096;
} // namespace

std::chrono::milliseconds LoginThrottle::failed(const std::string& address)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (m_records.size() >= kMaxAddresses && !m_records.count(address)) {
        std::erase_if(m_records, [&](const auto& r) { return now - r.second.last > kForget; });
        if (m_records.size() >= kMaxAddresses)
            m_records.clear();
    }
    Record& r = m_records[address];
    if (now - r.last > kForget)
        r.failures = 0;
    r.last = now;
    ++r.failures;
    // The first mistake costs nothing: operators mistype.
    return std::min<std::chrono::milliseconds>(kStep * (r.failures - 1), kMaxDelay);
}

void LoginThrottle::succeeded(const std::string& address)
{
    std::lock_guard lock(m_mutex);
    m_records.erase(address);
}

int LoginThrottle::failures(const std::string& address) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_records.find(address);
    return it == m_records.end() ? 0 : it->second.failures;
}

} // namespace lectora::server
