// An HTTP server on 127.0.0.1 for the tests that download calibration files or check that a site
// can be reached.
#pragma once

#include <string>

namespace kelvix_test {

// A real HTTP server (python3's http.server) on 127.0.0.1 at a free port, serving the files
// under `root`; stopped by the destructor. `silent` makes a server that accepts connections
// but never answers. Paths that play a hostile server: "/_redirect/<url>" redirects to <url>,
// "/_endless" sends a body that never ends, "/_drip/<n>/..." one that never ends at n bytes
// per 0.1 s, "/_paced/<n>/<how>/<file>" the file at n bytes per 0.1 s: "whole", or its first
// half after announcing the whole ("cut") or announcing no length ("nolength").
class HttpTestServer {
  public:
    explicit HttpTestServer(const std::string& root, bool silent = false);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // A port on 127.0.0.1 on which nothing listens (just released).
    static int closedPort();
    // A small body that reads as the calibration file `name` (.dat or .prn) claims to be.
    static std::string calibrationBody(const std::string& name);

  private:
    std::string stateDir_;
    std::string pid_;
    int port_ = 0;
};

}  // namespace kelvix_test
