// The HTTP test server: python3's http.server in a child process, with hostile paths of its own.
#include "common/HttpTestServer.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Paths.h"
#include "platform/Strings.h"

namespace kelvix_test {

namespace {

// Serves `root` (or, silent, accepts and stays mute); writes its port to `portFile` once
// listening and its own pid beside it; ends itself after five minutes in any case.
const char* kServer = R"PY(
import functools, http.server, os, socket, sys, threading, time, urllib.parse
root, port_file, silent = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
threading.Timer(300, os._exit, [0]).start()
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
    def do_GET(self):
        if self.path.startswith("/_redirect/"):
            self.send_response(302)
            self.send_header("Location", self.path[len("/_redirect/"):])
            self.end_headers()
        elif self.path.startswith("/_endless"):
            self.send_response(200)
            self.end_headers()
            try:
                while True:
                    self.wfile.write(bytes(1 << 16))
            except OSError:
                pass
        elif self.path.startswith("/_drip/"):
            n = int(self.path.split("/")[2])
            self.send_response(200)
            self.end_headers()
            try:
                while True:
                    self.wfile.write(bytes(n))
                    time.sleep(0.1)
            except OSError:
                pass
        elif self.path.startswith("/_paced/"):
            _, _, n, how, rest = self.path.split("/", 4)
            data = open(os.path.join(root, urllib.parse.unquote(rest)), "rb").read()
            self.send_response(200)
            if how != "nolength":
                self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if how != "whole":
                data = data[:len(data) // 2]
            for i in range(0, len(data), int(n)):
                self.wfile.write(data[i:i + int(n)])
                time.sleep(0.1)
        else:
            super().do_GET()
if silent:
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    port = s.getsockname()[1]
else:
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=root))
    port = srv.server_address[1]
with open(port_file + ".tmp", "w") as f:
    f.write("%d %d" % (port, os.getpid()))
os.rename(port_file + ".tmp", port_file)
if silent:
    held = []
    while True:
        c, _ = s.accept()
        held.append(c)
else:
    srv.serve_forever()
)PY";

const char* kClosedPort = R"PY(
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
port = s.getsockname()[1]
s.close()
open(sys.argv[1], "w").write(str(port))
)PY";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

}  // namespace

HttpTestServer::HttpTestServer(const std::string& root, bool silent) {
    stateDir_ = platform::toNarrow(platform::makeTempDirectory("kelvix-http"));
    if (stateDir_.empty()) {
        return;
    }
    std::ofstream(stateDir_ + "/server.py") << kServer;
    const std::string portFile = stateDir_ + "/port";
    const std::string command = "python3 '" + stateDir_ + "/server.py' '" + root + "' '" +
                                portFile + "' " + (silent ? "1" : "0") +
                                " >/dev/null 2>&1 </dev/null &";
    if (std::system(command.c_str()) != 0) {
        return;
    }
    for (int i = 0; i < 200; ++i) {
        std::istringstream in(readAll(portFile));
        int port = 0;
        if (in >> port >> pid_) {
            port_ = port;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

HttpTestServer::~HttpTestServer() {
    if (!pid_.empty()) {
        std::system(("kill " + pid_ + " 2>/dev/null").c_str());
    }
    if (!stateDir_.empty()) {
        platform::removeTree(platform::toWide(stateDir_));
    }
}

int HttpTestServer::closedPort() {
    std::string dir = platform::toNarrow(platform::makeTempDirectory("kelvix-port"));
    std::ofstream(dir + "/p.py") << kClosedPort;
    int port = 0;
    if (std::system(("python3 '" + dir + "/p.py' '" + dir + "/port'").c_str()) == 0) {
        std::istringstream(readAll(dir + "/port")) >> port;
    }
    platform::removeTree(platform::toWide(dir));
    return port;
}

std::string HttpTestServer::calibrationBody(const std::string& name) {
    if (name.back() == 'n') {  // .prn: 8 lines of values
        return "1 1\n2 2\n3 3\n4 4\n5 5\n6 6\n7 7\n8 8\n";
    }
    // One pixel of gain and offset after version 1, field start 1, 1 field, 2 extra words and
    // camera 1; the name makes each file differ.
    return std::string("\1\0\1\0\1\0\2\0\1\0\0\0", 12) + std::string(40, '\0') + name;
}

}  // namespace kelvix_test
