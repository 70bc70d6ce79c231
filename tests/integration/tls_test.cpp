// Requests over TLS (mod_ssl with a throw-away self-signed certificate) and over plain
// HTTP: what the back end learns of the connection's security.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include "quon_cluster.h"

namespace {

size_t collect(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// GET over https without checking the certificate: it is the test's own.
std::string httpsGet(const std::string& url, const std::string& header) {
    std::string body;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode result = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result == CURLE_OK ? body : std::string("curl: ") + curl_easy_strerror(result);
}

TEST(TlsTest, TheServerLearnsWhetherTheRequestCameOverTls) {
    QuonCluster cluster(1);
    std::string why;
    int tlsPort = freeLoopbackPort();
    // The certificate lives in the first server's folder, which the test removes.
    std::string key = cluster[0].path("key.pem"), cert = cluster[0].path("cert.pem");
    std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(system(command.c_str()), 0);
    std::string port = std::to_string(tlsPort);
    ASSERT_TRUE(cluster.start(
        "LoadModule ssl_module /usr/lib/apache2/modules/mod_ssl.so\n"
        "LoadModule socache_shmcb_module /usr/lib/apache2/modules/mod_socache_shmcb.so\n"
        "SSLSessionCache shmcb:@DIR@/run/ssl_cache(65536)\n"
        "Listen 127.0.0.1:" +
            port +
            " https\n"
            "<VirtualHost 127.0.0.1:" +
            port +
            ">\n  SSLEngine on\n  SSLOptions +StdEnvVars\n"
            "  SSLCertificateFile " +
            cert + "\n  SSLCertificateKeyFile " + key + "\n</VirtualHost>\n",
        &why))
        << why;

    struct Row {
        std::string url;
        std::string secure;
        bool attributes;
    };
    const std::string path = "/app/echo?get=AUTHORIZATION";
    for (const Row& row :
         {Row{"https://127.0.0.1:" + port + path, "1", true}, Row{cluster.url(path), "0", false}}) {
        SCOPED_TRACE(row.url);
        auto lines = answerLines(httpsGet(row.url, "Authorization: Basic dTpw"));
        EXPECT_EQ(lines["cgi.SERVER_PORT_SECURE"], row.secure);
        EXPECT_EQ(lines["get.AUTHORIZATION"], "Basic dTpw");
        const std::string suite = lines["attribute.javax.servlet.request.cipher_suite"];
        const std::string bits = lines["attribute.javax.servlet.request.key_size"];
        EXPECT_EQ(!suite.empty(), row.attributes) << suite;
        EXPECT_EQ(!bits.empty(), row.attributes) << bits;
        if (row.attributes) {
            EXPECT_GE(std::stoi(bits), 128);
        }
        EXPECT_EQ(lines.count("attribute.javax.servlet.request.X509Certificate"), 0u);
    }
    EXPECT_TRUE(cluster.apache().waitForLog("Apache got this request over SSL"));
    EXPECT_TRUE(cluster.apache().waitForLog("SSL - No Client Certificate found in the request"));
}

}  // namespace
