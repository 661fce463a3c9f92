#include "server/tds/SecureChannel.h"

#include "server/tds/Wire.h"

#include <optional>
#include <stdexcept>

namespace lectora::server::tds
{

namespace
{
constexpr std::size_t kRecordHeader = 5;
// The largest ciphertext a TLS 1.2 peer may send in one record.
constexpr std::size_t kMaxRecord = 16384 + 2048;

// The length of the whole TLS record at the front of `bytes`, or 0 when the
// header or the body is still incomplete.
std::size_t wholeRecord(std::string_view bytes)
{
    if (bytes.size() < kRecordHeader)
        return 0;
    const auto* h = reinterpret_cast<const unsigned char*>(bytes.data());
    // change_cipher_spec, alert, handshake, application_data; version 3.x
    if (h[0] < 20 || h[0] > 23 || h[1] != 3)
        throw TlsError("clear bytes where a TLS record was expected");
    const std::size_t length = std::size_t(h[3]) << 8 | h[4];
    if (length > kMaxRecord)
        throw TlsError("TLS record longer than the protocol allows");
    return bytes.size() < kRecordHeader + length ? 0 : kRecordHeader + length;
}

// The length of the whole packet at the front of `bytes`, or 0 when the
// header or the body is still incomplete.
std::size_t wholePacket(std::string_view bytes)
{
    const std::optional<wire::PacketHeader> h = wire::readHeader(bytes);
    if (!h)
        return 0;
    if (h->length < kHeaderSize)
        throw ProtocolError("packet length shorter than its header");
    return bytes.size() < h->length ? 0 : h->length;
}
} // namespace

void SecureChannel::startTls(const TlsCredentials& credentials, EncryptionOutcome::Link link)
{
    using Link = EncryptionOutcome::Link;
    if (m_phase != Phase::Clear || (link != Link::LoginOnly && link != Link::Whole))
        throw std::logic_error("TLS started twice or for a clear link");
    m_engine = std::make_unique<TlsEngine>(credentials);
    // A driver that wraps the handshake may hold its TLS 1.3 Finished back
    // and send it inside its first application record (FreeTDS over GnuTLS
    // does); servers of this protocol negotiate TLS 1.2 for it.
    m_engine->capAtTls12();
    m_wholeSession = link == Link::Whole;
    m_phase = Phase::Handshake;
}

void SecureChannel::offerTls(const TlsCredentials& credentials)
{
    startTls(credentials, EncryptionOutcome::Link::Whole);
    m_phase = Phase::Offered;
}

SecureChannel::Received SecureChannel::receive(std::string_view wire)
{
    Received out;
    if (m_phase == Phase::Offered && !wire.empty()) {
        const bool handshake = wire[0] == static_cast<char>(PacketType::PreLogin);
        m_phase = handshake ? Phase::Handshake : Phase::Clear;
        if (!handshake)
            m_engine.reset();
    }
    switch (m_phase) {
    case Phase::Offered:
        break;
    case Phase::Clear:
        out.tds.assign(wire);
        break;
    case Phase::Handshake:
        m_pending.append(wire);
        handshake(out);
        break;
    case Phase::Login:
        m_pending.append(wire);
        loginRecords(out);
        break;
    case Phase::Session:
        out.tds = m_engine->decrypt(wire);
        break;
    }
    return out;
}

void SecureChannel::handshake(Received& out)
{
    // Packet by packet rather than through a packet reader: the bytes after
    // the one that ends the handshake are TLS records, not packets.
    while (!m_pending.empty()) {
        if (m_pending[0] != static_cast<char>(PacketType::PreLogin))
            throw ProtocolError("a packet other than PRELOGIN during the TLS handshake");
        const std::size_t length = wholePacket(m_pending);
        if (length == 0)
            return;
        const bool done = m_engine->handshake(
            std::string_view(m_pending).substr(kHeaderSize, length - kHeaderSize));
        m_pending.erase(0, length);
        if (std::string reply = m_engine->takeOutgoing(); !reply.empty())
            out.toClient += framePackets(PacketType::PreLogin, reply, 0);
        if (done)
            return handshakeDone(out);
    }
}

void SecureChannel::handshakeDone(Received& out)
{
    // Whatever followed the packet that ended the handshake is already
    // records.
    if (m_wholeSession) {
        m_phase = Phase::Session;
        out.tds += m_engine->decrypt(m_pending);
        m_pending.clear();
    } else {
        m_phase = Phase::Login;
        loginRecords(out);
    }
}

void SecureChannel::loginRecords(Received& out)
{
    // Fed one record at a time: the clear stream starts right after the
    // record that completes the login packet, and the engine must not read
    // into it.
    while (const std::size_t n = wholeRecord(m_pending)) {
        m_loginPacket += m_engine->decrypt(std::string_view(m_pending).substr(0, n));
        m_pending.erase(0, n);
        if (wholePacket(m_loginPacket) == 0)
            continue;
        out.tds += m_loginPacket;
        out.tds += m_pending;
        m_loginPacket.clear();
        m_pending.clear();
        m_engine.reset();
        m_phase = Phase::Clear;
        return;
    }
}

std::string SecureChannel::send(std::string_view tds)
{
    switch (m_phase) {
    case Phase::Clear:
    case Phase::Offered:
        return std::string(tds);
    case Phase::Session:
        m_engine->encrypt(tds);
        return m_engine->takeOutgoing();
    case Phase::Handshake:
    case Phase::Login:
        break;
    }
    if (tds.empty())
        return {};
    throw std::logic_error("a reply before the login arrived over TLS");
}

} // namespace lectora::server::tds
