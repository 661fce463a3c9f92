#pragma once
// A loopback relay for tests that keeps every byte crossing between a client
// and the server, in both directions, so that a test can look for what went
// over the link in the clear. It is the benchmarks' relay with no delay.
// Asked to, it plays the one on the network who strips the offer of
// encryption from the pre-login exchange, both ways.

#include "bench/DelayRelay.h"
#include "wire/PreLogin.h"

#include <QByteArray>

#include <atomic>
#include <optional>
#include <string_view>

class CaptureRelay
{
public:
    // Listens on an ephemeral loopback port (port()) and forwards to `serverPort`.
    explicit CaptureRelay(int serverPort) : m_relay(serverPort)
    {
        m_relay.setCapture(true);
        m_relay.setRewrite([this](bool, bool first, std::uint8_t* data, std::size_t size) {
            if (first && m_strip)
                stripEncryption(data, size);
        });
    }

    int port() const { return m_relay.port(); }
    QByteArray towardsServer() const { return QByteArray::fromStdString(m_relay.captured(true)); }
    QByteArray towardsClient() const { return QByteArray::fromStdString(m_relay.captured(false)); }
    // Whether `bytes` crossed whole in either direction.
    bool crossed(const QByteArray& bytes) const
    {
        return towardsServer().contains(bytes) || towardsClient().contains(bytes);
    }
    // Logins sent towards the server so far, in clear or in the TLS records
    // that follow a handshake (a login is the first thing a client encrypts).
    std::uint64_t logins() const
    {
        constexpr std::uint8_t kLogin7 = 0x10;
        return m_relay.requests(kLogin7) + m_relay.encryptedRequests();
    }
    // From the next connection on, both pre-login messages say "encryption
    // not supported".
    void stripEncryptionOffer(bool on) { m_strip = on; }

private:
    // The ENCRYPTION option of a PRELOGIN packet that came whole.
    static void stripEncryption(std::uint8_t* data, std::size_t size)
    {
        using namespace lectora::wire;
        const std::string_view bytes(reinterpret_cast<const char*>(data), size);
        const std::optional<PacketHeader> header = readHeader(bytes);
        if (!header || header->type != std::uint8_t(PacketType::PreLogin))
            return;
        const std::string_view payload = bytes.substr(kHeaderSize);
        try {
            for (const PreLoginEntry& e : readPreLogin(payload))
                if (e.option == OptionEncryption && e.length >= 1)
                    data[kHeaderSize + e.offset] = EncryptNotSupported;
        } catch (const ProtocolError&) {
            // Not a table this relay can read: it goes on untouched.
        }
    }

    std::atomic<bool> m_strip{false};
    bench::DelayRelay m_relay;
};
