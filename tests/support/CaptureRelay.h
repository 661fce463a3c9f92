#pragma once
// A loopback relay for tests that keeps every byte crossing between a client
// and the server, in both directions, so that a test can look for what went
// over the link in the clear. It is the benchmarks' relay with no delay.

#include "bench/DelayRelay.h"

#include <QByteArray>

class CaptureRelay
{
public:
    // Listens on an ephemeral loopback port (port()) and forwards to `serverPort`.
    explicit CaptureRelay(int serverPort) : m_relay(serverPort) { m_relay.setCapture(true); }

    int port() const { return m_relay.port(); }
    QByteArray towardsServer() const { return QByteArray::fromStdString(m_relay.captured(true)); }
    QByteArray towardsClient() const { return QByteArray::fromStdString(m_relay.captured(false)); }
    // Whether `bytes` crossed whole in either direction.
    bool crossed(const QByteArray& bytes) const
    {
        return towardsServer().contains(bytes) || towardsClient().contains(bytes);
    }

private:
    bench::DelayRelay m_relay;
};
