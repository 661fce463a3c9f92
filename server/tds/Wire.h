#pragma once
// Byte-level reading and writing of TDS structures, and the text encodings the
// protocol uses (UTF-16LE for Unicode, code page 1252 for the collation's
// narrow text). Everything above this file works on UTF-8 std::string.

#include "wire/Deframer.h"
#include "wire/Packet.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace lectora::server::tds
{

// Packets, their framing and the error for malformed input are the wire
// unit's, shared with the terminal's link check. The session decides
// whether the connection can go on after a ProtocolError (a bad RPC) or
// must close (broken framing).
using wire::Deframer;
using wire::framePackets;
using wire::kHeaderSize;
using wire::kMaxLoginMessageSize;
using wire::kMaxMessageSize;
using wire::kPacketSize;
using wire::kStatusEndOfMessage;
using wire::kStatusIgnore;
using wire::Message;
using wire::MessageBudget;
using wire::PacketType;
using wire::ProtocolError;

class Reader
{
public:
    explicit Reader(std::string_view data) : m_data(data) {}

    std::size_t pos() const { return m_pos; }
    std::size_t remaining() const { return m_data.size() - m_pos; }
    bool atEnd() const { return m_pos >= m_data.size(); }
    void seek(std::size_t pos);
    void skip(std::size_t n) { bytes(n); }

    std::uint8_t u8();
    std::uint16_t u16le();
    std::uint16_t u16be();
    std::uint32_t u32le();
    std::uint32_t u32be();
    std::uint64_t u64le();
    std::string_view bytes(std::size_t n);
    // `chars` UTF-16 code units, returned as UTF-8.
    std::string utf16(std::size_t chars);
    std::string bVarchar() { return utf16(u8()); }
    std::string usVarchar() { return utf16(u16le()); }

private:
    std::string_view m_data;
    std::size_t m_pos = 0;
};

class Writer
{
public:
    std::string& data() { return m_out; }
    std::size_t size() const { return m_out.size(); }

    void u8(std::uint8_t v) { m_out.push_back(static_cast<char>(v)); }
    void u16le(std::uint16_t v);
    void u16be(std::uint16_t v);
    void u32le(std::uint32_t v);
    void u32be(std::uint32_t v);
    void u64le(std::uint64_t v);
    void bytes(std::string_view b) { m_out.append(b); }
    // Patches a 16-bit little-endian length at `at`.
    void patch16le(std::size_t at, std::uint16_t v);
    // UTF-8 text as UTF-16LE with a one-byte / two-byte character count.
    void bVarchar(std::string_view utf8);
    void usVarchar(std::string_view utf8);

private:
    std::string m_out;
};

// UTF-8 <-> UTF-16LE bytes. Invalid input is replaced (U+FFFD), never rejected:
// a client's odd text must not take a session down.
std::string utf8ToUtf16le(std::string_view utf8);
std::string utf16leToUtf8(std::string_view bytes);
std::size_t utf16Units(std::string_view utf8);
// Code page 1252 <-> UTF-8; characters outside the code page become '?'.
std::string cp1252ToUtf8(std::string_view bytes);
std::string utf8ToCp1252(std::string_view utf8);

} // namespace lectora::server::tds
