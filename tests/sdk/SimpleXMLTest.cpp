// The XML reader: root and line rules, file limits, nested comments, navigation and depth.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/TestEnv.h"
#include "kelvix/IRLogger.h"
#include "kelvix/SimpleXML.h"
#include "platform/Paths.h"

namespace {

using kelvix_test::TempDirTest;

class SimpleXMLTest : public TempDirTest {
  protected:
    // Writes `content` and opens it with root "imager".
    bool load(const std::string& content, const char* root = "imager") {
        writeFile("doc.xml", content);
        const std::wstring wroot(root, root + std::char_traits<char>::length(root));
        return xml_.open(wpath("doc.xml").c_str(), wroot.c_str());
    }
    std::wstring text() const { return std::wstring(xml_.getText(), xml_.getLength()); }

    zol::SimpleXML xml_;
};

TEST_F(SimpleXMLTest, KeepsOnlyTheLinesStrictlyInsideTheRoot) {
    ASSERT_TRUE(
        load("junk <?xml version=\"1.0\"?>\r\n<imager a=\"1\"><lost>1</lost>\r\n"
             "  <serial>42</serial>\r\n<fov>3\r</fov>\n</imager>\n<after>1</after>"));
    // Line breaks vanish, a CR alone becomes LF, the root lines are dropped whole.
    EXPECT_EQ(text(), L"  <serial>42</serial><fov>3\n</fov>");
    int v = 0;
    EXPECT_FALSE(xml_.getInt(L"lost", &v));
    EXPECT_FALSE(xml_.getInt(L"after", &v));
    EXPECT_TRUE(xml_.getInt(L"fov", &v));
    EXPECT_EQ(v, 3);
}

TEST_F(SimpleXMLTest, RootMatchingAndDegenerateFiles) {
    // Prefix match of the start line.
    ASSERT_TRUE(load("<imagers>\n<a>1</a>\n</imager>\n"));
    EXPECT_EQ(text(), L"<a>1</a>");
    // Root on one line, absent root, no "<" at all, empty file: all give an empty text.
    for (const char* doc : {"<imager><a>1</a></imager>\n<a>2</a>\n", "<other>\n<a>1</a>\n</other>",
                            "no markup here\nat all", ""}) {
        SCOPED_TRACE(doc);
        zol::SimpleXML xml;
        writeFile("d.xml", doc);
        ASSERT_TRUE(xml.open(wpath("d.xml").c_str(), L"imager"));
        EXPECT_EQ(xml.getLength(), 0);
        EXPECT_EQ(xml.getText()[0], L'\0');
        EXPECT_FALSE(xml.openNode(L"a"));
        EXPECT_EQ(xml.countNodes(L"a"), 0);
    }
    // A last line without a line break is read like the others.
    ASSERT_TRUE(load("<imager>\n<a>1</a>\n<b>2</b>"));
    EXPECT_EQ(text(), L"<a>1</a><b>2</b>");
}

TEST_F(SimpleXMLTest, FailsOnMissingFileAndDirectory) {
    EXPECT_FALSE(xml_.open(wpath("missing.xml").c_str(), L"imager"));
    EXPECT_FALSE(xml_.open(wpath("").c_str(), L"imager"));
    EXPECT_FALSE(xml_.open(nullptr, L"imager"));
}

TEST_F(SimpleXMLTest, ReadsOnlyRegularFilesUpTo16MiB) {
    // A device that never ends and a FIFO without writer are refused at once, not read or
    // waited on; so is a file beyond the bound, while one at the bound is read.
    zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, "t");
    const bool fifo = std::system(("mkfifo '" + path("fifo.xml") + "'").c_str()) == 0;
    const std::string body = "<imager>\n<a>1</a>\n</imager>\n";
    writeFile("big.xml", body + std::string((16u << 20) - body.size(), ' '));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(xml_.open(L"/dev/zero", L"imager"));
    EXPECT_TRUE(!fifo || !xml_.open(wpath("fifo.xml").c_str(), L"imager"));
    EXPECT_TRUE(xml_.open(wpath("big.xml").c_str(), L"imager"));
    EXPECT_EQ(text(), L"<a>1</a>");
    writeFile("big.xml", body + std::string((16u << 20) + 1 - body.size(), ' '));
    EXPECT_FALSE(xml_.open(wpath("big.xml").c_str(), L"imager"));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("XML file /dev/zero refused: not a regular file"), std::string::npos);
    EXPECT_TRUE(!fifo || log.find(path("fifo.xml") + " refused") != std::string::npos) << log;
    EXPECT_NE(log.find(path("big.xml") + " refused: larger than 16 MiB"), std::string::npos);
}

