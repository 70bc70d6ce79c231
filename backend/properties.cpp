#include "properties.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quon_backend {
namespace {

constexpr char kCtrlZ = 0x1A;

bool isLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// Copies a raw value: a backslash or a CR is dropped and the character after it is
// copied unchanged; a trailing one with nothing after it disappears.
std::string decodeValue(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' || raw[i] == '\r') {
            if (++i < raw.size()) out.push_back(raw[i]);
        } else {
            out.push_back(raw[i]);
        }
    }
    return out;
}

}  // namespace

PropertyList parsePropertyText(std::string_view text) {
    PropertyList list;
    const size_t n = text.size();
    size_t i = 0;
    auto at = [&](size_t k) { return k < n ? text[k] : '\0'; };
    for (;;) {
        while (at(i) == '\r' || at(i) == '\n') ++i;
        if (at(i) == '\0' || at(i) == kCtrlZ) break;
        if (at(i) == '#') {
            size_t lf = text.find('\n', i);
            if (lf == std::string_view::npos) break;
            i = lf + 1;
            continue;
        }
        // The first character belongs to the key even when it is '='.
        const size_t keyStart = i++;
        while (at(i) != '=' && !isLineEnd(at(i))) ++i;
        if (at(i) == '\0') break;
        if (at(i) != '=') continue;
        std::string key(text.substr(keyStart, i - keyStart));
        const size_t valueStart = ++i;
        while (!isLineEnd(at(i))) ++i;
        size_t rawEnd = i;
        bool textEnds = false;
        if (at(i) == '\0') {
            textEnds = true;
        } else if (at(i) == '\n') {
            ++i;
        } else {
            // A CR and every CR right after it stay in the raw value; the one character
            // after them ends the line, whatever it is.
            while (at(i) == '\r') ++i;
            rawEnd = i;
            if (at(i) == '\0')
                textEnds = true;
            else
                ++i;
        }
        list.push_back({std::move(key), decodeValue(text.substr(valueStart, rawEnd - valueStart))});
        if (textEnds || at(i) == '\0') break;
    }
    return list;
}

const std::string* findProperty(const PropertyList& list, std::string_view key) {
    for (const Property& p : list)
        if (p.key == key) return &p.value;
    return nullptr;
}

bool loadPropertyFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "could not open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) {
        error = "could not read " + path;
        return false;
    }
    text = contents.str();
    return true;
}

}  // namespace quon_backend
