// New hashes in the system's own format: yescrypt through libcrypt, the
// "$y$..." text of /etc/shadow, at libcrypt's default cost. Any tool that
// reads a password file can check them.
#include "server/password/Scheme.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <memory>
#include <stdexcept>

namespace lectora::server::password
{

namespace
{

constexpr std::string_view kPrefix = "$y$";

bool owns(std::string_view stored)
{
    return stored.substr(0, kPrefix.size()) == kPrefix;
}

// crypt() reads C strings: a password holding a NUL would be cut there.
std::string run(std::string_view plain, const char* setting)
{
    auto data = std::make_unique<crypt_data>(); // large, and must start zeroed
    const char* out = crypt_rn(std::string(plain).c_str(), setting, data.get(), sizeof *data);
    // A failure gives null or a text starting with '*', never a hash.
    return out && owns(out) ? std::string(out) : std::string();
}

std::string make(std::string_view plain)
{
    if (plain.find('\0') != std::string_view::npos)
        throw std::runtime_error("a password cannot hold a NUL character");
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(kPrefix.data(), 0, nullptr, 0, setting, sizeof setting))
        throw std::runtime_error("no yescrypt salt from libcrypt");
    std::string hashed = run(plain, setting);
    if (hashed.empty())
        throw std::runtime_error("libcrypt cannot hash a password with yescrypt");
    return hashed;
}

bool check(std::string_view plain, std::string_view stored)
{
    if (plain.find('\0') != std::string_view::npos || stored.find('\0') != std::string_view::npos)
        return false;
    const std::string again = run(plain, std::string(stored).c_str());
    return !again.empty() && again.size() == stored.size() &&
           CRYPTO_memcmp(again.data(), stored.data(), again.size()) == 0;
}

} // namespace

const Scheme& current()
{
    static const Scheme yescrypt{owns, make, check};
    return yescrypt;
}

} // namespace lectora::server::password
