#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "render_text.h"

#include "counters_types.h"

#include <cstdio>

#include <apr_strings.h>
#include <http_protocol.h>
#include <util_time.h>

namespace {
constexpr const char* kReplacement = "\xef\xbf\xbd";  // U+FFFD

// The length of the UTF-8 sequence at text[at], 0 when it is not one: no overlong form,
// no surrogate, nothing past U+10FFFF.
size_t sequenceAt(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char least = 0x80, most = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) least = 0xa0;
        if (lead == 0xed) most = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) least = 0x90;
        if (lead == 0xf4) most = 0x8f;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < least || byte(at + 1) > most) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
    return length;
}
}  // namespace

std::string number(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

std::string number(long value) {
    char text[24];
    snprintf(text, sizeof text, "%ld", value);
    return text;
}

std::string number(int value) { return number(long(value)); }

std::string validUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequenceAt(text, at);
        if (length == 0) {
            out += kReplacement;
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::string html(request_rec* r, const std::string& text) {
    return ap_escape_html2(r->pool, validUtf8(text).c_str(), 0);
}

// Control characters, quote and backslash escaped.
std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : validUtf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string jsonOrNull(const std::string& text) { return text.empty() ? "null" : json(text); }
const char* boolean(bool value) { return value ? "true" : "false"; }

std::string label(const std::string& text) {
    std::string out;
    for (char c : validUtf8(text)) {
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string seconds(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.6f", value);
    return text;
}

std::string boundSeconds(int bucket) {
    if (bucket >= QN_BUCKETS - 1) return "+Inf";
    char text[32];
    snprintf(text, sizeof text, "%g", double(QN_BUCKET_BOUNDS_US[bucket]) / 1e6);
    return text;
}

std::string clock(request_rec* r, long epochSeconds) {
    return ap_ht_time(r->pool, apr_time_from_sec(epochSeconds), "%Y-%m-%d %H:%M:%S %Z", 0);
}

std::string buildText() {
    char text[64];
    snprintf(text, sizeof text, "%s %d.%d (Build %d)", QUON_PRODUCT, QUON_MAJOR, QUON_MINOR,
             QUON_BUILD);
    return text;
}
