// The calibration manager: directories and paths, completeness, the configuration template, and
// downloads from a server on 127.0.0.1 (links, refusals, bounds).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "common/HttpTestServer.h"
#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "kelvix/IRCalibrationManager.h"
#include "kelvix/Logger.h"
#include "platform/Http.h"
#include "platform/Paths.h"
#include "platform/Strings.h"

namespace {

using kelvix_test::HttpTestServer;

// One optic with two frame rates in its range, one sample-point optic without frame rates.
std::string description(const std::string& secondText = "wide") {
    return "<?xml version=\"1.0\"?>\n<CaliData>\n"
           "<Temperature><Optics>\n"
           "<OpticsDef><FOV>23</FOV><TempRanges><TemperatureRange>"
           "<TempLo>-20</TempLo><TempHi>100</TempHi>"
           "<Framerates><Framerate><FR>80</FR></Framerate><Framerate><FR>27</FR></Framerate>"
           "</Framerates></TemperatureRange></TempRanges></OpticsDef>\n"
           "<OpticsDef><FOV>6</FOV><Text>" +
           secondText +
           "</Text><SamplePointCali>true</SamplePointCali><TempRanges><TemperatureRange>"
           "<TempLo>0</TempLo><TempHi>250.5</TempHi></TemperatureRange></TempRanges></OpticsDef>\n"
           "</Optics></Temperature>\n</CaliData>\n";
}

std::vector<std::string> tableNames(const std::string& s) {
    return {"Cali-" + s + "-23-M20-100-80.dat", "Kennlinie-" + s + "-23-M20-100-80.prn",
            "Cali-" + s + "-23-M20-100-27.dat", "Kennlinie-" + s + "-23-M20-100-27.prn",
            "Cali-" + s + "-6-wide-0-250.dat"};
}

class IRCalibrationManagerTest : public kelvix_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        mgr_ = zol::IRCalibrationManager::getInstance();
        caliDir_ = wpath("cali");
        mgr_->setCalibrationDir(caliDir_.c_str());
        mgr_->setFormatsDir(wpath("formats").c_str());
        zol::Logger::getInstance()->configure("calitest", zol::Logger::ModeConsole, 0,
                                              zol::Logger::Info);
    }
    void TearDown() override {
        for (const char* v :
             {"KELVIX_CALI_SERVER", "KELVIX_WEBSITE", "KELVIX_HTTP_TIMEOUT", "KELVIX_DOC_URL"}) {
            platform::setEnvironment(v, nullptr);
        }
        TempDirTest::TearDown();
    }

    std::wstring checked(unsigned long serial) {
        wchar_t* list = mgr_->checkCalibration(serial);
        std::wstring out = list != nullptr ? list : L"<none>";
        delete[] list;
        return out;
    }

    void writeCali(const std::string& name, const std::string& content) {
        platform::createDirectory(caliDir_);
        writeFile("cali/" + name, content);
    }

    zol::IRCalibrationManager* mgr_ = nullptr;
    std::wstring caliDir_;
};

TEST_F(IRCalibrationManagerTest, DirectoriesAndPaths) {
    mgr_->setCalibrationDir(nullptr);
    EXPECT_EQ(caliDir_, mgr_->getCalibrationDir());
    std::wstring longDir(400, L'd');
    mgr_->setFormatsDir(longDir.c_str());
    EXPECT_EQ(std::wstring(259, L'd'), mgr_->getFormatsDir());

    wchar_t out[260];
    ASSERT_TRUE(mgr_->createConfigFilepath(out, L"/some/dir", 260, L"Formats", L".def"));
    EXPECT_STREQ(L"/some/dir/Formats.def", out);
    ASSERT_TRUE(mgr_->createConfigFilepath(out, L"", 260, L"Cali-1", L".xml"));
    EXPECT_EQ(platform::toWide(dir_ + "/share/Imager/Cali-1.xml"), out);
    EXPECT_TRUE(platform::directoryExists(wpath("share/Imager")));
    // Exactly filling the buffer fits; one more character does not.
    std::wstring dir(260 - 1 - std::wstring(L"/F.x").size(), L'a');
    wchar_t small[260];
    EXPECT_TRUE(mgr_->createConfigFilepath(small, dir.c_str(), 260, L"F", L".x"));
    dir += L'a';
    EXPECT_FALSE(mgr_->createConfigFilepath(small, dir.c_str(), 260, L"F", L".x"));
    EXPECT_FALSE(mgr_->createConfigFilepath(small, L"/d", 8, L"Formats", L".def"));

    unsigned long serial = 42;
    EXPECT_FALSE(mgr_->findSerial(serial));
    EXPECT_EQ(42u, serial);
}