TEST_F(SimpleXMLTest, LineOf4095IsKeptAndLineOf4096EndsTheReading) {
    const std::string pad4095 = "<a>" + std::string(4095 - 7, 'x') + "</a>";
    ASSERT_EQ(pad4095.size(), 4095u);
    ASSERT_TRUE(load("<imager>\n" + pad4095 + "\r\n<b>1</b>\n</imager>\n"));
    EXPECT_EQ(xml_.getLength(), 4095 + 8);
    EXPECT_TRUE(xml_.openNode(L"b"));

    const std::string pad4096 = "<a>" + std::string(4096 - 7, 'x') + "</a>";
    zol::SimpleXML xml;
    writeFile("long.xml", "<imager>\n<c>1</c>\n" + pad4096 + "\n<b>1</b>\n</imager>\n");
    ASSERT_TRUE(xml.open(wpath("long.xml").c_str(), L"imager"));
    EXPECT_EQ(std::wstring(xml.getText()), L"<c>1</c>");
    EXPECT_FALSE(xml.openNode(L"b"));

    // 4095 characters as the last line without a break is still whole.
    zol::SimpleXML last;
    writeFile("last.xml", "<imager>\n" + pad4095);
    ASSERT_TRUE(last.open(wpath("last.xml").c_str(), L"imager"));
    EXPECT_EQ(last.getLength(), 4095);
}

TEST_F(SimpleXMLTest, CommentsNestAndMustBalance) {
    ASSERT_TRUE(
        load("<imager>\n<a>1</a><!-- x <!-- <b>2</b>\n<c>3</c>-->-->\n"
             "<!--<b>4</b>--><d><!----></d>\n</imager>\n"));
    // Nested twice, closed by two adjacent closers, with a second comment after it.
    EXPECT_EQ(text(), L"<a>1</a><d></d>");
    EXPECT_FALSE(xml_.openNode(L"b"));
    EXPECT_FALSE(xml_.openNode(L"c"));

    for (const char* bad :
         {"<imager>\n<!-- <!-- -->\n</imager>\n", "<imager>\n<!-- <!-- --> --> -->\n</imager>\n",
          "<imager>\n--><!-- \n</imager>\n"}) {
        SCOPED_TRACE(bad);
        zol::SimpleXML xml;
        writeFile("bad.xml", bad);
        EXPECT_FALSE(xml.open(wpath("bad.xml").c_str(), L"imager"));
    }
}

TEST_F(SimpleXMLTest, NavigationFindsFirstOccurrencesAtAnyDepth) {
    ASSERT_TRUE(
        load("<imager>\n<p><item>a</item><q><item>b</item></q></p><item>c</item>\n"
             "<n><n>in</n>out</n><sp>1</sp><at x=\"1\">2</at>< sp>3</ sp>\n</imager>\n"));
    wchar_t* s = nullptr;
    // First start tag wins, searched at any depth.
    ASSERT_TRUE(xml_.getString(L"item", &s));
    EXPECT_STREQ(s, L"a");
    delete[] s;
    EXPECT_EQ(xml_.countNodes(L"item"), 3);

    ASSERT_TRUE(xml_.openNode(L"p"));
    EXPECT_EQ(xml_.getDepth(), 1);
    EXPECT_EQ(xml_.countNodes(L"item"), 2);
    ASSERT_TRUE(xml_.openNodeAt(L"item", 1));
    EXPECT_EQ(xml_.getDepth(), 2);
    EXPECT_TRUE(xml_.closeNode());
    // Index beyond the elements present, or negative: false, depth unchanged.
    EXPECT_FALSE(xml_.openNodeAt(L"item", 2));
    EXPECT_FALSE(xml_.openNodeAt(L"item", -1));
    EXPECT_EQ(xml_.getDepth(), 1);
    xml_.resetToRoot();
    EXPECT_FALSE(xml_.closeNode());
    EXPECT_EQ(xml_.getDepth(), 0);

    // An element holding one of its own name ends at the inner end tag.
    ASSERT_TRUE(xml_.getString(L"n", &s));
    EXPECT_STREQ(s, L"<n>in");
    delete[] s;
    // Tags with attributes or blanks are not found; a missing element gives null.
    s = reinterpret_cast<wchar_t*>(1);
    EXPECT_FALSE(xml_.getString(L"at", &s));
    EXPECT_EQ(s, nullptr);
    int v = 0;
    EXPECT_TRUE(xml_.getInt(L"sp", &v));
    EXPECT_EQ(v, 1);

    EXPECT_EQ(xml_.findTag(L"sp", 0, xml_.getLength(), false),
              static_cast<int>(text().find(L"<sp>") + 4));
    EXPECT_EQ(xml_.findTag(L"sp", 0, static_cast<int>(text().find(L"<sp>")), false), -1);
    EXPECT_EQ(xml_.findTag(L"sp", 0, xml_.getLength(), true),
              static_cast<int>(text().find(L"</sp>")));
}

