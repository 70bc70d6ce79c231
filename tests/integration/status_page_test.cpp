// The status page as an operator meets it in a browser (headless Chromium): states in
// colour, the buttons that apply to each row, reloads, sparklines, its own message pages,
// no framing by another page; where it may change nothing; and names from the
// configuration or a back end that must stay whole and valid.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "status_helpers.h"

namespace {
using backend_test::waitUntil;
using namespace status_test;

const std::string kPageConfig = kStatusConfig + loadModules({"mime"}) +
                                "TypesConfig /dev/null\nAddType text/html .html\n";

// Reads the page as a script would and tells, per server row: its state and operator's
// state, the colours the browser gives those cells, and the buttons of the row; then the
// colour of an answer count of 0, and the least width the servers' table can take.
constexpr const char* kColoursPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body><pre id="result"></pre><script>
var x = new XMLHttpRequest(); x.open('GET', '/quon-status', false); x.send();
var page = new DOMParser().parseFromString(x.responseText, 'text/html');
document.head.appendChild(page.querySelector('style'));
var copy = document.createElement('div'); copy.innerHTML = page.body.innerHTML;
document.body.appendChild(copy);
var lines = [];
copy.querySelectorAll('tr.server').forEach(function (row) {
  var buttons = Array.from(row.querySelectorAll('button')).map(function (b) { return b.value; });
  lines.push([row.dataset.server, row.dataset.state, row.dataset.admin,
              getComputedStyle(row.querySelector('td.state')).backgroundColor,
              getComputedStyle(row.querySelector('td.admin')).backgroundColor,
              buttons.join(',')].join('|'));
});
var servers = copy.querySelector('table.servers');
servers.style.width = 'min-content';
var zero = copy.querySelector('td.error-page');
document.getElementById('result').textContent = lines.join(';') + '#' +
    (zero ? getComputedStyle(zero).color : 'no answers') + '#' +
    Math.ceil(servers.getBoundingClientRect().width);
</script></body></html>
)";

// Whether another page can show the status page in a frame.
constexpr const char* kFramePage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body><p id="result">not loaded</p>
<iframe src="/quon-status" onload="var d = null; try { d = this.contentDocument; } catch (e) {}
document.getElementById('result').textContent = d && d.querySelector('h1') ? 'framed' : 'blocked';">
</iframe></body></html>
)";

void writePage(QuonCluster& c, const std::string& name, const std::string& text) {
    const std::string path = c.apache().dir() + "/htdocs/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
    shareWithApacheUser(path);
}

std::string resultOf(const std::string& dom) {
    std::smatch match;
    return std::regex_search(dom, match, std::regex("id=\"result\">([^<]*)<")) ? match[1].str() : "";
}

