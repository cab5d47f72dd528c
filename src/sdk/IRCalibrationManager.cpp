// The calibration manager: completeness check against the calibration description (Cali),
// downloads from the calibration server through the mirrors its downloadlinks.xml lists, and the
// configuration template.
#include "kelvix/IRCalibrationManager.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string_view>

#include "imgproc/Cali.h"
#include "imgproc/CorrectionDataHeader.h"
#include "imgproc/TemperatureEncoding.h"
#include "kelvix/SimpleXML.h"
#include "platform/Http.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/DefaultCalibrationDir.h"
#include "sdk/Log.h"

namespace zol {

namespace {

std::mutex& instanceMutex() {
    static std::mutex mutex;
    return mutex;
}

// Appends text when it fits with the terminator; false (out unchanged) when it does not.
bool appendBounded(wchar_t* out, std::size_t capacity, const wchar_t* text) {
    std::size_t used = std::wcslen(out);
    std::size_t add = std::wcslen(text);
    if (used + add + 1 > capacity) {
        return false;
    }
    std::wmemcpy(out + used, text, add + 1);
    return true;
}

// The application-data folder + "/Imager"; false when the folder cannot be determined.
bool defaultImagerFolder(std::wstring& out) {
    std::wstring appData;
    if (!platform::appDataFolder(appData)) {
        return false;
    }
    out = platform::joinPath(appData, L"Imager");
    return true;
}

constexpr std::size_t kMaxLogBytes = 1023;

// Correction data is at most a few tens of MiB (about ten for the largest sensors); the
// description, the tables and the download list are text files that their readers take up to
// platform::kMaxTextFileBytes. A longer body is refused, so that a hostile server cannot fill
// the disk; with the minimum rate, the size cap also bounds the time a transfer may take.
constexpr std::uint64_t kMaxCorrectionBytes = 64u << 20;
// A calibration server sends several MiB/s, a slow home line still 100 KiB/s and more; a
// server that stays below this rate over the stall time (10 s) is given up.
constexpr long kMinBytesPerSecond = 16 << 10;
// The download list names a few mirrors of the calibration repository; more are not tried.
constexpr std::size_t kMaxLinks = 8;

const wchar_t* const kDescriptionPattern = L"Cali-%i.xml";
const wchar_t* const kCorrectionPattern = L"Cali-%s.dat";
const wchar_t* const kTablePattern = L"Kennlinie-%s.prn";
const wchar_t* const kListName = L"downloadlinks.xml";

// pattern with its one "%s" (or "%i") replaced by value.
std::wstring formatName(const wchar_t* pattern, const std::wstring& value) {
    std::wstring out = pattern;
    std::size_t at = out.find(L"%s");
    if (at == std::wstring::npos) {
        at = out.find(L"%i");
    }
    if (at != std::wstring::npos) {
        out.replace(at, 2, value);
    }
    return out;
}

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether name is formed by pattern (one "%s" or "%i" standing for any text).
bool formedBy(const std::wstring& name, const wchar_t* pattern) {
    const std::wstring p = pattern;
    const std::size_t at = p.find(L'%');
    return name.size() > p.size() - 2 && name.compare(0, at, p, 0, at) == 0 &&
           endsWith(name, p.substr(at + 2));
}

bool isCalibrationFileName(const std::wstring& name) {
    return formedBy(name, kDescriptionPattern) || formedBy(name, kCorrectionPattern) ||
           formedBy(name, kTablePattern);
}

// A description that does not read as one (a web page, another XML file, a body cut short)
// would count as present and hide the tables it should name.
bool readsAsDescription(const std::wstring& path, std::string& why) {
    std::string bytes;
    if (platform::readRegularFile(path, bytes) != platform::FileReadResult::Read) {
        why = "it cannot be read";
        return false;
    }
    if (bytes.find("</CaliData>") == std::string::npos) {
        why = "no end tag </CaliData> (not a calibration description, or cut short)";
        return false;
    }
    const std::shared_ptr<Cali> cali = Cali::readFile(path);
    CaliOptics optic;
    for (int i = 0; cali != nullptr && cali->getOpticsData(i, &optic); ++i) {
        if (!optic.ranges.empty()) {
            return true;
        }
    }
    why = "no optic with a temperature range";
    return false;
}

// The header the correction data's reader requires, and room for one pixel: a web page or a
// few bytes never pass.
bool readsAsCorrectionData(const std::wstring& path, std::string& why) {
    std::ifstream in(platform::toNarrow(path), std::ios::binary | std::ios::ate);
    const std::uint64_t size = in ? static_cast<std::uint64_t>(in.tellg()) : 0;
    unsigned char b[2 * CorrectionDataHeader::kWords] = {};
    in.seekg(0);
    if (size < sizeof b || !in.read(reinterpret_cast<char*>(b), sizeof b)) {
        why = "shorter than the header of correction data";
        return false;
    }
    std::uint16_t words[CorrectionDataHeader::kWords];
    for (std::size_t i = 0; i < CorrectionDataHeader::kWords; ++i) {
        words[i] = static_cast<std::uint16_t>(b[2 * i] | b[2 * i + 1] << 8);
    }
    const CorrectionDataHeader h = CorrectionDataHeader::fromWords(words);
    // Extra words, then one level per sample point and one pixel of samples, or six plane
    // shifts and bases and one pixel of each of six planes.
    const std::uint64_t least = sizeof b + 2 * static_cast<std::uint64_t>(h.extraWords) +
                                (h.samplePoints() ? 4 * std::uint64_t{h.fieldCount} : 24 + 12);
    if (!h.usable() || size < least) {
        why = "its header does not read as correction data";
        return false;
    }
    return true;
}

// What the temperature table's reader requires: eight lines (of at most 4095 characters), the
// last of them with values ("energy temperature") no earlier than the eighth.
constexpr std::size_t kMinTableLines = 8;
constexpr std::size_t kMaxTableLineLength = 4095;

bool readsAsTable(const std::wstring& path, std::string& why) {
    std::string bytes;
    if (platform::readRegularFile(path, bytes) != platform::FileReadResult::Read) {
        why = "it cannot be read";
        return false;
    }
    std::size_t pos = 0;
    std::size_t lines = 0;
    std::size_t lastWithValues = 0;
    std::string_view line;
    while (platform::nextLine(bytes, pos, kMaxTableLineLength, line) == platform::LineRead::Line) {
        ++lines;
        int energy = 0;
        double temperature = 0.0;
        if (std::sscanf(std::string(line).c_str(), "%i%lf", &energy, &temperature) == 2) {
            lastWithValues = lines;
        }
    }
    if (lastWithValues < kMinTableLines) {
        why = "fewer than " + std::to_string(kMinTableLines) +
              " lines of values (not a temperature table)";
        return false;
    }
    return true;
}

// One download, bounded by its progress and its size; a refused one (too long, too slow, not
// what it claims, or a scheme other than http and https) is logged.
bool download(const std::string& address, const std::wstring& target) {
    const std::wstring name = target.substr(target.find_last_of(platform::kPathSeparator) + 1);
    platform::TransferLimits limits;
    limits.maxBytes =
        formedBy(name, kCorrectionPattern) ? kMaxCorrectionBytes : platform::kMaxTextFileBytes;
    limits.minBytesPerSecond = kMinBytesPerSecond;
    std::string why;
    platform::BodyCheck check;
    if (formedBy(name, kDescriptionPattern)) {
        check = [&](const std::wstring& path) { return readsAsDescription(path, why); };
    } else if (formedBy(name, kCorrectionPattern)) {
        check = [&](const std::wstring& path) { return readsAsCorrectionData(path, why); };
    } else if (formedBy(name, kTablePattern)) {
        check = [&](const std::wstring& path) { return readsAsTable(path, why); };
    }
    const std::string shown = address.substr(0, kMaxLogBytes);
    const long window = platform::httpTimeoutSeconds();
    switch (platform::downloadToFile(address, target, limits, check)) {
        case platform::DownloadResult::Done:
            return true;
        case platform::DownloadResult::TooLarge:
            KLOG_ERROR("Download of " << shown << " refused: more than " << (limits.maxBytes >> 20)
                                      << " MiB");
            break;
        case platform::DownloadResult::ProtocolRefused:
            KLOG_ERROR("Download of " << shown << " refused: only http and https are allowed");
            break;
        case platform::DownloadResult::TooSlow:
            KLOG_ERROR("Download of " << shown << " refused: slower than "
                                      << (kMinBytesPerSecond >> 10) << " KiB/s over " << window
                                      << " s (KELVIX_HTTP_TIMEOUT sets the window)");
            break;
        case platform::DownloadResult::TimedOut:
            KLOG_ERROR("Download of " << shown << " refused: no connection within " << window
                                      << " s (KELVIX_HTTP_TIMEOUT sets the wait)");
            break;
        case platform::DownloadResult::CutShort:
            KLOG_ERROR("Download of " << shown
                                      << " refused: the connection ended before its announced "
                                         "length");
            break;
        case platform::DownloadResult::Refused:
            KLOG_ERROR("Download of " << shown << " refused: " << why);
            break;
        case platform::DownloadResult::Failed:
            break;
    }
    return false;
}

// Configured addresses: a compiled-in default, overridden by the environment.
std::string configured(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string calibrationServer() {
    return configured("KELVIX_CALI_SERVER", "https://calibration.kelvix.io");
}

std::string webSite() {
    return configured("KELVIX_WEBSITE", "https://www.kelvix.io");
}

std::string documentationAddress() {
    return configured("KELVIX_DOC_URL", "https://docs.kelvix.io/libkelvix");
}

// A file name that stays inside the directory it is joined to.
bool isPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name.find(L"..") != std::wstring::npos) {
        return false;
    }
    for (wchar_t c : name) {
        if (c == L'/' || c == L'\\' || c == L':' || c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

bool canRead(const std::wstring& path) {
    // Only a regular file: opening a FIFO would wait for a writer.
    if (!platform::fileExists(path)) {
        return false;
    }
    std::ifstream in(platform::toNarrow(path), std::ios::binary);
    return in.is_open();
}

// Text of the element opened at `from` (just after its start tag) up to its end tag.
bool elementSpan(SimpleXML& xml, const wchar_t* tag, int from, int limit, int& start, int& end) {
    start = xml.findTag(tag, from, limit, false);
    if (start < 0) {
        return false;
    }
    end = xml.findTag(tag, start, limit, true);
    return end >= 0;
}

}  // namespace

std::wstring defaultCalibrationDir() {
    std::wstring appData;
    if (!platform::appDataFolder(appData)) {
        return L"/tmp/cali";
    }
    return platform::joinPath(platform::joinPath(appData, L"Imager"), L"Cali");
}

IRCalibrationManager* IRCalibrationManager::_this = nullptr;

IRCalibrationManager* IRCalibrationManager::getInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (_this == nullptr) {
        _this = new IRCalibrationManager();
    }
    return _this;
}

IRCalibrationManager::IRCalibrationManager()
    : calibrationDir(std::make_unique<wchar_t[]>(kDirCapacity)),
      formatsDir(std::make_unique<wchar_t[]>(kDirCapacity)),
      opticsCache(std::make_unique<std::vector<IROptics>>()) {
    std::wstring appData;
    if (platform::appDataFolder(appData)) {
        platform::createDirectory(appData);
    }
    const std::wstring dir = defaultCalibrationDir();
    platform::copyBounded(calibrationDir.get(), kDirCapacity, dir);
    platform::copyBounded(formatsDir.get(), kDirCapacity, dir);
}

IRCalibrationManager::~IRCalibrationManager() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (_this == this) {
        _this = nullptr;
    }
}

void IRCalibrationManager::setCalibrationDir(const wchar_t* dir) {
    if (dir != nullptr) {
        platform::copyBounded(calibrationDir.get(), kDirCapacity, dir);
    }
}

void IRCalibrationManager::setFormatsDir(const wchar_t* dir) {
    if (dir != nullptr) {
        platform::copyBounded(formatsDir.get(), kDirCapacity, dir);
    }
}

bool IRCalibrationManager::createConfigFilepath(wchar_t* out, const wchar_t* dir, short capacity,
                                                const wchar_t* name, const wchar_t* extension) {
    if (out == nullptr || capacity <= 0) {
        return false;
    }
    std::size_t cap = static_cast<std::size_t>(capacity);
    out[0] = L'\0';
    std::wstring folder;
    if (dir != nullptr && dir[0] != L'\0') {
        folder = dir;
    } else if (!defaultImagerFolder(folder)) {
        return false;
    }
    if (!appendBounded(out, cap, folder.c_str())) {
        out[0] = L'\0';
        return false;
    }
    platform::createDirectory(folder);
    const wchar_t separator[2] = {platform::kPathSeparator, L'\0'};
    if (!appendBounded(out, cap, separator) || !appendBounded(out, cap, name ? name : L"") ||
        !appendBounded(out, cap, extension ? extension : L"")) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

void IRCalibrationManager::checkFile(const wchar_t* dir, const wchar_t* stem,
                                     const wchar_t* pattern, std::wstring& list) {
    std::wstring name = formatName(pattern, stem);
    if (name.size() >= static_cast<std::size_t>(kDirCapacity)) {
        name.resize(kDirCapacity - 1);
    }
    getInstance();
    std::wstring folder = dir != nullptr ? dir : L"";
    if (folder.empty() && !defaultImagerFolder(folder)) {
        list += name + L";";
        return;
    }
    platform::createDirectory(folder);
    if (!canRead(platform::joinPath(folder, name))) {
        list += name + L";";
    }
}

bool IRCalibrationManager::checkCaliFiles(const wchar_t* dir, int serial, std::wstring& list,
                                          const wchar_t* xmlPattern, const wchar_t* datPattern,
                                          const wchar_t* prnPattern, const wchar_t* separator) {
    list.clear();
    // Read from `dir` itself: a record a camera holds may come from another folder.
    const std::shared_ptr<Cali> cali = Cali::read(dir, serial);
    if (cali == nullptr) {
        list = formatName(xmlPattern, std::to_wstring(serial)) + separator;
        return false;
    }
    wchar_t stem[kDirCapacity];
    auto checkRange = [&](const CaliOptics& optic, const CaliTempRange& range, int rate) {
        if (!Cali::makeFileName(serial, optic.FOV, optic.Text.c_str(), range.TempLo, range.TempHi,
                                rate, stem, kDirCapacity)) {
            return;
        }
        checkFile(dir, stem, datPattern, list);
        if (!optic.SamplePointCali) {
            checkFile(dir, stem, prnPattern, list);
        }
    };
    int opticsCount = cali->getOpticsCount();
    for (int i = 0; i < opticsCount; ++i) {
        CaliOptics optic;
        if (!cali->getOpticsData(i, &optic)) {
            break;
        }
        CaliOpticsKey key{optic.FOV, optic.Text};
        for (const CaliTempRange& range : optic.ranges) {
            int found =
                cali->findTempRange(optic.FOV, optic.Text.c_str(), range.TempLo, range.TempHi);
            CaliTempRange listed;
            if (found < 0 || !cali->getTempRangeData(key, found, &listed) ||
                listed.framerates.empty()) {
                checkRange(optic, range, 0);
                continue;
            }
            for (std::uint16_t rate : listed.framerates) {
                checkRange(optic, range, rate);
            }
        }
    }
    return list.empty();
}

wchar_t* IRCalibrationManager::checkCalibration(unsigned long serial) {
    std::wstring list;
    checkCaliFiles(calibrationDir.get(), static_cast<int>(serial), list, kDescriptionPattern,
                   kCorrectionPattern, kTablePattern, L";");
    if (list.empty()) {
        return nullptr;
    }
    return platform::newWideArray(list);
}

const std::vector<IROptics>* IRCalibrationManager::getAvailableOptics(unsigned long serial) {
    if (serial == 0) {
        return opticsCache.get();
    }
    // A camera without a description has no optics, whatever another camera's says.
    const std::shared_ptr<Cali> cali =
        Cali::acquire(calibrationDir.get(), static_cast<int>(serial));
    opticsCache->clear();
    int count = cali != nullptr ? cali->getOpticsCount() : 0;
    for (int i = 0; i < count; ++i) {
        CaliOptics optic;
        if (!cali->getOpticsData(i, &optic)) {
            break;
        }
        IROptics entry;
        entry.FOV = optic.FOV;
        entry.text = optic.Text;
        for (const CaliTempRange& range : optic.ranges) {
            entry.tempRanges.push_back({truncToInt32(range.TempLo), truncToInt32(range.TempHi)});
        }
        opticsCache->push_back(entry);
    }
    return opticsCache.get();
}

std::wstring IRCalibrationManager::generateConfiguration(unsigned long serial) {
    int fov = 0;
    int tMin = -20;
    int tMax = 100;
    SimpleXML xml;
    std::wstring path =
        platform::joinPath(calibrationDir.get(), L"Cali-" + std::to_wstring(serial) + L".xml");
    if (xml.open(path.c_str(), L"CaliData")) {
        if (xml.openNode(L"Temperature") && xml.openNode(L"Optics") && xml.openNode(L"OpticsDef")) {
            xml.getInt(L"FOV", &fov);
            if (xml.openNode(L"TempRanges") && xml.openNode(L"TemperatureRange")) {
                xml.getInt(L"TempLo", &tMin);
                xml.getInt(L"TempHi", &tMax);
            }
        }
    }
    std::wstring t;
    auto line = [&t](const std::wstring& text) { t += text + L"\n"; };
    line(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    line(
        L"<imager xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        L"xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">");
    line(L"  <serial>" + std::to_wstring(serial) +
         L"</serial>   <!-- Provide serial number, if you attach more than one camera -->");
    line(
        L"  <videoformatindex>0</videoformatindex> <!-- index of the used video format (USB "
        L"enpoint) -->");
    line(std::wstring(L"  <formatspath>") + formatsDir.get() + L"</formatspath>");
    line(std::wstring(L"  <calipath>") + calibrationDir.get() + L"</calipath>");
    line(
        L"  <!-- Uncomment the following lines to specify user-defined parameters for the "
        L"desired optic");
    line(L"       and temperature range. Be aware to specify meaningful parameters.");
    line(L"       See documentation for further information: " +
         platform::toWide(documentationAddress()));
    line(
        L"       By default, the first available optic and the first meaningful temperature "
        L"range are selected.");
    line(L"  -->");
    line(L"  <!--");
    line(L"  <fov>" + std::to_wstring(fov) + L"</fov>");
    line(L"  <temperature>");
    line(L"    <min>" + std::to_wstring(tMin) + L"</min>");
    line(L"    <max>" + std::to_wstring(tMax) + L"</max>");
    line(L"  </temperature>");
    line(L"  <optics_text></optics_text>");
    line(L"  -->");
    line(
        L"  <framerate>32.0</framerate>             <!-- scaled down frame rate, must be less "
        L"or equal than camera frame rate -->");
    line(L"  <bispectral>" + std::to_wstring(0) +
         L"</bispectral>              <!-- 0=only thermal sensor, 1=bispectral technology "
         L"(only VX710/VX740) -->");
    line(
        L"  <average>0</average>                    <!-- average callback frames over "
        L"intermediate frames -->");
    line(L"  <autoflag>");
    line(L"    <enable>1</enable>");
    line(L"    <mininterval>15.0</mininterval>");
    line(L"    <maxinterval>0.0</maxinterval>");
    line(L"  </autoflag>");
    line(
        L"  <pifmode>0</pifmode>                    <!-- 0=Image capture (default), 1=Flag "
        L"control -->");
    line(
        L"  <tchipmode>0</tchipmode>                <!-- 0=Floating (default), 1=Auto, 2=Fixed "
        L"value -->");
    line(L"  <tchipfixedvalue>40.0</tchipfixedvalue> <!-- Fixed value for tchipmode=2 -->");
    line(L"</imager>");
    return t;
}

bool IRCalibrationManager::findSerial(unsigned long& serial) {
    KLOG_WARNING("findSerial is not implemented yet");
    return false;
}

bool IRCalibrationManager::isOnlineCalibrationRepoAccessible() {
    return platform::canConnect(webSite());
}

bool IRCalibrationManager::downloadCalibration(unsigned long serial) {
    if (serial == 0) {
        KLOG_ERROR("No serial number specified.");
        return false;
    }
    // Partial files that an interrupted run left behind.
    const int removed =
        platform::removeStalePartialFiles(calibrationDir.get(), isCalibrationFileName) +
        platform::removeStalePartialFiles(
            platform::currentDirectory(),
            [](const std::wstring& name) { return name == kListName; });
    if (removed > 0) {
        KLOG_INFO("Removed " << removed << " partial files of interrupted downloads");
    }
    // A description that does not read as one (kept by an earlier version) is fetched again.
    const std::wstring description = formatName(kDescriptionPattern, std::to_wstring(serial));
    const std::wstring descriptionPath = platform::joinPath(calibrationDir.get(), description);
    std::string why;
    bool refetch =
        platform::fileExists(descriptionPath) && !readsAsDescription(descriptionPath, why);
    if (refetch) {
        KLOG_ERROR("Calibration description "
                   << platform::toNarrowBounded(descriptionPath.c_str(), kMaxLogBytes) << " has "
                   << why << "; it is fetched again");
    }
    // A camera without its description first reports only the description; the next check
    // reads it and reports the tables. The last check decides.
    for (int attempt = 0; attempt <= 3; ++attempt) {
        std::unique_ptr<wchar_t[]> list(refetch ? platform::newWideArray(description + L";")
                                                : checkCalibration(serial));
        refetch = false;
        if (list == nullptr || list[0] == L'\0') {
            KLOG_INFO("All files installed.");
            return true;
        }
        const bool ok = attempt < 3 &&
                        downloadTarget(list.get(), std::to_wstring(serial), calibrationDir.get());
        if (!ok) {
            KLOG_INFO("Download failed.");
            return false;
        }
    }
    return false;
}

bool IRCalibrationManager::copyCalibrationFromLocalRepo(unsigned long serial, std::string dir) {
    std::cout << "WARNING: copyCalibrationFromLocalRepo is not implemented yet" << std::endl;
    return false;
}

bool IRCalibrationManager::downloadTarget(wchar_t* missingList, std::wstring serialText,
                                          std::wstring targetDir) {
    std::wstring cwd = platform::currentDirectory();
    std::wstring localList = platform::joinPath(cwd, kListName);
    if (cwd.empty() || localList.size() >= static_cast<std::size_t>(kDirCapacity)) {
        KLOG_ERROR("Current directory unusable for the download list: "
                   << platform::toNarrowBounded(cwd.c_str(), kMaxLogBytes));
        return false;
    }
    const std::string listAddress = calibrationServer() + "/downloadlinks.xml";
    if (!download(listAddress, localList)) {
        KLOG_ERROR("Error downloading file " << listAddress);
        return false;
    }
    std::vector<std::wstring> links;
    bool parsed = false;
    {
        SimpleXML xml;
        if (!xml.open(localList.c_str(), L"DownloadLinks")) {
            KLOG_ERROR("Error reading "
                       << platform::toNarrowBounded(localList.c_str(), kMaxLogBytes));
            return false;
        }
        int limit = xml.getLength() + 1;
        int imagerStart, imagerEnd, caliStart, caliEnd, linksStart, linksEnd;
        if (elementSpan(xml, L"Imager", 0, limit, imagerStart, imagerEnd) &&
            elementSpan(xml, L"CaliData", imagerStart, imagerEnd + 1, caliStart, caliEnd) &&
            elementSpan(xml, L"Links", caliStart, caliEnd + 1, linksStart, linksEnd)) {
            parsed = true;
            int p = linksStart;
            int s, e;
            while (elementSpan(xml, L"string", p, linksEnd + 1, s, e)) {
                if (links.size() == kMaxLinks) {
                    KLOG_ERROR("Download list "
                               << platform::toNarrowBounded(localList.c_str(), kMaxLogBytes)
                               << " holds more than " << kMaxLinks
                               << " links; the rest are ignored");
                    break;
                }
                links.emplace_back(xml.getText() + s, xml.getText() + e);
                p = e;
            }
        }
    }
    std::remove(platform::toNarrow(localList).c_str());
    if (!parsed) {
        KLOG_ERROR("Error parsing download links file: " << platform::toNarrowBounded(
                       localList.c_str(), kMaxLogBytes));
        return false;
    }

    const std::wstring first2 = serialText.size() < 4 ? serialText : serialText.substr(0, 2);
    const std::wstring first4 = serialText.size() < 4 ? serialText : serialText.substr(0, 4);
    bool delivered = false;
    std::wstring names = missingList != nullptr ? missingList : L"";
    std::size_t from = 0;
    while (from < names.size()) {
        std::size_t to = names.find(L';', from);
        if (to == std::wstring::npos) {
            to = names.size();
        }
        std::wstring name = names.substr(from, to - from);
        from = to + 1;
        if (name.empty()) {
            continue;
        }
        if (!isPlainFileName(name)) {
            KLOG_ERROR("Refusing calibration file name outside the calibration directory: "
                       << platform::toNarrowBounded(name.c_str(), kMaxLogBytes));
            continue;
        }
        const std::wstring target = platform::joinPath(targetDir, name);
        std::string address;
        bool got = false;
        for (const std::wstring& base : links) {
            address = platform::escapeBlanks(platform::toNarrow(base + L"/" + first2 + L"/" +
                                                                first4 + L"/Califiles SN" +
                                                                serialText + L"/" + name));
            if (download(address, target)) {
                got = true;
                break;
            }
        }
        if (got) {
            delivered = true;
        } else {
            KLOG_ERROR("Error downloading " << address.substr(0, kMaxLogBytes));
        }
    }
    return delivered;
}

}  // namespace zol
