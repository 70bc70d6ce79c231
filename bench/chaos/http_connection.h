// One HTTP/1.1 keep-alive connection over a blocking socket, for the chaos load driver:
// sends a request, reads one whole response (Content-Length, chunked, or to the close)
// and keeps what the driver records of it.
#pragma once

#include <string>

namespace chaos {

struct Response {
    int status = 0;       // 0: no response (the connection failed or closed first)
    int serverOctet = 0;  // last octet of X-Quon-Server's address, 0 when absent
    std::string cookie;   // JSESSIONID value of a Set-Cookie header, empty when none
    std::string body;
    bool close = false;  // the server asked to close the connection
};

class HttpConnection {
public:
    HttpConnection(std::string host, int port, int timeoutMs)
        : host_(std::move(host)), port_(port), timeoutMs_(timeoutMs) {}
    ~HttpConnection() { close(); }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Sends `request` (connecting first when needed) and reads the answer. A failure
    // leaves status 0 and the connection closed; the next call connects again.
    Response exchange(const std::string& request);
    void close();

private:
    bool connect();
    bool sendAll(const std::string& data);
    // Reads more bytes into in_; false at the end of the stream or on an error.
    bool fill();
    bool readHead(Response& r, long& length, bool& chunked);
    bool readBody(Response& r, long length, bool chunked);
    bool readLine(std::string& line);

    std::string host_;
    int port_;
    int timeoutMs_;
    int fd_ = -1;
    std::string in_;
};

}  // namespace chaos
