// Loading and querying the calibration description (Cali). Kelvix::init loads it on the
// application's thread; the chain's operators and the calibration manager query it later.

#include "imgproc/Cali.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "imgproc/TemperatureEncoding.h"
#include "kelvix/SimpleXML.h"
#include "platform/HResult.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace {

std::mutex& instanceMutex() {
    static std::mutex mutex;
    return mutex;
}

// The records that someone holds, by serial; an entry whose record has gone is dropped on the
// next acquire.
std::map<int, std::weak_ptr<Cali>>& records() {
    static std::map<int, std::weak_ptr<Cali>>* held = new std::map<int, std::weak_ptr<Cali>>();
    return *held;
}

std::mutex& recordsMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

void readU16(zol::SimpleXML& xml, const wchar_t* tag, std::uint16_t& field) {
    int v = field;
    if (xml.getInt(tag, &v)) {
        field = static_cast<std::uint16_t>(v);
    }
}

void readI32(zol::SimpleXML& xml, const wchar_t* tag, std::int32_t& field) {
    int v = field;
    if (xml.getInt(tag, &v)) {
        field = v;
    }
}

void readF32(zol::SimpleXML& xml, const wchar_t* tag, float& field) {
    float v = field;
    if (xml.getFloat(tag, &v)) {
        field = v;
    }
}

bool readText(zol::SimpleXML& xml, const wchar_t* tag, std::wstring& out) {
    wchar_t* value = nullptr;
    if (!xml.getString(tag, &value) || value == nullptr) {
        return false;
    }
    const std::unique_ptr<wchar_t[]> owned(value);  // the reader hands the text over
    out = owned.get();
    return true;
}

bool equalsNoCase(const std::wstring& a, const wchar_t* b) {
    std::size_t n = std::wcslen(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) {
            return false;
        }
    }
    return true;
}

void readMain(zol::SimpleXML& xml, CaliMain& m) {
    readU16(xml, L"TecA", m.TecA);
    readU16(xml, L"TecB", m.TecB);
    readU16(xml, L"TecC", m.TecC);
    readU16(xml, L"TecD", m.TecD);
    KLOG_DEBUG("Calibration data A: " << m.TecA << " B:" << m.TecB << " C:" << m.TecC
                                      << " D:" << m.TecD);
    readF32(xml, L"TempTEC_Step", m.TempTEC_Step);
    readF32(xml, L"TempTECOffset", m.TempTECOffset);
    readF32(xml, L"TempTECGain", m.TempTECGain);
    readF32(xml, L"TempFlagOffset", m.TempFlagOffset);
    readF32(xml, L"TempChipFactor", m.TempChipFactor);
    readF32(xml, L"TempChipOffset", m.TempChipOffset);
    readF32(xml, L"TempBoxOffset", m.TempBoxOffset);
    readF32(xml, L"TempOpticsOffset", m.TempOpticsOffset);
    readF32(xml, L"TempProcOffset", m.TempProcOffset);
    readF32(xml, L"TempHouseOffset", m.TempHouseOffset);
    readF32(xml, L"PifInOffset", m.PifInOffset);
    readF32(xml, L"PifInGain", m.PifInGain);
    readF32(xml, L"PifOutOffset", m.PifOutOffset);
    readF32(xml, L"PifOutGain", m.PifOutGain);
    int added = m.AddedOffset;
    if (xml.getInt(L"AddedOffset", &added)) {
        m.AddedOffset = static_cast<std::int16_t>(added);
    }
    readF32(xml, L"BindTempChipToTempFlagOffset", m.BindTempChipToTempFlagOffset);
    readU16(xml, L"FlagCycles", m.FlagCycles);
    readU16(xml, L"FlagCycles_Ignore", m.FlagCycles_Ignore);
    readF32(xml, L"AlphaLowTemp", m.AlphaLowTemp);
    readF32(xml, L"AlphaLowFactor", m.AlphaLowFactor);
}

// Far more than any camera's description lists; what lies beyond is not read, so that no
// description makes the completeness check (one file per range and frame rate) run long.
constexpr int kMaxOptics = 64;
constexpr int kMaxRanges = 32;
constexpr int kMaxFramerates = 16;

// The count of elements to read, at most `bound`; an ERROR line names the file beyond it.
int boundedCount(int count, int bound, const std::wstring& file, const char* what) {
    if (count > bound) {
        KLOG_ERROR("Calibration file " << platform::toNarrowBounded(file.c_str(), 1023) << " lists "
                                       << count << " " << what << ", only the first " << bound
                                       << " are read");
        return bound;
    }
    return count;
}

