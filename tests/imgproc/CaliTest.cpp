// The calibration description: reading, defaults, lookups, file-name stems, huge descriptions, and
// queries while another thread reloads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "common/TestEnv.h"
#include "imgproc/Cali.h"
#include "kelvix/IRLogger.h"
#include "platform/HResult.h"

namespace {

const char* kDescription = R"(<?xml version="1.0" encoding="UTF-8"?>
<CaliData>
  <Main>
    <TecA>3000</TecA>
    <TempChipFactor>1.25</TempChipFactor>
    <AddedOffset>-7</AddedOffset>
    <FlagCycles>12</FlagCycles>
  </Main>
  <Temperature>
    <Optics>
      <OpticsDef>
        <FOV>23</FOV><SerNo>5</SerNo><Text>tele</Text><SamplePointCali>TRUE</SamplePointCali>
        <TempRanges>
          <TemperatureRange>
            <Fid>3</Fid><Skim>77</Skim><TempLo>-20</TempLo><TempHi>100</TempHi>
            <TempLoExt>-10</TempLoExt><TempHiExt>120</TempHiExt>
            <Framerates><Framerate><FR>80</FR></Framerate><Framerate><FR>27</FR></Framerate></Framerates>
            <Decimal>2</Decimal>
            <TableParams><Normalize>1</Normalize><T1>10</T1><T3>300</T3><E1>100</E1><E3>9000</E3><Lambda>8.5</Lambda></TableParams>
          </TemperatureRange>
          <TemperatureRange>
            <TempLo>100</TempLo><TempHi>900</TempHi><TempLoExt>50</TempLoExt><TempHiExt>800</TempHiExt>
            <Framerates></Framerates>
          </TemperatureRange>
        </TempRanges>
      </OpticsDef>
      <OpticsDef>
        <FOV>23</FOV>
        <TempRanges><TemperatureRange><TempLo>0</TempLo><TempHi>250</TempHi></TemperatureRange></TempRanges>
      </OpticsDef>
    </Optics>
  </Temperature>
</CaliData>
)";

class CaliTest : public kelvix_test::TempDirTest {};

// The singleton is process-wide: each test uses serials of its own.
TEST_F(CaliTest, ReadsDescriptionKeepsDefaultsAndReloadsOnlyForNewSerial) {
    writeFile("Cali-9001.xml", kDescription);
    Cali* cali = Cali::getInstance();
    ASSERT_EQ(0, cali->readXML(wpath("").c_str(), 9001));
    EXPECT_TRUE(cali->isLoaded());
    EXPECT_EQ(9001, cali->getSerial());

    CaliMain m = cali->getMain();
    EXPECT_EQ(3000, m.TecA);
    EXPECT_EQ(400, m.TecB);
    EXPECT_FLOAT_EQ(1.25f, m.TempChipFactor);
    EXPECT_EQ(-7, m.AddedOffset);
    EXPECT_EQ(12, m.FlagCycles);
    EXPECT_FLOAT_EQ(0.8f, m.BindTempChipToTempFlagOffset);

    ASSERT_EQ(2, cali->getOpticsCount());
    CaliOptics o;
    ASSERT_TRUE(cali->getOpticsData(0, &o));
    EXPECT_EQ(L"tele", o.Text);
    EXPECT_EQ(5, o.SerNo);
    EXPECT_TRUE(o.SamplePointCali);
    ASSERT_EQ(2u, o.ranges.size());
    const CaliTempRange& r0 = o.ranges[0];
    EXPECT_EQ(3, r0.Fid);
    EXPECT_EQ(77, r0.Skim);
    EXPECT_EQ(-20.0f, r0.TempLoExt);  // -10 lies inside the range
    EXPECT_EQ(120.0f, r0.TempHiExt);
    EXPECT_EQ(2, r0.Decimal);
    EXPECT_TRUE(r0.tableParams.Normalize);
    EXPECT_EQ(300.0, r0.tableParams.T3);
    EXPECT_EQ(9000, r0.tableParams.E3);
    EXPECT_DOUBLE_EQ(8.5, r0.tableParams.Lambda);
    EXPECT_EQ(50.0f, o.ranges[1].TempLoExt);
    EXPECT_EQ(900.0f, o.ranges[1].TempHiExt);  // 800 lies inside the range

    // The same serial again reads nothing, even when the file is gone.
    std::remove(path("Cali-9001.xml").c_str());
    EXPECT_EQ(0, cali->readXML(wpath("").c_str(), 9001));
    EXPECT_EQ(2, cali->getOpticsCount());

    // Another serial without a file: defaults, not loaded.
    EXPECT_EQ(E_ACCESSDENIED, cali->readXML(wpath("").c_str(), 9002));
    EXPECT_FALSE(cali->isLoaded());
    EXPECT_EQ(-1, cali->getSerial());
    EXPECT_EQ(3400, cali->getMain().TecA);
    ASSERT_EQ(1, cali->getOpticsCount());
    CaliTempPair pair;
    ASSERT_TRUE(cali->getTempRange({0, L""}, 2, &pair));
    EXPECT_EQ(150.0f, pair.lo);
    EXPECT_EQ(900.0f, pair.hi);
    EXPECT_FALSE(cali->getTempRange({0, L""}, 3, &pair));
}

