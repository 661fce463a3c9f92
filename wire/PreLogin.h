#pragma once
// The PRELOGIN option table, either way: a list of (option, offset, length)
// entries ended by 0xFF, and the options' data after it. Which options a side
// sends and what it makes of the other's are its own business.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lectora::wire
{

enum PreLoginOption : std::uint8_t {
    OptionVersion = 0x00,
    OptionEncryption = 0x01,
    OptionInstance = 0x02,
    OptionThreadId = 0x03,
    OptionMars = 0x04,
    OptionTerminator = 0xFF,
};

// The ENCRYPTION values of PRELOGIN, either way.
enum Encrypt : std::uint8_t {
    EncryptOff = 0x00,          // can encrypt, asks for the login only
    EncryptOn = 0x01,           // asks for the whole session
    EncryptNotSupported = 0x02, // cannot encrypt
    EncryptRequired = 0x03,     // will not go on without
};

struct PreLoginEntry {
    std::uint8_t option = OptionTerminator;
    std::uint16_t offset = 0; // from the start of the payload
    std::uint16_t length = 0;
};

// The table of a PRELOGIN payload, every entry's data within the payload.
// Throws ProtocolError when an entry points past the end, or when no
// terminator comes within the first 64 entries or before the end.
std::vector<PreLoginEntry> readPreLogin(std::string_view payload);
// The first byte of the last non-empty ENCRYPTION entry, if there is one.
std::optional<std::uint8_t> encryptionOf(std::string_view payload,
                                         const std::vector<PreLoginEntry>& table);

struct PreLoginData {
    std::uint8_t option;
    std::string data;
};
// A PRELOGIN payload holding `options` in the order given.
std::string writePreLogin(const std::vector<PreLoginData>& options);
// A client's PRELOGIN: a version (all zeros: none claimed) and, when given,
// the ENCRYPTION it asks for.
std::string preLoginRequest(std::optional<std::uint8_t> encryption = std::nullopt);

} // namespace lectora::wire