TEST_F(IRCalibrationManagerTest, CompletenessCheck) {
    // Without a description only its own name is reported.
    EXPECT_EQ(L"Cali-31000001.xml;", checked(31000001));

    writeCali("Cali-31000002.xml", description());
    std::wstring expected;
    for (const std::string& n : tableNames("31000002")) {
        expected += platform::toWide(n) + L";";
    }
    // Two frame rates give two .dat and two .prn names; the sample-point optic no .prn.
    EXPECT_EQ(expected, checked(31000002));
    EXPECT_EQ(std::wstring::npos, checked(31000002).find(L"Kennlinie-31000002-6"));

    for (const std::string& n : tableNames("31000002")) {
        writeCali(n, "x");
    }
    EXPECT_EQ(L"<none>", checked(31000002));
    // While a camera holds the description, another folder still lacks it.
    const std::shared_ptr<Cali> held = Cali::acquire(caliDir_.c_str(), 31000002);
    mgr_->setCalibrationDir(wpath("elsewhere").c_str());
    EXPECT_EQ(L"Cali-31000002.xml;", checked(31000002));
    mgr_->setCalibrationDir(caliDir_.c_str());

    const std::vector<zol::IROptics>* optics = mgr_->getAvailableOptics(31000002);
    ASSERT_EQ(2u, optics->size());
    EXPECT_EQ(23, (*optics)[0].FOV);
    EXPECT_EQ(L"wide", (*optics)[1].text);
    ASSERT_EQ(1u, (*optics)[1].tempRanges.size());
    EXPECT_EQ(250, (*optics)[1].tempRanges[0].tMax);
    EXPECT_EQ(optics, mgr_->getAvailableOptics(0));
    EXPECT_EQ(2u, mgr_->getAvailableOptics(0)->size());
    EXPECT_TRUE(mgr_->getAvailableOptics(31000009)->empty());  // no description, no optics
}

TEST_F(IRCalibrationManagerTest, ConfigurationTemplate) {
    platform::setEnvironment("KELVIX_DOC_URL", "http://127.0.0.1/doc");
    writeCali("Cali-31000003.xml", "<CaliData>\n<!-- unbalanced\n</CaliData>\n");
    const std::string cali = dir_ + "/cali";
    const std::string formats = dir_ + "/formats";
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<imager xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">\n"
        "  <serial>31000003</serial>   <!-- Provide serial number, if you attach more than one "
        "camera -->\n"
        "  <videoformatindex>0</videoformatindex> <!-- index of the used video format (USB "
        "enpoint) -->\n"
        "  <formatspath>" +
        formats +
        "</formatspath>\n"
        "  <calipath>" +
        cali +
        "</calipath>\n"
        "  <!-- Uncomment the following lines to specify user-defined parameters for the "
        "desired optic\n"
        "       and temperature range. Be aware to specify meaningful parameters.\n"
        "       See documentation for further information: http://127.0.0.1/doc\n"
        "       By default, the first available optic and the first meaningful temperature "
        "range are selected.\n"
        "  -->\n"
        "  <!--\n"
        "  <fov>0</fov>\n"
        "  <temperature>\n"
        "    <min>-20</min>\n"
        "    <max>100</max>\n"
        "  </temperature>\n"
        "  <optics_text></optics_text>\n"
        "  -->\n"
        "  <framerate>32.0</framerate>             <!-- scaled down frame rate, must be less or "
        "equal than camera frame rate -->\n"
        "  <bispectral>0</bispectral>              <!-- 0=only thermal sensor, 1=bispectral "
        "technology (only VX710/VX740) -->\n"
        "  <average>0</average>                    <!-- average callback frames over "
        "intermediate frames -->\n"
        "  <autoflag>\n"
        "    <enable>1</enable>\n"
        "    <mininterval>15.0</mininterval>\n"
        "    <maxinterval>0.0</maxinterval>\n"
        "  </autoflag>\n"
        "  <pifmode>0</pifmode>                    <!-- 0=Image capture (default), 1=Flag "
        "control -->\n"
        "  <tchipmode>0</tchipmode>                <!-- 0=Floating (default), 1=Auto, 2=Fixed "
        "value -->\n"
        "  <tchipfixedvalue>40.0</tchipfixedvalue> <!-- Fixed value for tchipmode=2 -->\n"
        "</imager>\n";
    // An unreadable description: the whole template with the defaults.
    EXPECT_EQ(expected, platform::toNarrow(mgr_->generateConfiguration(31000003)));

    writeCali("Cali-31000004.xml", description());
    std::wstring t = mgr_->generateConfiguration(31000004);
    EXPECT_NE(std::wstring::npos, t.find(L"  <fov>23</fov>\n"));
    EXPECT_NE(std::wstring::npos, t.find(L"    <min>-20</min>\n    <max>100</max>\n"));
}

