#pragma once
// The socket side of a connection: reads whole request messages off a
// connected socket, hands each to the session and writes its reply back.
// The session itself never touches the socket. No wait on the socket is
// without its limit: a connection that has not logged in by its deadline,
// or a logged-in one quiet for longer than its idle limit, is closed.

#include "platform/Net.h"
#include "server/tds/Session.h"

#include <chrono>
#include <functional>

namespace lectora::server::tds
{

struct LinkLimits {
    // The login must be accepted by then; max(): no deadline.
    std::chrono::steady_clock::time_point loginBy = std::chrono::steady_clock::time_point::max();
    // A logged-in session that sends and takes nothing this long is closed; 0: never.
    std::chrono::seconds idle{0};
    // Called once, as soon as the login is accepted.
    std::function<void()> loggedIn;
    // The largest request a logged-in client may send; past it (or past
    // the budget every connection shares) its request is refused and the
    // rest of it dropped as it arrives.
    std::size_t maxMessage = kMaxMessageSize;
    MessageBudget* budget = nullptr;
};

// Serves `fd` until the peer leaves, the session closes, a limit runs out
// or the socket is shut down.
void servePackets(net::Socket fd, Session& session, const LinkLimits& limits = {});

} // namespace lectora::server::tds
