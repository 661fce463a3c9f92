#pragma once
// The two messages that open a session: PRELOGIN, which settles whether TLS
// covers nothing, the login alone or the whole session, and LOGIN7.

#include "wire/PreLogin.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace lectora::server::tds
{

using wire::Encrypt;
using wire::EncryptNotSupported;
using wire::EncryptOff;
using wire::EncryptOn;
using wire::EncryptRequired;

// What the server offers (its --encryption): no TLS at all; TLS for whoever
// can (login-only clients included); or TLS for the whole session, always.
enum class ServerEncryption { Off, On, Required };

struct EncryptionOutcome {
    enum class Link { Clear, LoginOnly, Whole, Refused };
    std::uint8_t answer = EncryptNotSupported; // the server's ENCRYPTION in its reply
    Link link = Link::Clear;
};

// SQL Server's table: both "off" is TLS for the login packet; either side
// "on" or "required" is TLS for the whole session; "required" against
// "not supported" is a refusal. A value this server does not know (client
// certificates among them) is refused too.
EncryptionOutcome negotiateEncryption(ServerEncryption server, std::uint8_t client);

// Checks the option table of a client's PRELOGIN and returns its ENCRYPTION
// value (EncryptNotSupported when it gives none). Throws ProtocolError.
std::uint8_t preLoginEncryption(std::string_view request);
// Our PRELOGIN answer carrying `encryption`.
std::string preLoginAnswer(std::uint8_t encryption);

// What the server acts on; the client's host, program and server names and
// its packet size are read past.
struct Login7 {
    std::uint32_t tdsVersion = 0;
    std::string userName;
    std::string password;
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