TEST(StatusPage, AnOperatorSeesStatesInColourAndTheButtonsThatApply) {
    QuonCluster cluster(3);
    ASSERT_TRUE(cluster.start(kPageConfig));
    const std::string nonce = text(cluster.get("/quon-status?format=json").body, "nonce");
    const auto admin = [&](const char* action, int server) {
        return postForm(cluster, "nonce=" + nonce + "&action=" + action +
                                     "&server=" + cluster.address(server) + "&refresh=10");
    };
    for (int k = 0; k < 6; ++k) EXPECT_EQ(cluster.get("/app/echo").status, 200);
    cluster.kill(2);
    ASSERT_TRUE(waitUntil([&] {
        cluster.get("/app/echo");
        return text(serverObject(cluster.get("/quon-status?format=json").body, cluster.address(2)),
                    "state") == "down";
    }));
    HttpResponse changed = admin("drain", 1);
    EXPECT_EQ(changed.status, 303);
    EXPECT_EQ(changed.header("Location"), cluster.url("/quon-status?refresh=10"));
    EXPECT_EQ(admin("disable", 2).status, 303);

    writePage(cluster, "colours.html", kColoursPage);
    const std::string result = resultOf(renderedDom(cluster.url("/colours.html")));
    const std::string rows = result.substr(0, result.find('#'));
    const std::string none = "rgba(0, 0, 0, 0)";
    // No error page was sent: its count of 0 is in the text's colour, not the fault's red;
    // the servers' table fits a screen 1280 pixels wide, the page's margins aside.
    const std::string rest = result.substr(std::min(result.size(), rows.size() + 1));
    EXPECT_EQ(rest.substr(0, rest.find('#')), "rgb(0, 0, 0)") << result;
    EXPECT_LE(std::atoi(rest.substr(rest.find('#') + 1).c_str()), 1240) << result;
    EXPECT_EQ(rows, cluster.address(0) + "|up|normal|rgb(185, 228, 185)|" + none + "|drain,disable;" +
                        cluster.address(1) + "|up|drained|rgb(185, 228, 185)|rgb(251, 229, 138)|"
                        "enable,disable;" + cluster.address(2) +
                        "|down|disabled|rgb(244, 180, 180)|rgb(201, 201, 201)|enable,drain");
    writePage(cluster, "frame.html", kFramePage);
    EXPECT_EQ(resultOf(renderedDom(cluster.url("/frame.html"))), "blocked");

    // The page itself: the reload chosen, a sparkline per server with this minute's
    // attempts (and the killed server's failed ones), each child and its start.
    HttpResponse page = cluster.get("/quon-status?refresh=10");
    EXPECT_EQ(page.header("Refresh"), "10");
    EXPECT_EQ(page.header("X-Frame-Options"), "DENY");
    EXPECT_NE(page.header("Content-Security-Policy").find("frame-ancestors 'none'"),
              std::string::npos);
    const std::string dom = renderedDom(cluster.url("/quon-status?refresh=10"));
    EXPECT_NE(dom.find("<strong class=\"current\" data-seconds=\"10\">"), std::string::npos) << dom;
    const std::vector<std::string> requests = allMatches(dom, "data-requests=\"([0-9,]+)\"");
    const std::vector<std::string> failures = allMatches(dom, "data-failures=\"([0-9,]+)\"");
    ASSERT_EQ(requests.size(), 3u) << dom;
    EXPECT_TRUE(std::regex_search(requests[0], std::regex("[1-9]"))) << requests[0];
    EXPECT_TRUE(std::regex_search(failures[2], std::regex("[1-9]"))) << failures[2];
    EXPECT_GE(allMatches(dom, "<rect class=\"requests\"").size(), 2u);
    EXPECT_EQ(allMatches(dom, "<tr class=\"child\" data-pid=\"[0-9]+\" data-started=\"[1-9]").size(), 1u);
    // What is down, since when and for how long, in a line and on the server's row.
    EXPECT_EQ(allMatches(dom, "<p class=\"summary\" id=\"summary-0\" data-down=\"1\" "
                              "data-servers=\"3\">1 of 3 down since [0-9]{2}:[0-9]{2}:[0-9]{2}</p>")
                  .size(),
              1u)
        << dom;
    EXPECT_EQ(allMatches(dom, "down for ([0-9]+ m )?[0-9]+ s</span>").size(), 1u) << dom;
    EXPECT_EQ(allMatches(dom, "class=\"downtime\" data-seconds=\"[0-9]+\">").size(), 3u) << dom;

    // What it refuses, it says in a page of its own, framed by nobody either.
    const std::pair<HttpResponse, std::pair<int, const char*>> refusals[] = {
        {cluster.get("/quon-status?format=xml"), {400, "unknown format &quot;xml&quot;"}},
        {postForm(cluster, "action=drain&server=" + cluster.address(0)),
         {403, "The change was refused: it carries no nonce."}},
        {postForm(cluster, "nonce=" + nonce + "&action=drain&server=127.0.0.9:1"),
         {404, "The change was refused: no server 127.0.0.9:1 in any virtual server."}},
        {postForm(cluster, "nonce=0123456789abcdef&action=drain&server=" + cluster.address(0)),
         {403, "reload the page and try again."}},
        {postForm(cluster, "nonce=" + nonce + "&action=drain"),
         {400, "The change was refused: it names no server: the form has no server field."}},
        {postForm(cluster, "nonce=" + nonce + "&action=drain&vhost=nowhere.test&server=" +
                               cluster.address(0)),
         {404, "The change was refused: no virtual server nowhere.test."}},
        {httpPost(cluster.url("/quon-status"), "{\"nonce\":\"" + nonce + "\",\"action\":\"drain\"}",
                  {"Content-Type: application/json"}),
         {415, "its body is application/json, not a form"}}};
    for (const auto& [answer, expected] : refusals) {
        EXPECT_EQ(answer.status, expected.first) << answer.body;
        EXPECT_NE(answer.body.find(expected.second), std::string::npos) << answer.body;
        EXPECT_EQ(answer.header("X-Frame-Options"), "DENY");
    }
    // Enabling a server that is normal already changes nothing, and says nothing.
    const int changes = cluster.apache().countLog(" set to ");
    EXPECT_EQ(admin("enable", 0).status, 303);
    EXPECT_EQ(cluster.apache().countLog(" set to "), changes);
}

