// "pbkdf2-sha256$ROUNDS$SALT$HASH", salt and hash in hex: a salted,
// deliberately slow PBKDF2-HMAC-SHA256 digest over OpenSSL.
#include "server/password/Scheme.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace lectora::server::password
{

namespace
{

constexpr std::string_view kScheme = "pbkdf2-sha256";
// About 30 ms per check here: harmless for an operator, ruinous for guessing.
constexpr int kRounds = 100000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

std::string hex(const unsigned char* bytes, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::vector<unsigned char> unhex(std::string_view text)
{
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    std::vector<unsigned char> out;
    if (text.size() % 2)
        return {};
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return {};
        out.push_back(static_cast<unsigned char>(hi << 4 | lo));
    }
    return out;
}

std::vector<unsigned char> derive(std::string_view plain, const std::vector<unsigned char>& salt,
                                  int rounds)
{
    std::vector<unsigned char> out(kHashBytes);
    if (PKCS5_PBKDF2_HMAC(plain.data(), static_cast<int>(plain.size()), salt.data(),
                          static_cast<int>(salt.size()), rounds, EVP_sha256(),
                          static_cast<int>(out.size()), out.data()) != 1)
        throw std::runtime_error("cannot derive a password hash");
    return out;
}

struct Parsed {
    int rounds = 0;
    std::vector<unsigned char> salt;
    std::vector<unsigned char> hash;
};

bool parse(std::string_view stored, Parsed& p)
{
    const auto a = stored.find('$');
    const auto b = a == std::string_view::npos ? a : stored.find('$', a + 1);
    const auto c = b == std::string_view::npos ? b : stored.find('$', b + 1);
    if (c == std::string_view::npos || stored.substr(0, a) != kScheme)
        return false;
    const std::string rounds(stored.substr(a + 1, b - a - 1));
    if (rounds.empty() || rounds.size() > 9 ||
        rounds.find_first_not_of("0123456789") != std::string::npos)
        return false;
    p.rounds = std::stoi(rounds);
    p.salt = unhex(stored.substr(b + 1, c - b - 1));
    p.hash = unhex(stored.substr(c + 1));
    return p.rounds > 0 && !p.salt.empty() && p.hash.size() == kHashBytes;
}

bool owns(std::string_view stored)
{
    Parsed p;
    return parse(stored, p);
}

std::string make(std::string_view plain)
{
    std::vector<unsigned char> salt(kSaltBytes);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1)
        throw std::runtime_error("no random bytes for a password salt");
    const auto h = derive(plain, salt, kRounds);
    return std::string(kScheme) + "$" + std::to_string(kRounds) + "$" +
           hex(salt.data(), salt.size()) + "$" + hex(h.data(), h.size());
}

bool check(std::string_view plain, std::string_view stored)
{
    Parsed p;
    if (!parse(stored, p))
        return false;
    const auto h = derive(plain, p.salt, p.rounds);
    return CRYPTO_memcmp(h.data(), p.hash.data(), h.size()) == 0;
}

} // namespace

const Scheme& pbkdf2()
{
    static const Scheme scheme{owns, make, check};
    return scheme;
}

} // namespace lectora::server::password
