// Faults the back-end can inject, for one request (the "fault" query parameter) or for
// the whole server (the "fault" and "props-fault" settings).
#pragma once

#include <optional>
#include <string_view>

namespace quon_backend {

enum class Fault {
    None,
    Busy,             // answer PROXY_BUSY
    UnknownCode,      // send a message code the protocol does not have, then close
    CloseMidString,   // start a PROXY_PUT_CLIENT string and close before its end
    CloseBeforeCode,  // close after the request without sending any code
    NeverAnswer,      // read the request and send nothing until the peer gives up
    CloseIdle,        // answer, then close the connection once it is idle
    Refuse,           // server-wide only: close the listening sockets
};

std::optional<Fault> parseFault(std::string_view name);
const char* faultName(Fault fault);

}  // namespace quon_backend
