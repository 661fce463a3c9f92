#include "server/PasswordHash.h"

#include "server/password/Scheme.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <map>
#include <mutex>

namespace lectora::server::password
{

namespace
{

const Scheme* schemeOf(std::string_view stored)
{
    for (const Scheme* s : {&current(), &pbkdf2()}) {
        if (s->owns(stored))
            return s;
    }
    return nullptr;
}

// The last password that matched each stored hash, as a plain digest: the
// same operator logging in again costs one SHA-256, while every wrong guess
// still pays the whole derivation.
std::mutex verifiedMutex;
std::map<std::string, std::string, std::less<>> verified;

std::string quickDigest(std::string_view stored, std::string_view plain)
{
    unsigned char d[SHA256_DIGEST_LENGTH];
    const std::string input = std::string(stored) + '\0' + std::string(plain);
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), d);
    return std::string(reinterpret_cast<const char*>(d), sizeof d);
}

} // namespace

std::string hash(std::string_view plain)
{
    return current().make(plain);
}

bool isHashed(std::string_view stored)
{
    return schemeOf(stored) != nullptr;
}

bool isCurrent(std::string_view stored)
{
    return current().owns(stored);
}

bool matches(std::string_view plain, std::string_view stored)
{
    const Scheme* scheme = schemeOf(stored);
    if (!scheme)
        return false;
    const std::string quick = quickDigest(stored, plain);
    {
        std::lock_guard lock(verifiedMutex);
        auto it = verified.find(stored);
        if (it != verified.end() &&
            CRYPTO_memcmp(it->second.data(), quick.data(), quick.size()) == 0)
            return true;
    }
    if (!scheme->check(plain, stored))
        return false;
    std::lock_guard lock(verifiedMutex);
    // Bounded: one entry per operator who logged in, dropped wholesale if a
    // flood of distinct accounts ever fills it.
    if (verified.size() > 10000)
        verified.clear();
    verified[std::string(stored)] = quick;
    return true;
}

} // namespace lectora::server::password
