// Reading the status page in the tests: its configuration, fields of its JSON, its
// metrics checked by promtool and by the rules of a histogram, and its DOM as headless
// Chromium builds it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "quon_cluster.h"

namespace status_test {
using backend_test::runCommand;

inline const std::string kStatusConfig =
    loadModules({"authz_host", "status"}) +
    "LogFormat \"%P %{QUON_SERVER}e %{QUON_ATTEMPTS}e %{QUON_MAPPING}e %>s %U%q\" quon\n"
    "CustomLog @DIR@/access.log quon\n"
    "<Location /quon-status>\n  SetHandler quon-status\n  Require local\n</Location>\n"
    "<Location /closed-status>\n  SetHandler quon-status\n  Require ip 127.0.0.9\n</Location>\n"
    "<Location /server-status>\n  SetHandler server-status\n  Require local\n</Location>\n";

// The first group of every match of pattern in text (the whole match without a group).
inline std::vector<std::string> allMatches(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        found.push_back(it->size() > 1 ? (*it)[1].str() : it->str());
    return found;
}

// The JSON object of server name: from its "name" to the next object with one.
inline std::string serverObject(const std::string& json, const std::string& name) {
    const size_t start = json.find("{\"name\":\"" + name + "\"");
    if (start == std::string::npos) return "";
    return json.substr(start, json.find("{\"name\":", start + 1) - start);
}

// The value of key in a JSON object, a text without its quotes; "" when absent.
inline std::string text(const std::string& object, const std::string& key) {
    std::smatch match;
    const std::regex pattern("\"" + key + "\":\"?([^\",}\\]]*)");
    return std::regex_search(object, match, pattern) ? std::string(match[1]) : "";
}

inline uint64_t field(const std::string& object, const std::string& key) {
    const std::string value = text(object, key);
    return value.empty() || value == "null" ? 0 : std::stoull(value);
}

// The numbers that the first group of pattern matches in text, added.
inline uint64_t total(const std::string& text, const std::string& pattern) {
    uint64_t sum = 0;
    for (const std::string& number : allMatches(text, pattern)) sum += std::stoull(number);
    return sum;
}

inline HttpResponse postForm(QuonCluster& c, const std::string& form,
                             const std::string& path = "/quon-status") {
    return httpPost(c.url(path), form, {"Content-Type: application/x-www-form-urlencoded"});
}

// promtool's verdict on an exposition, and every histogram's buckets: never fewer along
// le, and +Inf as many as _count.
inline void expectValidMetrics(const std::string& metrics, const std::string& dir) {
    const std::string exposition = dir + "/metrics.txt";
    std::ofstream(exposition) << metrics;
    std::string lint;
    EXPECT_EQ(
        runCommand("timeout -s KILL 30 /usr/bin/promtool check metrics <" + exposition + " 2>&1",
                   lint),
        0)
        << lint << metrics;
    std::map<std::string, double> last, infinite, counts;
    const std::regex bucket(R"re(\n([a-z_]+)_bucket\{(.*),le="([^"]+)"\} ([0-9.e+]+))re");
    for (auto it = std::sregex_iterator(metrics.begin(), metrics.end(), bucket);
         it != std::sregex_iterator(); ++it) {
        const std::string series = (*it)[1].str() + "{" + (*it)[2].str() + "}";
        const double value = std::stod((*it)[4]);
        if (last.count(series)) {
            EXPECT_GE(value, last[series]) << series << " le=" << (*it)[3];
        }
        last[series] = value;
        if ((*it)[3] == "+Inf") infinite[series] = value;
    }
    const std::regex count(R"re(\n([a-z_]+)_count\{(.*)\} ([0-9.e+]+))re");
    for (auto it = std::sregex_iterator(metrics.begin(), metrics.end(), count);
         it != std::sregex_iterator(); ++it)
        counts[(*it)[1].str() + "{" + (*it)[2].str() + "}"] = std::stod((*it)[3]);
    EXPECT_EQ(infinite, counts);
    EXPECT_FALSE(last.empty()) << metrics;
}

// Whether text is UTF-8 throughout: no stray continuation byte, no overlong form, no
// surrogate, nothing past U+10FFFF.
inline bool isUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2
                              : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                                                                : 0;
        if (length == 0 || at + length > text.size()) return false;
        uint32_t point = length == 1 ? lead : lead & (0x7f >> length);
        for (size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xc0) != 0x80) return false;
            point = point << 6 | (next & 0x3f);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < least[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
            return false;
        at += length;
    }
    return true;
}

// The page as headless Chromium builds it (its DOM, serialised), scripts of the page run.
inline std::string renderedDom(const std::string& url) {
    char pattern[] = "/tmp/quon-chromium-XXXXXX";
    const std::string profile = mkdtemp(pattern);
    std::string dom;
    const int status = runCommand(
        "timeout -s KILL 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--no-first-run --user-data-dir=" +
            profile + " --dump-dom '" + url + "' 2>/dev/null",
        dom);
    std::filesystem::remove_all(profile);
    EXPECT_EQ(status, 0) << "chromium";
    return dom;
}
}  // namespace status_test
