#include "faults.h"

#include <array>
#include <utility>

namespace quon_backend {
namespace {

constexpr std::array<std::pair<Fault, const char*>, 8> kNames{{
    {Fault::None, "none"},
    {Fault::Busy, "busy"},
    {Fault::UnknownCode, "unknown-code"},
    {Fault::CloseMidString, "close-mid-string"},
    {Fault::CloseBeforeCode, "close-before-code"},
    {Fault::NeverAnswer, "never-answer"},
    {Fault::CloseIdle, "close-idle"},
    {Fault::Refuse, "refuse"},
}};

}  // namespace

std::optional<Fault> parseFault(std::string_view name) {
    if (name.empty()) return Fault::None;
    for (const auto& [fault, text] : kNames)
        if (name == text) return fault;
    return std::nullopt;
}

const char* faultName(Fault fault) {
    for (const auto& [f, text] : kNames)
        if (f == fault) return text;
    return "?";
}

}  // namespace quon_backend
