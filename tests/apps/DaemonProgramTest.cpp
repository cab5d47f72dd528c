// kelvixdaemon as a child process: built-in defaults, unreadable files, serving the simulated
// camera and stopping by signal while it waits or serves.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/DirectBridgeClientTCP.h"
#include "platform/Socket.h"

namespace {

using namespace std::chrono_literals;

const std::string kDefaults =
    "serial: 0\nfov: 0\ntMin: -20\ntMax: 100\nframerate: 20\nvideoFormatIndex: 0\n"
    "bispectral: 0\naverage: 0\nautoFlag: 1\nminInterval: 15\nmaxInterval: 0\npifInMode: 0\n"
    "tChipMode: 0\ntChipFixedValue: 40\n";
constexpr int kPort = 1337;

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// The daemon as a child process in the test's directory, listening on 127.0.0.1 only; its
// output goes to out.txt and err.txt, its exit status to status.txt.
class DaemonProgram : public kelvix_test::TempDirTest {
  protected:
    void TearDown() override {
        if (started_ && readFile("status.txt").empty()) {
            signal("KILL");
            waitForExit();
        }
        TempDirTest::TearDown();
    }

    // Port 1337 is the daemon's; something else on this machine may hold it.
    static bool portFree() {
        platform::SocketHandle s = platform::openTcpSocket();
        const bool free = platform::bindSocket(s, "127.0.0.1", kPort);
        platform::closeSocket(s);
        return free;
    }

    void start(const std::vector<std::string>& args, const std::string& simulator) {
        std::string command = "cd " + shellQuoted(dir_) +
                              " && (env -u KELVIX_SIMULATOR LC_ALL=C.UTF-8 "
                              "KELVIX_LISTEN_ADDRESS=127.0.0.1 ";
        if (!simulator.empty()) {
            command += "KELVIX_SIMULATOR=" + shellQuoted(simulator) + " ";
        }
        command += shellQuoted(KELVIX_DAEMON_PROGRAM);
        for (const std::string& a : args) {
            command += " " + shellQuoted(a);
        }
        command +=
            " >out.txt 2>err.txt </dev/null & echo $! >pid.txt; wait $!; echo $? >status.txt)"
            " >/dev/null 2>&1 &";
        ASSERT_EQ(std::system(command.c_str()), 0);
        started_ = true;
    }

