#pragma once
// Slows down password guessing: each failed login from an address makes the
// next answer to that address wait a little longer, up to a few seconds; a
// success or a quiet quarter of an hour forgets the address. Thread-safe.

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace lectora::server
{

class LoginThrottle
{
public:
    // Records a failure from `address`; returns how long to hold the answer.
    std::chrono::milliseconds failed(const std::string& address);
    void succeeded(const std::string& address);
    // Failures counted for `address` so far.
    int failures(const std::string& address) const;

private:
    struct Record {
        int failures = 0;
        std::chrono::steady_clock::time_point last;
    };
    mutable std::mutex m_mutex;
    std::map<std::string, Record> m_records;
};

} // namespace lectora::server
