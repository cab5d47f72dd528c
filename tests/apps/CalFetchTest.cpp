// kelvixcalfetch as a program: options, target directories, the attached camera's serial and
// downloads from a calibration server on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CalFetch.h"
#include "SimVideo.h"
#include "common/HttpTestServer.h"
#include "common/TestEnv.h"
#include "platform/HResult.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

using kelvix_test::HttpTestServer;

const std::string kRepositoryMessage =
    "Calibration repository is not available. Please check Internet connection.\n";
const std::string kSerialMessage =
    "Serial number needs to have exactly 8 digits. Please check input parameter -d.\n";
const std::string kDeviceMessage =
    "Valid serial number cannot be determined. Is device attached?\n";
const std::string kDownloadMessage = "Download of calibration files failed.\n";

// One sample-point optic: the description and one correction file per camera.
std::string description() {
    return "<?xml version=\"1.0\"?>\n<CaliData>\n<Temperature><Optics>\n"
           "<OpticsDef><FOV>6</FOV><Text>wide</Text><SamplePointCali>true</SamplePointCali>"
           "<TempRanges><TemperatureRange><TempLo>0</TempLo><TempHi>250</TempHi>"
           "</TemperatureRange></TempRanges></OpticsDef>\n"
           "</Optics></Temperature>\n</CaliData>\n";
}

std::vector<std::string> fileNames(const std::string& serial) {
    return {"Cali-" + serial + ".xml", "Cali-" + serial + "-6-wide-0-250.dat"};
}

struct Outcome {
    int status = 0;
    std::string out;
    std::string err;
};

// A calibration repository and the maker's web site, both served on 127.0.0.1.
class CalFetchTest : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        platform::createDirectory(wpath("www"));
        server_ = std::make_unique<HttpTestServer>(path("www"));
        ASSERT_TRUE(server_->running());
        platform::setEnvironment("KELVIX_CALI_SERVER", server_->url().c_str());
        platform::setEnvironment("KELVIX_WEBSITE", server_->url().c_str());
        writeFile("www/downloadlinks.xml",
                  "<?xml version=\"1.0\"?>\n<DownloadLinks>\n<Imager>\n<CaliData>\n<Links>\n"
                  "<string>" +
                      server_->url() +
                      "/repo</string>\n</Links>\n</CaliData>\n</Imager>\n</DownloadLinks>\n");
    }
    void TearDown() override {
        server_.reset();
        platform::setEnvironment("KELVIX_CALI_SERVER", nullptr);
        platform::setEnvironment("KELVIX_WEBSITE", nullptr);
        TempDirTest::TearDown();
    }

    void publish(const std::string& serial) {
        const std::string folder = "www/repo/" + serial.substr(0, 2) + "/" + serial.substr(0, 4) +
                                   "/Califiles SN" + serial;
        platform::createDirectory(wpath(folder));
        writeFile(folder + "/" + fileNames(serial)[0], description());
        writeFile(folder + "/" + fileNames(serial)[1],
                  HttpTestServer::calibrationBody(fileNames(serial)[1]));
    }

    bool installed(const std::string& dir, const std::string& serial) {
        for (const std::string& name : fileNames(serial)) {
            if (!platform::fileExists(platform::toWide(dir + "/" + name))) {
                return false;
            }
        }
        return true;
    }

    void closeWebSite() {
        std::string closed = "http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort());
        platform::setEnvironment("KELVIX_WEBSITE", closed.c_str());
    }

    std::string defaultDir() const { return dir_ + "/share/Imager/Cali"; }

    std::unique_ptr<HttpTestServer> server_;
};

// The program itself, run in the test's directory with the test's environment.
class CalFetchProgram : public CalFetchTest {
  protected:
    static std::string quoted(const std::string& s) {
        std::string q = "'";
        for (char c : s) {
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return q + "'";
    }

    Outcome run(const std::vector<std::string>& args, const std::string& locale = "C.UTF-8") {
        std::string command = "LC_ALL=" + locale + " " + quoted(KELVIX_CALFETCH_PROGRAM);
        for (const std::string& a : args) {
            command += " " + quoted(a);
        }
        command += " >out.txt 2>err.txt </dev/null; echo $? >status.txt";
        Outcome o;
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << "cannot run " << command;
            return o;
        }
        o.status = std::atoi(readFile("status.txt").c_str());
        o.out = readFile("out.txt");
        o.err = readFile("err.txt");
        return o;
    }
};