// Where an .htaccess file applies, whoever may write it may have set the handler: the
// page there shows no nonce and changes nothing, unless the operator says otherwise.
TEST(StatusPage, ChangesOnlyWhereTheOperatorAllowedThem) {
    QuonCluster cluster(2);
    ASSERT_TRUE(cluster.start(kPageConfig + "<Directory @DIR@/htdocs/open>\n"
                                            "  AllowOverride FileInfo\n</Directory>\n"));
    writePage(cluster, "open/.htaccess", "SetHandler quon-status\n");
    const std::string nonce = text(cluster.get("/quon-status?format=json").body, "nonce");
    const std::string json = cluster.get("/open/?format=json").body;
    EXPECT_EQ(text(json, "changes"), "false") << json;
    EXPECT_EQ(text(json, "nonce"), "null");
    const std::string html = cluster.get("/open/").body;
    EXPECT_NE(html.find("id=\"changes-off\""), std::string::npos) << html;
    EXPECT_EQ(html.find("<form"), std::string::npos);
    EXPECT_EQ(html.find(nonce), std::string::npos);
    const std::string drain = "nonce=" + nonce + "&action=drain&server=" + cluster.address(0);
    HttpResponse refused = postForm(cluster, drain, "/open/");
    EXPECT_EQ(refused.status, 403);
    EXPECT_NE(refused.body.find("changes are off here"), std::string::npos) << refused.body;
    EXPECT_EQ(text(cluster.get("/quon-status?format=json").body, "admin"), "normal");
    EXPECT_EQ(postForm(cluster, drain).status, 303);

    // The operator's word decides: on, even there; off, everywhere.
    const std::tuple<const char*, int, int> settings[] = {{"on", 303, 303}, {"off", 403, 403}};
    for (const auto& [setting, open, main] : settings) {
        ASSERT_TRUE(cluster.apache().restartGracefully(
            replaceAll("QuonConfig bootstrap @BOOT@\n", "@BOOT@", cluster.memberName(0)) +
            kPageConfig + "QuonConfig statuschanges " + setting + "\n<Directory @DIR@/htdocs/open>\n"
            "  AllowOverride FileInfo\n</Directory>\n"));
        const std::string now = text(cluster.get("/quon-status?format=json").body, "nonce");
        const std::string form = "nonce=" + now + "&action=enable&server=" + cluster.address(0);
        EXPECT_EQ(postForm(cluster, form, "/open/").status, open) << setting;
        EXPECT_EQ(postForm(cluster, form).status, main) << setting;
    }
}

// A virtual host's name too long for the counters is cut the same way on the page, in the
// form and in the slots, so it can still be drained by the name the page shows; a back
// end's bytes that are not UTF-8 (stray bytes, a surrogate encoded in UTF-8) leave the
// JSON and the metrics valid.
TEST(StatusPage, NamesStayWholeAndValid) {
    QuonCluster cluster({"/app/*=app\n/caf\xe9/*=bad\xff\xfe value \xed\xa0\x80\n"},
                        "mapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n");
    const std::string longName = std::string(70, 'a') + "." + std::string(70, 'b') + ".test";
    ASSERT_TRUE(cluster.start(
        kPageConfig + "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName " + longName +
        "\n  QuonConfig bootstrap @BOOT@\n  QuonConfig proxyretryinterval 1\n</VirtualHost>\n"));
    ASSERT_TRUE(waitUntil([&] {
        return cluster.get("/app/echo", {"Host: " + longName}).status == 200;
    }));
    const std::string json = cluster.get("/quon-status?format=json").body;
    EXPECT_TRUE(isUtf8(json));
    const std::string replaced = "\xef\xbf\xbd";
    EXPECT_NE(json.find("bad" + replaced + replaced + " value " + replaced + replaced + replaced),
              std::string::npos)
        << json;
    const std::string cut = longName.substr(0, 127);
    EXPECT_NE(json.find("{\"name\":\"" + cut + "\""), std::string::npos) << json;
    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    expectValidMetrics(metrics, cluster.apache().dir());
    EXPECT_TRUE(isUtf8(metrics));

    const std::string nonce = text(json, "nonce");
    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=drain&vhost=" + cut +
                                    "&server=" + cluster.address(0))
                  .status,
              303);
    const std::string after = cluster.get("/quon-status?format=prometheus").body;
    EXPECT_EQ(total(after, "\nquon_admin_state\\{vhost=\"" + cut + "\",[^}]*state=\"drained\"\\} ([0-9]+)"),
              1u)
        << after;
    EXPECT_EQ(total(after, "\nquon_admin_state\\{[^}]*state=\"drained\"\\} ([0-9]+)"), 1u);
}
}  // namespace
