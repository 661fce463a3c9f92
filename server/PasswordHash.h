#pragma once
// Operators' passwords as the stand-in stores them: a salted, deliberately
// slow PBKDF2-HMAC-SHA256 digest in one text ("pbkdf2-sha256$ROUNDS$SALT$HASH",
// salt and hash in hex), so that a copied data folder does not give the
// passwords away. Not for the server's own login, which is not stored.

#include <string>
#include <string_view>

namespace lectora::server::password
{

// A new stored form of `plain` with a fresh random salt.
std::string hash(std::string_view plain);
// Whether `plain` is the password `stored` was made from. A stored value
// that is not in the hashed form never matches.
bool matches(std::string_view plain, std::string_view stored);
// Whether `stored` is in the hashed form (older data folders kept plain text).
bool isHashed(std::string_view stored);

} // namespace lectora::server::password
