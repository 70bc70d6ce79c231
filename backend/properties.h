// Property text as the back-end reads it: its property-set files, which it sends as they
// are, and its control file. One "key=value" pair a line; a '#' at the start of a line
// begins a comment; a backslash makes the next character literal; nothing is trimmed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quon_backend {

struct Property {
    std::string key;
    std::string value;
};

using PropertyList = std::vector<Property>;

// Parses the whole text; a NUL or a Ctrl-Z at the start of a line ends it. Lines without
// '=' are skipped, and so is an unfinished line at the very end of the text.
PropertyList parsePropertyText(std::string_view text);

// The value of the first entry whose key is exactly `key`, or null.
const std::string* findProperty(const PropertyList& list, std::string_view key);

// Reads and parses a file; false (and a reason in `error`) when it cannot be read.
bool loadPropertyFile(const std::string& path, std::string& text, std::string& error);

}  // namespace quon_backend
