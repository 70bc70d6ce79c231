// What the back-end serves and how it misbehaves, rebuilt as a whole from the command
// line, the property-set files and the control file at start and on every SIGHUP.
// Connections take an immutable snapshot per exchange, so a reload never tears one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "properties.h"

namespace quon_backend {

// Faults the back-end can inject, for one request (the "fault" query parameter) or for
// the whole server (the "fault" and "props-fault" settings).
enum class Fault {
    None,
    Busy,             // answer PROXY_BUSY
    UnknownCode,      // send a message code the protocol does not have, then close
    CloseMidString,   // start a PROXY_PUT_CLIENT string and close before its end
    CloseBeforeCode,  // close after the request without sending any code
    NeverAnswer,      // read the request and send nothing until the peer gives up
    CloseIdle,        // answer, then close the connection once it is idle
    Refuse,           // server-wide only: close the listening sockets
    // Hostile answers: the connector must end the exchange (or Apache refuse the answer)
    // and keep serving.
    Garbage,           // bytes that are no command, then silence until the peer closes
    HugeLength,        // status, then a header block announcing 2147483647 bytes
    NegativeLength,    // status, then a header block announcing -5 bytes
    CrlfHeader,        // a header whose value (or name) holds CR LF
    BadStatus,         // a status outside 100-999 (the "code" parameter, default 1000)
    EndlessHeaders,    // PROXY_PUT_HEADER blocks until the peer gives up
    PauseMidResponse,  // the first body piece, a pause of "ms" milliseconds, the rest
};

std::optional<Fault> parseFault(std::string_view name);
const char* faultName(Fault fault);

struct Settings {
    PropertyList propertySets;  // set name -> text, sent byte for byte
    std::string repId;          // "rep_id" of the server-props set
    std::optional<int32_t> clusterSeq;
    std::optional<int32_t> loadValue;
    std::vector<std::string> buddies;  // 4-character ids
    Fault fault = Fault::None;         // for request exchanges
    Fault propsFault = Fault::None;    // for props exchanges
    int32_t faultCount = -1;           // exchanges left to fail; -1: all
    int32_t propsFaultCount = -1;
    int32_t idleTimeoutMs = 0;

    // The text of a property set, or null when the server has no such set.
    const std::string* propertySet(std::string_view name) const {
        return findProperty(propertySets, name);
    }
};

// The name of the property set that lists the cluster's members.
inline constexpr std::string_view kMemberSet = "clustered-servers";

// The member list of a server started without one: itself alone, "repId=address", as a
// standalone server names itself. A rep_id that property text cannot carry as a key
// (empty, with '=' or a control character, or starting with '#') gives way to "self".
std::string ownMemberList(std::string_view repId, std::string_view address);

// Applies one run-time setting by its name ("cluster-seq", "fault", ...).
bool applySetting(Settings& settings, const Property& setting, std::string& error);

class SettingsStore {
public:
    explicit SettingsStore(const Options& options) : options_(options) {}

    // Builds new settings and publishes them; what could not be applied is described in
    // `problems` and left at its default.
    void reload(std::vector<std::string>& problems);
    std::shared_ptr<const Settings> current() const;

    // Whether the server-wide fault of request (or props) exchanges hits this exchange;
    // a limited fault is used up one exchange at a time.
    bool takeFault(bool props);

private:
    const Options& options_;
    mutable std::mutex mutex_;
    std::shared_ptr<const Settings> current_ = std::make_shared<Settings>();
    std::atomic<int32_t> faultsLeft_{-1};
    std::atomic<int32_t> propsFaultsLeft_{-1};
};

}  // namespace quon_backend