    bool waitFor(const std::string& file, const std::string& text,
                 std::chrono::seconds limit = 30s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (readFile(file).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // The exit status, or -1000 when the program did not end in time.
    int waitForExit() {
        if (!waitFor("status.txt", "\n")) {
            return -1000;
        }
        return std::atoi(readFile("status.txt").c_str());
    }

    void signal(const std::string& name) {
        std::string pid;
        ASSERT_TRUE(waitFor("pid.txt", "\n"));
        pid = readFile("pid.txt");
        pid.pop_back();
        const std::string command = "kill -" + name + " " + pid;
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    // A simulated camera with a warm square at 50 degC, and a configuration for it.
    std::string simulatedCamera() {
        writeFile("camera.sim",
                  "# test camera\nserial 20240777\nrate 30\nscene 50 20 30\ncalibration cali\n");
        writeFile("daemon.xml",
                  "<?xml version=\"1.0\"?>\n<imager>\n<serial>20240777</serial>\n<fov>23</fov>\n"
                  "<calipath>" +
                      path("cali") + "</calipath>\n<formatspath>" + path("cali") +
                      "</formatspath>\n<temperature><min>-20</min><max>100</max></temperature>\n"
                      "<framerate>30</framerate>\n<videoformatindex>0</videoformatindex>\n"
                      "</imager>\n");
        return path("camera.sim");
    }

    bool started_ = false;
};

TEST_F(DaemonProgram, WithoutArgumentsTakesTheBuiltInDefaults) {
    start({}, "");
    EXPECT_EQ(waitForExit(), 0);
    EXPECT_EQ(readFile("out.txt"),
              "No parameters given, taking default parameters. If you want to specify your own "
              "parameters, pass an xml file:\n " +
                  std::string(KELVIX_DAEMON_PROGRAM) + " <path to xml file>\n" + kDefaults);
    EXPECT_NE(readFile("err.txt").find("IR Imager device could not be found"), std::string::npos)
        << readFile("err.txt");
}

TEST_F(DaemonProgram, UnreadableFilesAreReported) {
    // A configuration that cannot be read leaves the reader's values.
    start({path("missing.xml")}, "");
    EXPECT_EQ(waitForExit(), 0);
    const std::string out = readFile("out.txt");
    EXPECT_EQ(out.find("No parameters given"), std::string::npos);
    EXPECT_NE(out.find("tMin: 0\ntMax: 0\nframerate: 30\nvideoFormatIndex: -1\n"),
              std::string::npos)
        << out;
    EXPECT_NE(readFile("err.txt").find("Cannot find configuration file"), std::string::npos);

    // A simulated camera that cannot be built stops the program before anything else.
    writeFile("bad.sim", "serial 12\nlens wide\n");
    std::remove("status.txt");
    start({}, path("bad.sim"));
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_NE(readFile("err.txt").find("bad.sim:2: cannot use \"lens wide\""), std::string::npos)
        << readFile("err.txt");
    EXPECT_EQ(readFile("out.txt"), "");
}

// Served to a client until SIGTERM; the worker, blocked on that client, ends the process.
TEST_F(DaemonProgram, ServesTheSimulatedCameraUntilStopped) {
    if (!portFree()) {
        GTEST_SKIP() << "port " << kPort << " is in use";
    }
    start({path("daemon.xml")}, simulatedCamera());
    ASSERT_TRUE(waitFor("out.txt", "wait for client...\n")) << readFile("err.txt");
    zol::DirectBridgeClientTCP client;
    client.init("127.0.0.1", kPort);
    ASSERT_TRUE(client.connectBlocked());

    const auto end = std::chrono::steady_clock::now() + 30s;
    float centre = -1000.0f;
    while (std::abs(centre - 50.0f) > 1.0f && std::chrono::steady_clock::now() < end) {
        auto r = client.getThermalImage();
        std::unique_ptr<zol::ThermalImage> image(r.second);
        ASSERT_TRUE(r.first);
        if (image->width == 160 && image->height == 120) {
            centre = (image->data[60 * 160 + 80] - 1000) / 10.0f;
        }
    }
    EXPECT_NEAR(centre, 50.0f, 1.0f);
    auto palette = client.getPaletteImage();
    std::unique_ptr<zol::PaletteImage> rgb(palette.second);
    EXPECT_TRUE(palette.first);
    EXPECT_EQ(rgb->width * rgb->height, 160u * 120u);
    EXPECT_EQ(client.triggerFlag(), 0);
    EXPECT_EQ(client.setFlagAutoMode(false), 0);
    EXPECT_TRUE(waitFor("out.txt", "client connected\nforceFlag\nsetAutoFlag(false\n"));

    const auto stop = std::chrono::steady_clock::now();
    signal("TERM");
    EXPECT_EQ(waitForExit(), 255);
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s);
    const std::string out = readFile("out.txt");
    EXPECT_EQ(out.rfind("serial: 20240777\nfov: 23\nformatsPath: " + path("cali") +
                            "\ncaliPath: " + path("cali") + "\ntMin: -20\n",
                        0),
              0u)
        << out;
    EXPECT_EQ(readFile("err.txt"), "");
}

// A stop before any client connected also ends the process through the worker.
TEST_F(DaemonProgram, StopWhileWaitingForAClient) {
    if (!portFree()) {
        GTEST_SKIP() << "port " << kPort << " is in use";
    }
    start({path("daemon.xml")}, simulatedCamera());
    ASSERT_TRUE(waitFor("out.txt", "wait for client...\n")) << readFile("err.txt");
    const auto stop = std::chrono::steady_clock::now();
    signal("HUP");
    EXPECT_EQ(waitForExit(), 255);
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s);
    EXPECT_NE(readFile("out.txt").find("error at connecting will exit ... what?: "),
              std::string::npos);
}

}  // namespace
