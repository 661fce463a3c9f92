#include "server/tds/Login.h"

#include "server/tds/Wire.h"

namespace lectora::server::tds
{

namespace
{
std::string dropTrailingNul(std::string s)
{
    if (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}
} // namespace

EncryptionOutcome negotiateEncryption(ServerEncryption server, std::uint8_t client)
{
    using Link = EncryptionOutcome::Link;
    if (client > EncryptRequired)
        return {EncryptNotSupported, Link::Refused};
    const bool clientCan = client != EncryptNotSupported;
    const bool clientMust = client == EncryptOn || client == EncryptRequired;
    switch (server) {
    case ServerEncryption::Off:
        return {EncryptNotSupported, clientMust ? Link::Refused : Link::Clear};
    case ServerEncryption::On:
        if (!clientCan)
            return {EncryptNotSupported, Link::Clear};
        return clientMust ? EncryptionOutcome{EncryptOn, Link::Whole}
                          : EncryptionOutcome{EncryptOff, Link::LoginOnly};
    case ServerEncryption::Required:
        return clientCan ? EncryptionOutcome{EncryptOn, Link::Whole}
                         : EncryptionOutcome{EncryptRequired, Link::Refused};
    }
    return {EncryptNotSupported, Link::Refused};
}

std::uint8_t preLoginEncryption(std::string_view request)
{
    return wire::encryptionOf(request, wire::readPreLogin(request)).value_or(EncryptNotSupported);
}

std::string preLoginAnswer(std::uint8_t encryption)
{
    return wire::writePreLogin({
        {wire::OptionVersion, std::string("\x10\x00\x10\x00\x00\x00", 6)},
        {wire::OptionEncryption, std::string(1, static_cast<char>(encryption))},
        {wire::OptionInstance, std::string(1, '\0')},
        {wire::OptionThreadId, std::string()},
        {wire::OptionMars, std::string(1, '\0')},
    });
}

std::string obfuscatePassword(std::string_view utf16)
{
    std::string out(utf16);
    for (auto& c : out) {
        auto b = static_cast<std::uint8_t>(c);
        b = static_cast<std::uint8_t>((b << 4 | b >> 4) ^ 0xA5);
        c = static_cast<char>(b);
    }
    return out;
}

std::string deobfuscatePassword(std::string_view bytes)
{
    std::string out(bytes);
    for (auto& c : out) {
        auto b = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) ^ 0xA5);
        c = static_cast<char>(b << 4 | b >> 4);
    }
    return out;
}

Login7 parseLogin7(std::string_view payload)
{
    Reader in(payload);
    const std::uint32_t length = in.u32le();
    if (length < 94 || length > payload.size())
        throw ProtocolError("LOGIN7 length does not match the message");
    Login7 login;
    login.tdsVersion = in.u32le();
    in.seek(36);
    auto field = [&](bool password = false) {
        const std::uint16_t offset = in.u16le();
        const std::uint16_t chars = in.u16le();
        if (chars == 0)
            return std::string();
        if (std::size_t(offset) + std::size_t(chars) * 2 > length)
            throw ProtocolError("LOGIN7 field beyond the end of the message");
        std::string_view raw = payload.substr(offset, std::size_t(chars) * 2);
        std::string text = password ? utf16leToUtf8(deobfuscatePassword(raw)) : utf16leToUtf8(raw);
        return dropTrailingNul(std::move(text));
    };
    field(); // host name
    login.userName = field();
    login.password = field(true);
    field();    // program name
    field();    // server name
    in.skip(4); // feature extension
    field();    // client library name
    field();    // language
    login.database = field();
    return login;
}

} // namespace lectora::server::tds