TEST_F(CalFetchProgram, UnreachableSiteStopsBeforeAnyOptionIsRead) {
    publish("31000001");
    closeWebSite();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-d", "31000001", "-t", path("target")},
          std::vector<std::string>{"-d", "1"}}) {
        Outcome o = run(args);
        EXPECT_EQ(255, o.status);
        EXPECT_EQ(kRepositoryMessage, o.err);
        EXPECT_EQ("", o.out);
    }
    EXPECT_FALSE(platform::directoryExists(wpath("target")));
}

TEST_F(CalFetchProgram, SerialOutsideEightDigitsIsRefused) {
    for (const char* serial : {"1234567", "123456789", "00001234", "99999999999999999999999"}) {
        Outcome o = run({"-d", serial, "-t", path("target")});
        EXPECT_EQ(255, o.status) << serial;
        EXPECT_EQ(kSerialMessage, o.err) << serial;
    }
    EXPECT_FALSE(platform::directoryExists(wpath("target")));
}

TEST_F(CalFetchProgram, DownloadsIntoTargetWithoutItsTrailingSeparators) {
    publish("31000002");
    // Digits followed by other text count with their leading number; the directory is new.
    Outcome o = run({"-d", "31000002x", "-t", path("new/target") + "//"});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("All files installed.")) << o.err;
    EXPECT_TRUE(installed(path("new/target"), "31000002"));
    EXPECT_EQ(HttpTestServer::calibrationBody(fileNames("31000002")[1]),
              readFile("new/target/Cali-31000002-6-wide-0-250.dat"));
    EXPECT_TRUE(platform::directoryExists(wpath("share/Imager")));

    // Already complete: nothing to fetch, still success.
    o = run({"-d", "31000002", "-t", path("new/target")});
    EXPECT_EQ(0, o.status);
}

TEST_F(CalFetchProgram, DefaultTargetIsTheCalibrationDirectory) {
    publish("31000003");
    // An empty -t is ignored.
    Outcome o = run({"-t", "", "-d", "31000003"});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_TRUE(installed(defaultDir(), "31000003"));
}

TEST_F(CalFetchProgram, NonAsciiTargetDirectory) {
    publish("31000004");
    Outcome o = run({"-d", "31000004", "-t", "Äpfel/Kälte"});
    EXPECT_EQ(0, o.status) << o.err;
    // Checked with narrow names: this test program runs in the C locale.
    EXPECT_EQ(HttpTestServer::calibrationBody(fileNames("31000004")[1]),
              readFile("Äpfel/Kälte/Cali-31000004-6-wide-0-250.dat"));
    EXPECT_EQ(description(), readFile("Äpfel/Kälte/Cali-31000004.xml"));
    // Without a UTF-8 locale, and with a name that is not UTF-8: the bytes as given.
    for (const std::string dir : {"t-caf\xC3\xA9", "t-caf\xE9"}) {
        o = run({"-d", "31000004", "-t", dir}, "C");
        EXPECT_EQ(0, o.status) << o.err;
        EXPECT_EQ(description(), readFile(dir + "/Cali-31000004.xml")) << dir;
    }
}

TEST_F(CalFetchProgram, ScanStopsAtFirstNonOptionAndUnknownOptionsAreIgnored) {
    publish("31000005");
    Outcome o = run({"-x", "-d", "31000005", "-t", path("t"), "rest", "-d", "1", "-t", "/x"});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("invalid option")) << o.err;
    EXPECT_EQ(std::string::npos, o.err.find(kSerialMessage));
    EXPECT_TRUE(installed(path("t"), "31000005"));
}

TEST_F(CalFetchProgram, VerboseShowsDebugLines) {
    publish("31000006");
    Outcome quiet = run({"-d", "31000006", "-t", path("a")});
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ(std::string::npos, quiet.err.find("DEBUG ")) << quiet.err;
    Outcome verbose = run({"-v", "-d", "31000006", "-t", path("b")});
    EXPECT_EQ(0, verbose.status);
    EXPECT_NE(std::string::npos, verbose.err.find("DEBUG [Cali:")) << verbose.err;
}