TEST_F(SimpleXMLTest, WalkingASequenceFindsWhatIndexedLookupsFind) {
    ASSERT_TRUE(
        load("<imager>\n<i>0</i><x><i>1<i>2</i></i></x><i></i>junk<i>4</i><i>open\n"
             "</imager>\n"));
    int from = 0;
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        const bool indexed = xml_.openNodeAt(L"i", k);
        const int end = indexed ? xml_.getNodeEnd() : -1;
        if (indexed) {
            xml_.closeNode();
        }
        ASSERT_EQ(xml_.openNodeAfter(L"i", from), indexed);
        if (indexed) {
            EXPECT_EQ(xml_.getNodeEnd(), end);
            from = xml_.getNodeEnd();
            xml_.closeNode();
        }
    }
    EXPECT_EQ(xml_.getDepth(), 0);
}

TEST_F(SimpleXMLTest, DepthStopsAt254) {
    // Same-named nesting would end at the inner end tag, so every level has its own name.
    auto name = [](int i) { return "e" + std::to_string(i); };
    auto wname = [](int i) { return L"e" + std::to_wstring(i); };
    std::string doc = "<imager>\n";
    for (int i = 0; i < 256; ++i) {
        doc += "<" + name(i) + ">";
    }
    for (int i = 255; i >= 0; --i) {
        doc += "</" + name(i) + ">";
    }
    ASSERT_TRUE(load(doc + "\n</imager>\n"));
    for (int i = 0; i < 254; ++i) {
        ASSERT_TRUE(xml_.openNode(wname(i).c_str())) << i;
    }
    EXPECT_EQ(xml_.getDepth(), 254);
    EXPECT_FALSE(xml_.openNode(wname(254).c_str()));
    EXPECT_FALSE(xml_.openNodeAt(wname(254).c_str(), 0));
    int v = 0;
    EXPECT_FALSE(xml_.getInt(wname(254).c_str(), &v));
    EXPECT_EQ(xml_.countNodes(wname(254).c_str()), 0);
    EXPECT_EQ(xml_.getDepth(), 254);
    EXPECT_TRUE(xml_.closeNode());
    EXPECT_EQ(xml_.countNodes(wname(253).c_str()), 1);
}

TEST_F(SimpleXMLTest, NumberConversions) {
    ASSERT_TRUE(
        load("<imager>\n<hex>0x1E</hex><oct>010</oct><mix>12ab</mix><word>ab</word>"
             "<f> 2.5x</f><big>5000000000</big>\n</imager>\n"));
    int i = -1;
    EXPECT_TRUE(xml_.getInt(L"hex", &i));
    EXPECT_EQ(i, 30);
    EXPECT_TRUE(xml_.getInt(L"oct", &i));
    EXPECT_EQ(i, 8);
    EXPECT_TRUE(xml_.getInt(L"mix", &i));
    EXPECT_EQ(i, 12);
    i = -1;
    EXPECT_TRUE(xml_.getInt(L"word", &i));
    EXPECT_EQ(i, -1);
    EXPECT_FALSE(xml_.getInt(L"none", &i));
    float f = 0;
    EXPECT_TRUE(xml_.getFloat(L"f", &f));
    EXPECT_FLOAT_EQ(f, 2.5f);
    long l = 0;
    EXPECT_TRUE(xml_.getLong(L"big", &l));
    EXPECT_EQ(l, 5000000000L);
    EXPECT_EQ(xml_.getDepth(), 0);
}

TEST_F(SimpleXMLTest, CaliFileFromDirectoryOrAppDataFolder) {
    platform::createDirectory(wpath("cali"));
    writeFile("cali/Cali-7.xml", "<CaliData>\n<v>7</v>\n</CaliData>\n");
    int v = 0;
    ASSERT_TRUE(xml_.openCaliFile(wpath("cali").c_str(), L"Cali-7"));
    EXPECT_TRUE(xml_.getInt(L"v", &v));
    EXPECT_EQ(v, 7);
    // An empty directory means the application-data folder's Imager folder, created on demand.
    zol::SimpleXML other;
    EXPECT_FALSE(other.openCaliFile(L"", L"Cali-8"));
    EXPECT_TRUE(platform::directoryExists(wpath("share/Imager")));
    writeFile("share/Imager/Cali-8.xml", "<CaliData>\n<v>8</v>\n</CaliData>\n");
    ASSERT_TRUE(other.openCaliFile(nullptr, L"Cali-8"));
    EXPECT_TRUE(other.getInt(L"v", &v));
    EXPECT_EQ(v, 8);
    // Paths of 260 characters or more cannot be built.
    EXPECT_FALSE(other.openCaliFile(wpath("cali").c_str(), std::wstring(260, L'n').c_str()));
}

}  // namespace