// A calibration repository tree served over HTTP on 127.0.0.1.
class CalibrationDownload : public IRCalibrationManagerTest {
  protected:
    void SetUp() override {
        IRCalibrationManagerTest::SetUp();
        platform::createDirectory(wpath("www"));
        server_ = std::make_unique<HttpTestServer>(path("www"));
        ASSERT_TRUE(server_->running());
        platform::setEnvironment("KELVIX_CALI_SERVER", server_->url().c_str());
    }
    void TearDown() override {
        server_.reset();
        IRCalibrationManagerTest::TearDown();
    }

    void links(const std::vector<std::string>& repos, bool withLinks = true) {
        std::string x = "<?xml version=\"1.0\"?>\n<DownloadLinks>\n<Imager>\n<CaliData>\n";
        x += withLinks ? "<Links>\n" : "<Other>\n";
        for (const std::string& r : repos) {
            x += "<string>" + server_->url() + "/" + r + "</string>\n";
        }
        x += withLinks ? "</Links>\n" : "</Other>\n";
        writeFile("www/downloadlinks.xml", x + "</CaliData>\n</Imager>\n</DownloadLinks>\n");
    }

    void publish(const std::string& repo, const std::string& folder, const std::string& name,
                 const std::string& content) {
        platform::createDirectory(wpath("www/" + repo + "/" + folder));
        writeFile("www/" + repo + "/" + folder + "/" + name, content);
    }

    // The description and its tables, readable, in the serial's folder (or `folder`).
    std::string publishSet(const std::string& repo, const std::string& s, std::string folder = "") {
        folder =
            folder.empty() ? s.substr(0, 2) + "/" + s.substr(0, 4) + "/Califiles SN" + s : folder;
        publish(repo, folder, "Cali-" + s + ".xml", description());
        for (const std::string& n : tableNames(s)) {
            publish(repo, folder, n, HttpTestServer::calibrationBody(n));
        }
        return folder;
    }

    std::unique_ptr<HttpTestServer> server_;
};

TEST_F(CalibrationDownload, FetchesDescriptionThenTablesTryingLinksInOrder) {
    links({"repoA", "repoB"});
    const std::string folder = "31/3100/Califiles SN31000005";
    publish("repoA", folder, "Cali-31000005.xml", description());
    for (const std::string& n : tableNames("31000005")) {
        publish("repoB", folder, n, HttpTestServer::calibrationBody(n));  // not in the first
    }
    testing::internal::CaptureStderr();
    EXPECT_TRUE(mgr_->downloadCalibration(31000005));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("All files installed."));
    EXPECT_EQ(L"<none>", checked(31000005));
    EXPECT_EQ(HttpTestServer::calibrationBody("Cali-31000005-6-wide-0-250.dat"),
              readFile("cali/Cali-31000005-6-wide-0-250.dat"));
    EXPECT_FALSE(platform::fileExists(wpath("downloadlinks.xml")));
}

TEST_F(CalibrationDownload, ShortSerialUsesWholeSerialForBothFolders) {
    links({"repo"});
    publishSet("repo", "123", "123/123/Califiles SN123");
    EXPECT_TRUE(mgr_->downloadCalibration(123));
    EXPECT_TRUE(platform::fileExists(caliDir_ + L"/Cali-123.xml"));
}

TEST_F(CalibrationDownload, ListWithoutLinksFailsAndIsRemoved) {
    links({"repo"}, false);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mgr_->downloadCalibration(31000006));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              log.find("Error parsing download links file: " + dir_ + "/downloadlinks.xml"));
    EXPECT_NE(std::string::npos, log.find("Download failed."));
    EXPECT_FALSE(platform::fileExists(wpath("downloadlinks.xml")));
}

