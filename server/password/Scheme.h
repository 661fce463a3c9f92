#pragma once
// One stored form of the operators' passwords. PasswordHash.cpp reads every
// form this build knows and writes the current one; which form is current is
// the build's choice: server/CMakeLists.txt compiles CurrentYescrypt.cpp
// where the system's libcrypt is at hand, CurrentPbkdf2.cpp elsewhere.

#include <string>
#include <string_view>

namespace lectora::server::password
{

struct Scheme {
    bool (*owns)(std::string_view stored);     // `stored` is in this form
    std::string (*make)(std::string_view plain); // a fresh salt each time; throws runtime_error
    bool (*check)(std::string_view plain, std::string_view stored);
};

// "pbkdf2-sha256$ROUNDS$SALT$HASH": the form every data folder made before
// yescrypt holds, and the one written where there is no libcrypt.
const Scheme& pbkdf2();
// The form new hashes are written in.
const Scheme& current();

} // namespace lectora::server::password
