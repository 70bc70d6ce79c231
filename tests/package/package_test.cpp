// The installed files (QUON_PACKAGE_ROOT: what `cmake --install` laid out, or the .deb
// files unpacked) used as a Debian administrator uses them: copied into a private
// configuration folder laid out as /etc/apache2, enabled with the real a2enmod, checked
// with apache2 -t, then started to serve a mapped request from the installed quon-backend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "apache_server.h"
#include "backend_cluster.h"
#include "http_client.h"

namespace fs = std::filesystem;
using backend_test::BackendProcess;
using backend_test::readFile;
using backend_test::runCommand;

namespace {
constexpr const char* kModuleFile = QUON_APACHE_MODULE_DIR "/mod_quon22.so";
constexpr const char* kLoadFile = QUON_APACHE_MODS_DIR "/quon22.load";
constexpr const char* kConfFile = QUON_APACHE_MODS_DIR "/quon22.conf";
constexpr const char* kBackendFile = QUON_INSTALLED_BACKEND;
// The system's own load files, as a Debian installation has them.
constexpr const char* kSystemMods = "/etc/apache2/mods-available";
// The MPM and the authorization modules that Debian enables by default.
constexpr const char* kEnable = "mpm_event authz_core authz_host quon22";
// The commented-out lines of quon22.conf that a user may turn on.
const std::regex kExampleLine(R"(^(\s*)#((QuonConfig|</?Location|\s*SetHandler|\s*Require)\b.*)$)");

// Debian's apache2.conf, cut down: the modules are the ones a2enmod enabled.
std::string mainConfig() {
    std::string conf = R"(ServerRoot "@DIR@"
ServerName 127.0.0.1
Listen 127.0.0.1:@PORT@
PidFile @DIR@/httpd.pid
ErrorLog @DIR@/error.log
DefaultRuntimeDir @DIR@/run
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
DocumentRoot @DIR@/htdocs
<Directory />
    Require all granted
</Directory>
)";
    if (geteuid() == 0) conf += "User www-data\nGroup www-data\n";
    return conf;
}

std::string root() {
    const char* dir = getenv("QUON_PACKAGE_ROOT");
    return dir ? dir : "";
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The shipped quon22.conf with each line that matches `line` replaced by `replacement`.
std::string editedConf(const std::regex& line, const std::string& replacement) {
    std::istringstream lines(readFile(root() + kConfFile));
    std::string text;
    for (std::string l; std::getline(lines, l);)
        text += std::regex_replace(l, line, replacement) + "\n";
    // The store's folder as installed in the tree.
    return std::regex_replace(text, std::regex(" /var/lib/quon22/"),
                              " " + root() + "/var/lib/quon22/");
}

class InstalledPackage : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root().empty()) << "QUON_PACKAGE_ROOT names no installed tree";
        for (const char* file : {kModuleFile, kLoadFile, kConfFile, kBackendFile})
            ASSERT_TRUE(fs::is_regular_file(root() + file)) << "not installed: " << root() + file;
    }

    // Lays out dir as /etc/apache2 (the system's mods-available, then the installed
    // quon22.load and the given quon22.conf) and enables the modules with the real a2enmod,
    // which takes its folders from APACHE_CONFDIR and APACHE_STATE_DIRECTORY.
    void layOut(const std::string& dir, const std::string& conf) {
        fs::copy(kSystemMods, dir + "/mods-available");
        fs::create_directory(dir + "/mods-enabled");
        // Debian's load files name the module by its absolute path: the copy names the
        // module in the tree, which is not installed under /.
        const std::string load = "LoadModule quon_module " + std::string(kModuleFile) + "\n";
        ASSERT_EQ(readFile(root() + kLoadFile), load);
        writeFile(dir + "/mods-available/quon22.load",
                  "LoadModule quon_module " + root() + kModuleFile + "\n");
        writeFile(dir + "/mods-available/quon22.conf", conf);
        const std::string a2enmod = "APACHE_CONFDIR=" + dir + " APACHE_STATE_DIRECTORY=" + dir +
                                    "/state /usr/sbin/a2enmod " + kEnable;
        std::string output;
        ASSERT_EQ(runCommand(a2enmod + " 2>&1", output), 0) << output;
        for (const char* name : {"quon22.load", "quon22.conf"})
            EXPECT_EQ(fs::read_symlink(dir + "/mods-enabled/" + name),
                      fs::path("../mods-available") / name);
    }
};

// The shipped configuration sets the server store alone, and is accepted; each example
// line of it, turned on, must still be a valid line.
TEST_F(InstalledPackage, ShippedConfigurationAndEveryExampleAreAccepted) {
    const std::string text = readFile(root() + kConfFile);
    std::smatch active;
    EXPECT_TRUE(std::regex_search(text, active, std::regex(R"((^|\n)\s*(QuonConfig\s[^\n]*))")));
    EXPECT_EQ(active[2].str(), "QuonConfig serverstore /var/lib/quon22/servers");
    const std::regex activeLine(R"((^|\n)\s*QuonConfig\s)");
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), activeLine),
                            std::sregex_iterator()),
              1);
    const std::string shipped = editedConf(std::regex("^$"), "");
    const std::string examples = editedConf(kExampleLine, "$1$2");
    EXPECT_FALSE(std::regex_search(examples, std::regex(R"(\n\s*#\s*(QuonConfig|SetHandler)\b)")))
        << examples;
    for (const std::string& conf : {shipped, examples}) {
        ApacheServer apache({.config = mainConfig()});
        ASSERT_NO_FATAL_FAILURE(layOut(apache.dir(), conf));
        const ConfigCheck check = apache.checkConfig("");
        EXPECT_EQ(check.status, 0) << check.output;
        EXPECT_NE(check.output.find("Syntax OK"), std::string::npos) << check.output;
    }
}

TEST_F(InstalledPackage, ServesMappedRequestFromInstalledBackend) {
    BackendProcess backend("127.0.0.2", root() + kBackendFile);
    const std::string address = "127.0.0.2:" + std::to_string(backend_test::freePort("127.0.0.2"));
    // Started by hand without a member list, the server names itself as the cluster.
    ASSERT_TRUE(backend.start({"--listen", address, "--server-props",
                               backend.writeFile("server.props", "rep_id=SRV1\n"), "--mappings",
                               backend.writeFile("mappings.props", "/app/*=app\n")}))
        << readFile(backend.path("stderr"));

    // What the administrator does: the bootstrap line of the shipped file set and on.
    const std::regex bootstrap(R"(^(\s*)#(QuonConfig bootstrap) .*$)");
    const std::string conf = editedConf(bootstrap, "$1$2 " + address);
    ASSERT_NE(conf.find("QuonConfig bootstrap " + address + "\n"), std::string::npos) << conf;
    ApacheServer apache({.config = mainConfig()});
    ASSERT_NO_FATAL_FAILURE(layOut(apache.dir(), conf));
    ASSERT_TRUE(apache.start());

    const HttpResponse mapped = httpGet(apache.url("/app/echo"));
    EXPECT_EQ(mapped.status, 200) << mapped.error << apache.errorLog();
    EXPECT_EQ(mapped.header("X-Quon-Server"), address);
    EXPECT_EQ(keyValues(mapped.body, ": ")["action"], "echo") << mapped.body;
    // Apache keeps what the back end does not map.
    const HttpResponse unmapped = httpGet(apache.url("/other/echo"));
    EXPECT_EQ(unmapped.status, 404);
    EXPECT_EQ(unmapped.header("X-Quon-Server"), "");
}

}  // namespace
