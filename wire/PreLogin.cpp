#include "wire/PreLogin.h"

#include "wire/Packet.h"

namespace lectora::wire
{

namespace
{
constexpr std::size_t kEntrySize = 5;
constexpr int kMostEntries = 64;

std::uint16_t u16be(std::string_view bytes, std::size_t at)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

void putU16be(std::string& out, std::size_t value)
{
    out.push_back(static_cast<char>(value >> 8 & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}
} // namespace

std::vector<PreLoginEntry> readPreLogin(std::string_view payload)
{
    // The whole table is walked so that a garbage PRELOGIN is refused rather
    // than answered.
    std::vector<PreLoginEntry> table;
    std::size_t at = 0;
    for (int n = 0; n < kMostEntries && at < payload.size(); ++n) {
        const auto option = static_cast<std::uint8_t>(payload[at]);
        if (option == OptionTerminator)
            return table;
        if (payload.size() - at < kEntrySize)
            throw ProtocolError("message ends early");
        const PreLoginEntry entry{option, u16be(payload, at + 1), u16be(payload, at + 3)};
        if (std::size_t(entry.offset) + entry.length > payload.size())
            throw ProtocolError("PRELOGIN option beyond the end of the message");
        table.push_back(entry);
        at += kEntrySize;
    }
    throw ProtocolError("PRELOGIN option table not terminated");
}

std::optional<std::uint8_t> encryptionOf(std::string_view payload,
                                         const std::vector<PreLoginEntry>& table)
{
    std::optional<std::uint8_t> encryption;
    for (const PreLoginEntry& e : table)
        if (e.option == OptionEncryption && e.length >= 1)
            encryption = static_cast<std::uint8_t>(payload[e.offset]);
    return encryption;
}

std::string writePreLogin(const std::vector<PreLoginData>& options)
{
    std::string out;
    std::size_t offset = options.size() * kEntrySize + 1;
    for (const PreLoginData& o : options) {
        out.push_back(static_cast<char>(o.option));
        putU16be(out, offset);
        putU16be(out, o.data.size());
        offset += o.data.size();
    }
    out.push_back(static_cast<char>(OptionTerminator));
    for (const PreLoginData& o : options)
        out += o.data;
    return out;
}

std::string preLoginRequest(std::optional<std::uint8_t> encryption)
{
    std::vector<PreLoginData> options{{OptionVersion, std::string(6, '\0')}};
    if (encryption)
        options.push_back({OptionEncryption, std::string(1, static_cast<char>(*encryption))});
    return writePreLogin(options);
}

} // namespace lectora::wire