void readRange(zol::SimpleXML& xml, CaliTempRange& r, const std::wstring& file) {
    readU16(xml, L"Fid", r.Fid);
    readU16(xml, L"Skim", r.Skim);
    readF32(xml, L"TempLo", r.TempLo);
    readF32(xml, L"TempHi", r.TempHi);
    float ext = 0.0f;
    r.TempLoExt = xml.getFloat(L"TempLoExt", &ext) ? std::min(r.TempLo, ext) : r.TempLo;
    ext = 0.0f;
    r.TempHiExt = xml.getFloat(L"TempHiExt", &ext) ? std::max(r.TempHi, ext) : r.TempHi;
    if (xml.openNode(L"Framerates")) {
        r.hasFramerates = true;
        int count = boundedCount(xml.countNodes(L"Framerate"), kMaxFramerates, file, "frame rates");
        int from = 0;
        for (int k = 0; k < count; ++k) {
            int fr = 0;
            if (xml.openNodeAfter(L"Framerate", from)) {
                from = xml.getNodeEnd();
                xml.getInt(L"FR", &fr);
                xml.closeNode();
            }
            r.framerates.push_back(static_cast<std::uint16_t>(fr));
        }
        xml.closeNode();
    }
    readU16(xml, L"Decimal", r.Decimal);
    if (xml.openNode(L"TableParams")) {
        CaliTableParams& t = r.tableParams;
        int v = 0;
        if (xml.getInt(L"Normalize", &v)) {
            t.Normalize = v != 0;
        }
        v = 0;
        if (xml.getInt(L"T1", &v)) {
            t.T1 = v;
        }
        v = 0;
        if (xml.getInt(L"T3", &v)) {
            t.T3 = v;
        }
        v = t.E1;
        if (xml.getInt(L"E1", &v)) {
            t.E1 = static_cast<std::int16_t>(v);
        }
        v = t.E3;
        if (xml.getInt(L"E3", &v)) {
            t.E3 = static_cast<std::int16_t>(v);
        }
        float lambda = 0.0f;
        if (xml.getFloat(L"Lambda", &lambda)) {
            t.Lambda = lambda;
        }
        xml.closeNode();
    }
}

void readOptics(zol::SimpleXML& xml, std::vector<CaliOptics>& optics, const std::wstring& file) {
    optics.clear();
    xml.resetToRoot();
    if (!xml.openNode(L"Temperature") || !xml.openNode(L"Optics")) {
        return;
    }
    // Each element is sought from where the one before it ends, as an index would find it.
    int count = boundedCount(xml.countNodes(L"OpticsDef"), kMaxOptics, file, "optics");
    optics.resize(static_cast<std::size_t>(count));
    int from = 0;
    for (int i = 0; i < count; ++i) {
        if (!xml.openNodeAfter(L"OpticsDef", from)) {
            continue;
        }
        from = xml.getNodeEnd();
        CaliOptics& o = optics[static_cast<std::size_t>(i)];
        readI32(xml, L"FOV", o.FOV);
        readI32(xml, L"SerNo", o.SerNo);
        readText(xml, L"Text", o.Text);
        std::wstring spc;
        o.SamplePointCali = readText(xml, L"SamplePointCali", spc) && equalsNoCase(spc, L"true");
        if (xml.openNode(L"TempRanges")) {
            int ranges = boundedCount(xml.countNodes(L"TemperatureRange"), kMaxRanges, file,
                                      "temperature ranges");
            o.ranges.resize(static_cast<std::size_t>(ranges));
            int rangeFrom = 0;
            for (int j = 0; j < ranges; ++j) {
                if (xml.openNodeAfter(L"TemperatureRange", rangeFrom)) {
                    rangeFrom = xml.getNodeEnd();
                    readRange(xml, o.ranges[static_cast<std::size_t>(j)], file);
                    xml.closeNode();
                }
            }
            xml.closeNode();
        }
        xml.closeNode();
    }
}

bool sameText(const std::wstring& a, const wchar_t* b) {
    return a == (b != nullptr ? b : L"");
}

}  // namespace

Cali* Cali::getInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    static Cali* instance = new Cali();
    return instance;
}

Cali::Cali() {
    resetToDefaults();
}

std::shared_ptr<Cali> Cali::acquire(const wchar_t* directory, int serial, int* result) {
    std::lock_guard<std::mutex> lock(recordsMutex());
    auto& held = records();
    for (auto it = held.begin(); it != held.end();) {
        it = it->second.expired() ? held.erase(it) : std::next(it);
    }
    if (result != nullptr) {
        *result = 0;
    }
    auto found = held.find(serial);
    if (found != held.end()) {
        if (std::shared_ptr<Cali> record = found->second.lock()) {
            return record;
        }
    }
    std::shared_ptr<Cali> record = read(directory, serial, result);
    if (record != nullptr) {
        held[serial] = record;
    }
    return record;
}

