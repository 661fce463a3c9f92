#pragma once
// The two messages that open a session: PRELOGIN (we answer that encryption
// is not supported, so the client goes on in clear) and LOGIN7.

#include <cstdint>
#include <string>
#include <string_view>

namespace lectora::server::tds
{

// Checks the option table of a client's PRELOGIN and builds our answer.
std::string preLoginReply(std::string_view request);

struct Login7 {
    std::uint32_t tdsVersion = 0;
    std::uint32_t packetSize = 0;
    std::string hostName;
    std::string userName;
    std::string password;
    std::string appName;
    std::string serverName;
    std::string database;
};

// Parses LOGIN7 and undoes the password's obfuscation. One trailing NUL is
// dropped from each string: some clients send it with the last value of
// their connection string.
Login7 parseLogin7(std::string_view payload);

// The obfuscation is its own inverse once the XOR and nibble swap are undone;
// both directions are here for the tests.
std::string obfuscatePassword(std::string_view utf16);
std::string deobfuscatePassword(std::string_view bytes);

} // namespace lectora::server::tds