TEST_F(CalibrationDownload, FailsWhenFilesStayMissing) {
    links({"repo"});
    // Delivered every time but never readable: the last check decides.
    publish("repo", "31/3100/Califiles SN31000007", "Cali-31000007.xml",
            "<CaliData>\n<!-- open\n</CaliData>\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mgr_->downloadCalibration(31000007));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Download failed."));

    // A file no link delivers is logged with its last address; nothing partial stays.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mgr_->downloadCalibration(31000008));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              log.find("Error downloading " + server_->url() +
                       "/repo/31/3100/Califiles%20SN31000008/Cali-31000008.xml"));
    EXPECT_FALSE(platform::fileExists(caliDir_ + L"/Cali-31000008.xml"));
    EXPECT_FALSE(platform::fileExists(caliDir_ + L"/Cali-31000008.xml.part"));

    EXPECT_FALSE(mgr_->downloadCalibration(0));
}

TEST_F(CalibrationDownload, RefusesFileNamesLeavingTheCalibrationDirectory) {
    links({"repo"});
    const std::string folder = "31/3100/Califiles SN31000009";
    publish("repo", folder, "Cali-31000009.xml", description("../../x"));
    for (const std::string& n : tableNames("31000009")) {
        publish("repo", folder, n, HttpTestServer::calibrationBody(n));
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mgr_->downloadCalibration(31000009));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              log.find("Refusing calibration file name outside the calibration directory: "
                       "Cali-31000009-6-../../x-0-250.dat"));
    EXPECT_NE(std::string::npos, log.find("Download failed."));
    EXPECT_FALSE(platform::fileExists(wpath("x-0-250.dat")));
    // The safe names were still fetched.
    EXPECT_TRUE(platform::fileExists(caliDir_ + L"/Cali-31000009-23-M20-100-27.dat"));
}

TEST_F(CalibrationDownload, TakesOnlyHttpAndBoundedBodies) {
    // A local file named by a link, directly or through a redirect, is never copied in, and a
    // body that never ends is cut off.
    writeFile("secret.xml", "<CaliData>\n</CaliData>\n");
    const std::string local = "file://" + path("secret.xml");
    writeFile("www/downloadlinks.xml",
              "<DownloadLinks>\n<Imager>\n<CaliData>\n<Links>\n<string>" + local +
                  "#</string>\n<string>" + server_->url() + "/_redirect/" + local +
                  "#</string>\n<string>" + server_->url() +
                  "/_endless#</string>\n</Links>\n</CaliData>\n</Imager>\n</DownloadLinks>\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mgr_->downloadCalibration(31000011));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("Download of " + local +
                                          "#/31/3100/Califiles%20SN"
                                          "31000011/Cali-31000011.xml refused: only http and "
                                          "https are allowed"))
        << log;
    EXPECT_NE(std::string::npos, log.find("/_redirect/" + local)) << log;
    EXPECT_NE(std::string::npos, log.find("/_endless#/31/3100/Califiles%20SN31000011/"
                                          "Cali-31000011.xml refused: more than 16 MiB"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Download failed."));
    EXPECT_FALSE(platform::fileExists(caliDir_ + L"/Cali-31000011.xml"));
    EXPECT_FALSE(platform::fileExists(caliDir_ + L"/Cali-31000011.xml.part"));
}

TEST_F(CalibrationDownload, SlowServersEndInTimeAndPlantedLinksAreNotFollowed) {
    // Short setting: a stall time of 1 s.
    platform::setEnvironment("KELVIX_HTTP_TIMEOUT", "1");
    writeFile("victim", "keep");
    platform::createDirectory(caliDir_);
    publishSet("repo", "31000024");
    const std::string slow = "refused: slower than 16 KiB/s over 1 s (KELVIX_HTTP_TIMEOUT";
    const struct {
        std::vector<std::string> repos;
        std::vector<std::string> expected;
    } cases[] = {
        {{"_drip/0"}, {slow}},  // headers, then silence
        {{"_drip/1"}, {slow}},  // 10 bytes per second
        {std::vector<std::string>(20001, "none"),
         {"holds more than 8 links; the rest are ignored", "Download failed."}},
        {{"repo"}, {"All files installed."}},
    };
    unsigned long serial = 31000020;
    for (const auto& c : cases) {
        ++serial;
        // A link where the download's temporary file used to be named.
        std::filesystem::create_symlink(path("victim"),
                                        path("cali/Cali-" + std::to_string(serial) + ".xml.part"));
        links(c.repos);
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.repos[0] == "repo", mgr_->downloadCalibration(serial));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        const std::string log = testing::internal::GetCapturedStderr();
        for (const std::string& e : c.expected) {
            EXPECT_NE(std::string::npos, log.find(e)) << serial << log.substr(0, 4000);
        }
        EXPECT_EQ("keep", readFile("victim"));
    }
    // A drip above the minimum rate is followed up to the size cap.
    EXPECT_EQ(platform::DownloadResult::TooLarge,
              platform::downloadToFile(server_->url() + "/_drip/16384", wpath("drip"),
                                       {256u << 10, 16 << 10}));
}

