#include "settings.h"

#include <array>
#include <utility>

namespace quon_backend {
namespace {

constexpr std::array<std::pair<Fault, const char*>, 15> kFaultNames{{
    {Fault::None, "none"},
    {Fault::Busy, "busy"},
    {Fault::UnknownCode, "unknown-code"},
    {Fault::CloseMidString, "close-mid-string"},
    {Fault::CloseBeforeCode, "close-before-code"},
    {Fault::NeverAnswer, "never-answer"},
    {Fault::CloseIdle, "close-idle"},
    {Fault::Refuse, "refuse"},
    {Fault::Garbage, "garbage"},
    {Fault::HugeLength, "huge-length"},
    {Fault::NegativeLength, "negative-length"},
    {Fault::CrlfHeader, "crlf-header"},
    {Fault::BadStatus, "bad-status"},
    {Fault::EndlessHeaders, "endless-headers"},
    {Fault::PauseMidResponse, "pause-mid-response"},
}};

bool setInt(std::optional<int32_t>& field, const std::string& value) {
    if (value.empty()) {
        field.reset();
        return true;
    }
    int32_t n = 0;
    if (!parseInt32(value, n)) return false;
    field = n;
    return true;
}

bool setCount(int32_t& field, const std::string& value, int32_t least) {
    int32_t n = 0;
    if (!parseInt32(value, n) || n < least) return false;
    field = n;
    return true;
}

bool setFault(Fault& field, const std::string& value) {
    std::optional<Fault> fault = parseFault(value);
    if (!fault) return false;
    field = *fault;
    return true;
}

bool setBuddies(std::vector<std::string>& buddies, const std::string& value) {
    buddies.clear();
    size_t start = 0;
    while (start < value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        if (comma - start != 4) return false;
        buddies.push_back(value.substr(start, 4));
        start = comma + 1;
    }
    return true;
}

// A key that parsePropertyText reads back whole: printable, no '=', no leading '#'.
bool usableKey(std::string_view key) {
    if (key.empty() || key.front() == '#') return false;
    for (char c : key)
        if (c == '=' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

bool applyKnown(Settings& s, const Property& p) {
    const std::string& k = p.key;
    if (k == "cluster-seq") return setInt(s.clusterSeq, p.value);
    if (k == "load-value") return setInt(s.loadValue, p.value);
    if (k == "buddies") return setBuddies(s.buddies, p.value);
    if (k == "fault") return setFault(s.fault, p.value);
    if (k == "props-fault") return setFault(s.propsFault, p.value);
    if (k == "fault-count") return setCount(s.faultCount, p.value, -1);
    if (k == "props-fault-count") return setCount(s.propsFaultCount, p.value, -1);
    if (k == "idle-timeout-ms") return setCount(s.idleTimeoutMs, p.value, 0);
    return false;
}

}  // namespace

std::optional<Fault> parseFault(std::string_view name) {
    if (name.empty()) return Fault::None;
    for (const auto& [fault, text] : kFaultNames)
        if (name == text) return fault;
    return std::nullopt;
}

const char* faultName(Fault fault) {
    for (const auto& [f, text] : kFaultNames)
        if (f == fault) return text;
    return "?";
}

std::string ownMemberList(std::string_view repId, std::string_view address) {
    std::string text(usableKey(repId) ? repId : "self");
    text += '=';
    text += address;
    text += '\n';
    return text;
}

bool applySetting(Settings& settings, const Property& setting, std::string& error) {
    static constexpr const char* kKnown[] = {
        "cluster-seq", "load-value",  "buddies",           "fault",
        "props-fault", "fault-count", "props-fault-count", "idle-timeout-ms",
    };
    bool known = false;
    for (const char* k : kKnown) known = known || setting.key == k;
    if (!known) {
        error = "unknown setting " + setting.key;
        return false;
    }
    Settings candidate = settings;
    if (!applyKnown(candidate, setting)) {
        error = "bad value for " + setting.key + ": " + setting.value;
        return false;
    }
    settings = std::move(candidate);
    return true;
}

void SettingsStore::reload(std::vector<std::string>& problems) {
    auto fresh = std::make_shared<Settings>();
    std::string error;
    for (const Property& file : options_.propertyFiles) {
        std::string text;
        if (loadPropertyFile(file.value, text, error))
            fresh->propertySets.push_back({file.key, std::move(text)});
        else
            problems.push_back(error);
    }
    if (const std::string* props = fresh->propertySet("server-props")) {
        const PropertyList parsed = parsePropertyText(*props);
        if (const std::string* repId = findProperty(parsed, "rep_id")) fresh->repId = *repId;
    }
    PropertyList settings = options_.settingDefaults;
    if (!options_.controlFile.empty()) {
        std::string text;
        if (loadPropertyFile(options_.controlFile, text, error)) {
            for (Property& p : parsePropertyText(text)) settings.push_back(std::move(p));
        } else {
            problems.push_back(error);
        }
    }
    for (const Property& setting : settings)
        if (!applySetting(*fresh, setting, error)) problems.push_back(error);

    std::lock_guard lock(mutex_);
    faultsLeft_ = fresh->faultCount;
    propsFaultsLeft_ = fresh->propsFaultCount;
    current_ = std::move(fresh);
}

std::shared_ptr<const Settings> SettingsStore::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

bool SettingsStore::takeFault(bool props) {
    std::atomic<int32_t>& left = props ? propsFaultsLeft_ : faultsLeft_;
    int32_t n = left.load();
    for (;;) {
        if (n < 0) return true;
        if (n == 0) return false;
        if (left.compare_exchange_weak(n, n - 1)) return true;
    }
}

}  // namespace quon_backend
