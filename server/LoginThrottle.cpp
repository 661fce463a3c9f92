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

std::chrono::milliseconds LoginThrottle::attempt(const std::string& address)
{
    using namespace std::chrono;
    const auto now = steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (m_records.size() >= kMaxAddresses && !m_records.count(address)) {
        std::erase_if(m_records, [&](const auto& r) { return now - r.second.last > kForget; });
        if (m_records.size() >= kMaxAddresses)
            m_records.clear();
    }
    Record& r = m_records[address];
    if (now - r.last > kForget)
        r = Record{};
    r.last = now;
    ++r.attempts;
    // The first mistake costs nothing: operators mistype. Each answer after
    // it comes a step later than the one before it, whichever connection
    // asked.
    const auto gap = std::min<milliseconds>(kStep * (r.attempts - 1), kMaxDelay);
    const auto turn = r.attempts == 1 ? now : std::max(now, r.lastTurn + gap);
    r.lastTurn = turn;
    return duration_cast<milliseconds>(turn - now);
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
    return it == m_records.end() ? 0 : it->second.attempts;
}

} // namespace lectora::server
