#pragma once
// The two requests that open a session, built as a TDS client builds them, for
// the protocol tests and the fuzz targets that feed a session without a socket.
// Payloads only: the caller frames them or hands them to the session whole.

#include "server/tds/Login.h"
#include "server/tds/Tokens.h"
#include "server/tds/Wire.h"
#include "wire/PreLogin.h"

#include <cstdint>
#include <string>

// PRELOGIN comes from the wire unit, as the terminal's link check sends it.
using lectora::wire::preLoginRequest;

// A LOGIN7 for `user` and `password` asking for `database` ("" for the
// login's default), with the password obfuscated as clients send it.
inline std::string login7Request(const std::string& user, const std::string& password,
                                 const std::string& database = {},
                                 std::uint32_t version = lectora::server::tds::kTds74)
{
    using namespace lectora::server::tds;
    const std::string fields[] = {
        utf8ToUtf16le("host"), utf8ToUtf16le(user),    obfuscatePassword(utf8ToUtf16le(password)),
        utf8ToUtf16le("app"),  utf8ToUtf16le("srv"),   utf8ToUtf16le("lib"),
        utf8ToUtf16le(""),     utf8ToUtf16le(database)};
    Writer w;
    w.u32le(0); // length, patched below
    w.u32le(version);
    w.u32le(4096);
    for (int i = 0; i < 6; ++i)
        w.u32le(0);
    std::uint16_t offset = 94;
    auto field = [&](const std::string& f) {
        w.u16le(offset);
        w.u16le(static_cast<std::uint16_t>(f.size() / 2));
        offset = static_cast<std::uint16_t>(offset + f.size());
    };
    for (int i = 0; i < 5; ++i)
        field(fields[i]);
    w.u32le(0); // feature extension
    field(fields[5]);
    field(fields[6]);
    field(fields[7]);
    w.bytes(std::string(6, '\0')); // client id
    w.u32le(0);                    // sspi
    w.u32le(0);                    // attach file
    w.u32le(0);                    // change password
    w.u32le(0);                    // long sspi
    for (const auto& f : fields)
        w.bytes(f);
    std::string out = std::move(w.data());
    const auto n = static_cast<std::uint32_t>(out.size());
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>(n >> (8 * i));
    return out;
}