std::shared_ptr<Cali> Cali::read(const wchar_t* directory, int serial, int* result) {
    std::shared_ptr<Cali> record(new Cali());
    const int code = record->readXML(directory, serial);
    if (result != nullptr) {
        *result = code < 0 ? code : 0;
    }
    return code < 0 ? nullptr : record;
}

std::shared_ptr<Cali> Cali::held(int serial) {
    {
        std::lock_guard<std::mutex> lock(recordsMutex());
        auto found = records().find(serial);
        if (found != records().end()) {
            if (std::shared_ptr<Cali> record = found->second.lock()) {
                return record;
            }
        }
    }
    Cali* instance = getInstance();
    if (instance->isLoaded() && instance->getSerial() == serial) {
        return std::shared_ptr<Cali>(instance, [](Cali*) {});  // never destroyed
    }
    return nullptr;
}

void Cali::resetToDefaults() {
    main = CaliMain{};
    optics.assign(1, CaliOptics{});
    const float defaults[3][2] = {{-20.0f, 100.0f}, {0.0f, 250.0f}, {150.0f, 900.0f}};
    for (const auto& d : defaults) {
        CaliTempRange r;
        r.TempLo = d[0];
        r.TempHi = d[1];
        optics[0].ranges.push_back(r);
    }
    loaded = false;
    serial = -1;
}

int Cali::readXML(const wchar_t* directory, int newSerial) {
    std::lock_guard<std::mutex> lock(mutex);
    if (loaded && serial == newSerial) {
        KLOG_DEBUG("Calibration XML file already loaded.");
        return 0;
    }
    if (loaded) {
        KLOG_DEBUG("Serial number has changed (" << newSerial << "), reload Calibration XML.");
        resetToDefaults();
    }
    std::wstring name = L"Cali-" + std::to_wstring(newSerial);
    KLOG_DEBUG("Calibration directory path: " << platform::toNarrowBounded(directory, 1023));
    KLOG_DEBUG("Calibration file name: " << platform::toNarrow(name) << ".xml");

    auto xml = std::make_unique<zol::SimpleXML>();
    if (!xml->openCaliFile(directory, name.c_str())) {
        return E_ACCESSDENIED;
    }
    load(*xml, newSerial, name + L".xml");
    return 0;
}

std::shared_ptr<Cali> Cali::readFile(const std::wstring& path) {
    std::shared_ptr<Cali> record(new Cali());
    auto xml = std::make_unique<zol::SimpleXML>();
    if (!xml->open(path.c_str(), L"CaliData")) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(record->mutex);
    record->load(*xml, -1, path);
    return record;
}

void Cali::load(zol::SimpleXML& xml, int newSerial, const std::wstring& file) {
    if (xml.openNode(L"Main")) {
        readMain(xml, main);
        xml.closeNode();
    }
    readOptics(xml, optics, file);
    loaded = true;
    serial = newSerial;
}

bool Cali::isLoaded() const {
    std::lock_guard<std::mutex> lock(mutex);
    return loaded;
}

int Cali::getSerial() const {
    std::lock_guard<std::mutex> lock(mutex);
    return serial;
}

CaliMain Cali::getMain() const {
    std::lock_guard<std::mutex> lock(mutex);
    return main;
}

int Cali::getOpticsCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(optics.size());
}

bool Cali::getOpticsData(int index, CaliOptics* out) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (out == nullptr || index < 0 || index >= static_cast<int>(optics.size())) {
        return false;
    }
    *out = optics[static_cast<std::size_t>(index)];
    return true;
}