TEST_F(CaliTest, Lookups) {
    writeFile("Cali-9003.xml", kDescription);
    Cali* cali = Cali::getInstance();
    ASSERT_EQ(0, cali->readXML(wpath("").c_str(), 9003));

    // Strict and lenient optics search.
    EXPECT_EQ(0, cali->findOptics({23, L"tele"}));
    EXPECT_EQ(1, cali->findOptics({23, L""}));
    EXPECT_EQ(0, cali->findOpticsIndex(23, L""));
    EXPECT_EQ(0, cali->findOpticsIndex(23, nullptr));
    EXPECT_EQ(1, cali->findOpticsIndex(23, L"wide"));
    EXPECT_EQ(-1, cali->findOpticsIndex(12, L""));

    // Exact range comparison.
    EXPECT_EQ(0, cali->findTempRange(23, L"tele", -20.0f, 100.0f));
    EXPECT_EQ(1, cali->findTempRange(23, L"tele", 100.0f, 900.0f));
    EXPECT_EQ(-1, cali->findTempRange(23, L"tele", -20.0f, 99.5f));
    EXPECT_EQ(-1, cali->findTempRange(23, nullptr, -20.0f, 100.0f));
    EXPECT_EQ(2, cali->getTempRangeCount({23, L"tele"}));
    EXPECT_EQ(-1, cali->getTempRangeCount({24, L""}));
    CaliTempPair ext;
    ASSERT_TRUE(cali->getTempRangeExt({23, L"tele"}, 0, &ext));
    EXPECT_EQ(120.0f, ext.hi);

    // Frame rates: listed, missing from a list, empty list, no list.
    EXPECT_EQ(1, cali->findFramerate(23, L"tele", -20, 100, 27));
    EXPECT_EQ(-2, cali->findFramerate(23, L"tele", -20, 100, 30));
    EXPECT_EQ(-2, cali->findFramerate(23, L"tele", 100, 900, 27));
    EXPECT_EQ(-1, cali->findFramerate(23, L"", 0, 250, 27));
    EXPECT_EQ(-1, cali->findFramerate(23, L"tele", 0, 250, 27));
    EXPECT_EQ(80, cali->getFramerate({23, L"tele"}, {-20, 100}, 0));
    EXPECT_EQ(0, cali->getFramerate({23, L"tele"}, {-20, 100}, 2));
    EXPECT_EQ(0, cali->getFramerate({23, L"tele"}, {-20, 100}, -1));
    EXPECT_EQ(0, cali->getFramerate({23, L""}, {0, 250}, 0));

    CaliOpticsKey key;
    ASSERT_TRUE(cali->getOptics(1, &key));
    EXPECT_EQ(23, key.FOV);
    EXPECT_TRUE(key.text.empty());
    EXPECT_FALSE(cali->getOptics(2, &key));
}