TEST_F(CalFetchProgram, FailedDownloadAndOverlongTargetFail) {
    // Nothing published for this serial.
    Outcome o = run({"-d", "31000007", "-t", path("t")});
    EXPECT_EQ(255, o.status);
    EXPECT_NE(std::string::npos, o.err.find("Download failed.")) << o.err;
    EXPECT_EQ(kDownloadMessage, o.err.substr(o.err.size() - kDownloadMessage.size()));

    // A directory the manager could only keep cut short is refused, not shortened.
    publish("31000008");
    std::string longDir = path(std::string(300 - dir_.size(), 'd'));
    o = run({"-d", "31000008", "-t", longDir});
    EXPECT_EQ(255, o.status);
    EXPECT_EQ("Target directory is too long. Please check input parameter -t.\n", o.err);
    EXPECT_FALSE(platform::directoryExists(platform::toWide(longDir.substr(0, 259))));
}

TEST_F(CalFetchProgram, OverlongDefaultDirectoryIsRefused) {
    publish("31000009");
    platform::setEnvironment("XDG_DATA_HOME", nullptr);
    const std::string home = path(std::string(239 - dir_.size(), 'h'));
    platform::setEnvironment("HOME", home.c_str());
    Outcome o = run({"-d", "31000009"});
    EXPECT_EQ(255, o.status);
    EXPECT_EQ("Target directory is too long. Please check input parameter -t.\n", o.err);
    // The default cut to the manager's 259 characters names a sibling of "Imager".
    EXPECT_FALSE(platform::pathExists(platform::toWide(home + "/.local/share/Image")));
    EXPECT_EQ(0, run({"-d", "31000009", "-t", path("t")}).status);
}

TEST_F(CalFetchProgram, InterruptedRunsLeaveNoPartialFiles) {
    publish("31000013");
    platform::createDirectory(wpath("t"));
    for (const char* name : {"t/Cali-31000013.xml.0123abcd.part", "t/Kennlinie-x.prn.89abcdef.part",
                             "t/notes.txt.0123abcd.part"}) {
        writeFile(name, "x");
    }
    // While one run waits on a stalled server, another removes what killed runs left, but not
    // the partial file the waiting run holds; a signal then ends the first run and removes it.
    const std::string tool = quoted(KELVIX_CALFETCH_PROGRAM);
    for (const auto& [signal, number] : {std::pair{"INT", 2}, {"TERM", 15}, {"HUP", 1}}) {
        std::system(("(KELVIX_CALI_SERVER=" + server_->url() +
                     "/_drip/0 env --default-signal=INT " + tool +
                     " -d 31000014 -t u & p=$!; for i in $(seq 200); do ls *.part && break; "
                     "sleep 0.05; done; " +
                     tool + " -d 31000013 -t t; ls *.part >held.txt; kill -" + signal +
                     " $p; wait $p; echo $? >status.txt; ls *.part t/*.part >left.txt) "
                     ">/dev/null 2>&1")
                        .c_str());
        const std::string held = readFile("held.txt");
        EXPECT_EQ(1, std::count(held.begin(), held.end(), '\n')) << held;
        EXPECT_EQ(128 + number, std::atoi(readFile("status.txt").c_str())) << signal;
        EXPECT_EQ("t/notes.txt.0123abcd.part\n", readFile("left.txt")) << signal;
    }
}

// The tool in-process, with simulated cameras on the video side.
class CalFetchCamera : public CalFetchTest {
  protected:
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "kelvixcalfetch");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        kelvixcalfetch::CalFetch tool;
        return tool.run(static_cast<int>(args.size()), argv.data());
    }

    void attach(std::uint32_t serial) {
        auto camera = std::make_shared<sim::SimCamera>(serial);
        camera->video.friendlyName = L"Camera";
        camera->video.capabilities = {{32, 24, 100000}};
        sim_.attach(camera);
    }

    sim::ScopedSimVideo sim_;
};

TEST_F(CalFetchCamera, SerialComesFromTheAttachedCamera) {
    attach(31000011);
    publish("31000011");
    // A -d value that does not start with a digit is ignored.
    EXPECT_EQ(0, run({"-d", "abc", "-t", path("cam")}));
    EXPECT_TRUE(installed(path("cam"), "31000011"));
}

TEST_F(CalFetchCamera, NoUsableCameraPrintsTheDeviceMessage) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, run({"-t", path("none")}));
    EXPECT_EQ(kDeviceMessage, testing::internal::GetCapturedStdout());

    // A capture graph that cannot be built counts as no camera.
    attach(31000012);
    publish("31000012");
    sim_.capture.fail(sim::SimCaptureCall::CreateGraph, E_FAIL);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, run({"-t", path("none")}));
    EXPECT_EQ(kDeviceMessage, testing::internal::GetCapturedStdout());
    EXPECT_FALSE(installed(path("none"), "31000012"));
}

}  // namespace
