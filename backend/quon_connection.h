// One connection of the binary protocol: pings, props exchanges and request exchanges,
// one after the other, until the peer closes or sends something the server cannot read.
#pragma once

namespace quon_backend {

class ConnectionSlot;
struct ServerContext;

void serveQuonConnection(ConnectionSlot& slot, ServerContext& server);

}  // namespace quon_backend