TEST_F(CaliTest, HugeDescriptionsReadInLinearTimeUpToTheirBounds) {
    // 8000 optics, each with 40 ranges of 20 frame rates and keys left out (a lookup of a
    // missing key must not search the rest of the document): the first 64 optics with 32
    // ranges of 16 rates are read, and ERROR lines name the file.
    std::string ranges;
    for (int r = 0; r < 40; ++r) {
        ranges += "<TemperatureRange><TempLo>" + std::to_string(r) + "</TempLo><Framerates>";
        for (int f = 0; f < 20; ++f) {
            ranges += "<Framerate><FR>" + std::to_string(f) + "</FR></Framerate>\n";
        }
        ranges += "</Framerates></TemperatureRange>";
    }
    std::string doc = "<CaliData>\n<Temperature><Optics>\n";
    for (int i = 0; i < 8000; ++i) {
        doc += "<OpticsDef><FOV>" + std::to_string(i) + "</FOV><TempRanges>" +
               (i < 70 ? ranges : "") + "</TempRanges></OpticsDef>\n";
    }
    writeFile("Cali-9004.xml", doc + "</Optics></Temperature>\n</CaliData>\n");
    zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, "t");
    testing::internal::CaptureStderr();
    // Processor time, not wall time: a machine busy with other tests must not fail this.
    const std::clock_t start = std::clock();
    Cali* cali = Cali::getInstance();
    ASSERT_EQ(0, cali->readXML(wpath("").c_str(), 9004));
    EXPECT_LT(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC, 5.0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Cali-9004.xml lists 8000 optics, only the first 64 are read"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("lists 40 temperature ranges, only the first 32"), std::string::npos);
    EXPECT_NE(log.find("lists 20 frame rates, only the first 16"), std::string::npos);
    ASSERT_EQ(cali->getOpticsCount(), 64);
    CaliOptics last;
    ASSERT_TRUE(cali->getOpticsData(63, &last));
    EXPECT_EQ(last.FOV, 63);
    ASSERT_EQ(last.ranges.size(), 32u);
    EXPECT_EQ(last.ranges[31].TempLo, 31.0f);
    EXPECT_EQ(last.ranges[31].TempLoExt, 31.0f);
    ASSERT_EQ(last.ranges[31].framerates.size(), 16u);
    EXPECT_EQ(last.ranges[31].framerates[15], 15);
    // Leave the process-wide description as the other tests expect to find it.
    writeFile("Cali-9005.xml", kDescription);
    EXPECT_EQ(0, cali->readXML(wpath("").c_str(), 9005));
}

TEST(CaliFileName, Stems) {
    wchar_t b[260];
    ASSERT_TRUE(Cali::makeFileName(12345, 23, nullptr, -20, 100, 0, b, 260));
    EXPECT_STREQ(L"12345-23-M20-100", b);
    ASSERT_TRUE(Cali::makeFileName(12345, 23, L"tele", -20, 100, 80, b, 260));
    EXPECT_STREQ(L"12345-23-tele-M20-100-80", b);
    ASSERT_TRUE(Cali::makeFileName(1, 6, L"", 0, -5.5f, 0, b, 260));
    EXPECT_STREQ(L"1-6-0-M5", b);
    ASSERT_TRUE(Cali::makeFileName(1, 6, L"", -0.5f, 1e30f, 0, b, 260));
    EXPECT_STREQ(L"1-6-M0-2147483647", b);
    ASSERT_TRUE(Cali::makeFileName(1, 6, L"", std::nanf(""), 5, 0, b, 260));
    EXPECT_STREQ(L"1-6-0-5", b);
    // A name that does not fit is refused rather than cut.
    EXPECT_FALSE(Cali::makeFileName(12345, 23, L"tele", -20, 100, 80, b, 10));
}

class CaliThreaded : public kelvix_test::TempDirTest {};

TEST_F(CaliThreaded, QueriesWhileAnotherThreadReloads) {
    writeFile("Cali-9101.xml", kDescription);
    writeFile("Cali-9102.xml",
              "<CaliData>\n<Temperature><Optics><OpticsDef><FOV>6</FOV><TempRanges>"
              "<TemperatureRange><TempLo>-20</TempLo><TempHi>100</TempHi></TemperatureRange>"
              "</TempRanges></OpticsDef></Optics></Temperature>\n</CaliData>\n");
    Cali* cali = Cali::getInstance();
    std::wstring dir = wpath("");
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 100; ++i) {
            cali->readXML(dir.c_str(), 9101 + (i & 1));
        }
        done = true;
    });
    int inconsistent = 0;
    while (!done) {
        CaliOptics o;
        if (cali->getOpticsData(0, &o)) {
            // Optic 0 is one of the two descriptions or the defaults, never a mix.
            bool tele = o.FOV == 23 && o.Text == L"tele" && o.ranges.size() == 2;
            bool six = o.FOV == 6 && o.ranges.size() == 1;
            bool defaults = o.FOV == 0 && o.ranges.size() == 3;
            inconsistent += tele || six || defaults ? 0 : 1;
        }
        cali->findFramerate(23, L"tele", -20, 100, 27);
        cali->getMain();
    }
    reader.join();
    EXPECT_EQ(0, inconsistent);
}

}  // namespace
