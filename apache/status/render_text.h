// Text pieces every format of the status page writes: numbers, times and escapes. Every
// name that comes from the configuration or a back end is escaped for its format, and
// bytes that are not UTF-8 are replaced (U+FFFD), so that the page, its JSON and its
// metrics stay valid whatever a back end sends.
#pragma once

#include <cstdint>
#include <string>

#include <httpd.h>

// Numbers as text without std::to_string, whose library templates would be exported from
// the module.
std::string number(uint64_t value);
std::string number(long value);
std::string number(int value);
// text with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& text);
// For HTML text and attribute values.
std::string html(request_rec* r, const std::string& text);
// A JSON string, quotes included; "null" for an empty text with jsonOrNull.
std::string json(const std::string& text);
std::string jsonOrNull(const std::string& text);
const char* boolean(bool value);
// A Prometheus label value: backslash, quote and line feed escaped.
std::string label(const std::string& text);
// Seconds with six decimals; a bucket's upper bound in seconds ("+Inf" for the last).
std::string seconds(double value);
std::string boundSeconds(int bucket);
// A time as the page shows it, in the server's local time zone.
std::string clock(request_rec* r, long epochSeconds);
// The module's version, as the start-up line and the version component give it.
std::string buildText();
