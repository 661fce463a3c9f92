#pragma once
// Operators' passwords as the stand-in stores them: salted and deliberately
// slow to check, so that a copied data folder does not give the passwords
// away. New hashes are yescrypt in the system's "$y$..." format (libcrypt);
// the PBKDF2 form older data folders hold ("pbkdf2-sha256$...") still
// verifies, and a build without libcrypt writes it (server/password/). Not
// for the server's own login, which is not stored.

#include <string>
#include <string_view>

namespace lectora::server::password
{

// A new stored form of `plain` with a fresh random salt, in the current format.
std::string hash(std::string_view plain);
// Whether `plain` is the password `stored` was made from. A stored value
// in no hashed form never matches.
bool matches(std::string_view plain, std::string_view stored);
// Whether `stored` is in a hashed form (older data folders kept plain text).
bool isHashed(std::string_view stored);
// Whether `stored` is in the current format; an older one is written anew
// at the operator's next successful login.
bool isCurrent(std::string_view stored);

} // namespace lectora::server::password
