#pragma once
// Slows down password guessing per address, across all of its connections:
// the logins from one address are answered one at a time, each failure
// making the gap before the next answer a little longer, up to a few
// seconds, so that parallel connections take turns instead of multiplying
// the rate. A right password waits its turn too, or its quick answer would
// tell it among the slow wrong ones. A success or a quiet quarter of an hour
// forgets the address. It holds nothing back itself: the caller holds the
// answer for the time it is given. Thread-safe.

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace lectora::server
{

class LoginThrottle
{
public:
    // A login from `address` is being checked: how long to hold its answer.
    std::chrono::milliseconds attempt(const std::string& address);
    // It was right: the address starts afresh.
    void succeeded(const std::string& address);
    // Attempts counted for `address` since its last success.
    int failures(const std::string& address) const;

private:
    struct Record {
        int attempts = 0;
        std::chrono::steady_clock::time_point lastTurn; // when the latest answer goes out
        std::chrono::steady_clock::time_point last;     // when the latest attempt came
    };
    mutable std::mutex m_mutex;
    std::map<std::string, Record> m_records;
};

} // namespace lectora::server