TEST_F(CalibrationDownload, SteadySlowLineIsFollowedToTheEnd) {
    // A stall time of 1 s, and a correction file of 128 KiB sent at 32 KiB/s.
    platform::setEnvironment("KELVIX_HTTP_TIMEOUT", "1");
    publishSet("repo", "31000030");
    const std::string dat = "Cali-31000030-6-wide-0-250.dat";
    const std::string body = HttpTestServer::calibrationBody(dat) + std::string(128 << 10, 'x');
    publish("repo", "31/3100/Califiles SN31000030", dat, body);
    links({"_paced/3277/whole/repo"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(mgr_->downloadCalibration(31000030));
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(CalibrationDownload, BodiesThatAreNotWhatTheyClaimAreRefused) {
    const std::string page = "<!DOCTYPE html>\n<html><body>Sign in</body></html>\n";
    const struct {
        int file;  // 0 the description, 1 correction data, 2 a table
        std::string body, repo, expected;
    } cases[] = {
        {0, page, "repo", "no end tag </CaliData>"},
        {0, "", "repo", "no end tag </CaliData>"},
        {0, "<?xml version=\"1.0\"?>\n<imager>\n</imager>\n", "repo", "no end tag"},
        {0, "<CaliData>\n</CaliData>\n", "repo", "no optic with a temperature range"},
        {0, description(), "_paced/4096/nolength/repo", "no end tag </CaliData>"},
        {0, description(), "_paced/4096/cut/repo",
         "the connection ended before its announced length"},
        {1, page, "repo", "its header does not read as correction data"},
        {2, page, "repo", "fewer than 8 lines of values"},
    };
    int serial = 31000040;
    for (const auto& c : cases) {
        const std::string s = std::to_string(++serial);
        const std::string name = c.file == 0 ? "Cali-" + s + ".xml" : tableNames(s)[c.file - 1];
        publish("repo", publishSet("repo", s), name, c.body);
        links({c.repo});
        testing::internal::CaptureStderr();
        EXPECT_FALSE(mgr_->downloadCalibration(serial));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, log.find(name + " refused: " + c.expected)) << log;
        EXPECT_FALSE(platform::pathExists(caliDir_ + L"/" + platform::toWide(name)));
    }
    // A description an earlier version kept although it is none is fetched again.
    writeCali("Cali-31000049.xml", page);
    publishSet("repo", "31000049");
    links({"repo"});
    EXPECT_TRUE(mgr_->downloadCalibration(31000049));
    EXPECT_EQ(description(), readFile("cali/Cali-31000049.xml"));
}

TEST_F(CalibrationDownload, ReachabilityCheck) {
    platform::setEnvironment("KELVIX_WEBSITE", server_->url().c_str());
    EXPECT_TRUE(mgr_->isOnlineCalibrationRepoAccessible());
    std::string closed = "http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort());
    platform::setEnvironment("KELVIX_WEBSITE", closed.c_str());
    EXPECT_FALSE(mgr_->isOnlineCalibrationRepoAccessible());
}

TEST_F(IRCalibrationManagerTest, UnreachableServersFailWithinBoundedTime) {
    using Clock = std::chrono::steady_clock;
    std::string closed = "http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort());
    platform::setEnvironment("KELVIX_CALI_SERVER", closed.c_str());
    testing::internal::CaptureStderr();
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(mgr_->downloadCalibration(31000010));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "Error downloading file " + closed + "/downloadlinks.xml"));

    // A server that accepts but never answers is given up after the configured stall time.
    platform::createDirectory(wpath("mute"));
    HttpTestServer mute(path("mute"), true);
    ASSERT_TRUE(mute.running());
    platform::setEnvironment("KELVIX_CALI_SERVER", mute.url().c_str());
    platform::setEnvironment("KELVIX_HTTP_TIMEOUT", "1");
    start = Clock::now();
    EXPECT_FALSE(mgr_->downloadCalibration(31000010));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(platform::fileExists(wpath("downloadlinks.xml")));
    EXPECT_FALSE(platform::fileExists(wpath("downloadlinks.xml.part")));
}

}  // namespace