int Cali::findOpticsLocked(const CaliOpticsKey& key) const {
    for (std::size_t i = 0; i < optics.size(); ++i) {
        if (optics[i].FOV == key.FOV && optics[i].Text == key.text) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Cali::findOptics(const CaliOpticsKey& key) const {
    std::lock_guard<std::mutex> lock(mutex);
    return findOpticsLocked(key);
}

int Cali::findOpticsIndex(int fov, const wchar_t* text) const {
    std::lock_guard<std::mutex> lock(mutex);
    bool noText = text == nullptr || text[0] == L'\0';
    for (std::size_t i = 0; i < optics.size(); ++i) {
        const CaliOptics& o = optics[i];
        if (o.FOV == fov && (o.Text.empty() || noText || sameText(o.Text, text))) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool Cali::getOptics(int index, CaliOpticsKey* out) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (out == nullptr || index < 0 || index >= static_cast<int>(optics.size())) {
        return false;
    }
    out->FOV = optics[static_cast<std::size_t>(index)].FOV;
    out->text = optics[static_cast<std::size_t>(index)].Text;
    return true;
}

int Cali::findTempRangeLocked(const CaliOpticsKey& key, float tMin, float tMax) const {
    int o = findOpticsLocked(key);
    if (o < 0) {
        return -1;
    }
    const std::vector<CaliTempRange>& ranges = optics[static_cast<std::size_t>(o)].ranges;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].TempLo == tMin && ranges[i].TempHi == tMax) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Cali::findTempRange(int fov, const wchar_t* text, float tMin, float tMax) const {
    std::lock_guard<std::mutex> lock(mutex);
    return findTempRangeLocked({fov, text != nullptr ? text : L""}, tMin, tMax);
}

int Cali::getTempRangeCount(const CaliOpticsKey& key) const {
    std::lock_guard<std::mutex> lock(mutex);
    int o = findOpticsLocked(key);
    return o < 0 ? o : static_cast<int>(optics[static_cast<std::size_t>(o)].ranges.size());
}

int Cali::findTempRangeIndex(const CaliOpticsKey& key, const CaliTempPair& range) const {
    std::lock_guard<std::mutex> lock(mutex);
    return findTempRangeLocked(key, range.lo, range.hi);
}

bool Cali::getTempRangeData(const CaliOpticsKey& key, int index, CaliTempRange* out) const {
    std::lock_guard<std::mutex> lock(mutex);
    int o = findOpticsLocked(key);
    if (out == nullptr || o < 0) {
        return false;
    }
    const std::vector<CaliTempRange>& ranges = optics[static_cast<std::size_t>(o)].ranges;
    if (index < 0 || index >= static_cast<int>(ranges.size())) {
        return false;
    }
    *out = ranges[static_cast<std::size_t>(index)];
    return true;
}

bool Cali::getTempRange(const CaliOpticsKey& key, int index, CaliTempPair* out) const {
    CaliTempRange r;
    if (out == nullptr || !getTempRangeData(key, index, &r)) {
        return false;
    }
    *out = {r.TempLo, r.TempHi};
    return true;
}

bool Cali::getTempRangeExt(const CaliOpticsKey& key, int index, CaliTempPair* out) const {
    CaliTempRange r;
    if (out == nullptr || !getTempRangeData(key, index, &r)) {
        return false;
    }
    *out = {r.TempLoExt, r.TempHiExt};
    return true;
}

int Cali::findFramerate(int fov, const wchar_t* text, float tMin, float tMax, int rate) const {
    std::lock_guard<std::mutex> lock(mutex);
    CaliOpticsKey key{fov, text != nullptr ? text : L""};
    int r = findTempRangeLocked(key, tMin, tMax);
    if (r < 0) {
        return -1;
    }
    const CaliTempRange& range =
        optics[static_cast<std::size_t>(findOpticsLocked(key))].ranges[static_cast<std::size_t>(r)];
    if (!range.hasFramerates) {
        return -1;
    }
    for (std::size_t i = 0; i < range.framerates.size(); ++i) {
        if (range.framerates[i] == static_cast<std::uint16_t>(rate)) {
            return static_cast<int>(i);
        }
    }
    return -2;
}

std::uint16_t Cali::getFramerate(const CaliOpticsKey& key, const CaliTempPair& range,
                                 int index) const {
    std::lock_guard<std::mutex> lock(mutex);
    int r = findTempRangeLocked(key, range.lo, range.hi);
    if (r < 0) {
        return 0;
    }
    const CaliTempRange& found =
        optics[static_cast<std::size_t>(findOpticsLocked(key))].ranges[static_cast<std::size_t>(r)];
    if (!found.hasFramerates || index < 0 || index >= static_cast<int>(found.framerates.size())) {
        return 0;
    }
    return found.framerates[static_cast<std::size_t>(index)];
}

bool Cali::makeFileName(int serial, int fov, const wchar_t* text, float tMin, float tMax, int rate,
                        wchar_t* buffer, std::size_t length) {
    if (buffer == nullptr || length == 0) {
        return false;
    }
    bool hasText = text != nullptr && text[0] != L'\0';
    wchar_t rateText[16] = L"";
    if (rate != 0) {
        std::swprintf(rateText, 16, L"-%i", rate);
    }
    int n = std::swprintf(buffer, length, L"%i-%i%ls%ls-%ls%i-%ls%i%ls", serial, fov,
                          hasText ? L"-" : L"", hasText ? text : L"", tMin < 0 ? L"M" : L"",
                          truncToInt32(std::fabs(tMin)), tMax < 0 ? L"M" : L"",
                          truncToInt32(std::fabs(tMax)), rateText);
    if (n < 0) {
        buffer[0] = L'\0';  // did not fit
        return false;
    }
    return n > 0;
}
