#pragma once
// The socket side of a connection: reads whole request messages off a
// connected socket, hands each to the session and writes its reply back.
// The session itself never touches the socket.

#include "server/tds/Session.h"

namespace lectora::server::tds
{

// Serves `fd` until the peer leaves, the session closes or the socket is shut down.
void servePackets(int fd, Session& session);

} // namespace lectora::server::tds
