// One keep-alive connection of the HTTP/1.1 port: the same application as the binary
// protocol, request after request.
#pragma once

namespace quon_backend {

class ConnectionSlot;
struct ServerContext;

void serveHttpConnection(ConnectionSlot& slot, ServerContext& server);

}  // namespace quon_backend
