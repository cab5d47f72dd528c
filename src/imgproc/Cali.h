// The calibration description of one camera ("Cali-<serial>.xml"): main values, optics,
// ranges and their table parameters. One record per serial that an imager holds (acquire),
// shared by its chain and the calibration manager, read from any thread under its own lock;
// the process-wide instance holds what its own readXML read last.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kelvix/export.h"

namespace zol {
class SimpleXML;
}

// Calibration description of the connected camera ("Cali-<serial>.xml"): sensor, TEC and
// process-interface constants and, per optic, its temperature ranges with their frame rates
// and temperature-table parameters. Shared by the capture thread and the calibration manager:
// every member function takes the one internal lock and hands out copies.

struct CaliMain {
    std::uint16_t TecA = 3400;
    std::uint16_t TecB = 400;
    std::uint16_t TecC = 400;
    std::uint16_t TecD = 120;
    float TempTEC_Step = 5.0f;
    float TempTECReserved = 10.0f;  // not in the file
    float TempTECOffset = 294.5f;
    float TempTECGain = 13.055f;
    float TempFlagOffset = 0.0f;
    float TempChipFactor = 1.0f;
    float TempChipOffset = 0.0f;
    float TempBoxOffset = 0.0f;
    float TempOpticsOffset = 0.0f;
    float TempProcOffset = 0.0f;
    float TempHouseOffset = 0.0f;
    float PifInOffset = 0.0f;
    float PifInGain = 1.0f;
    float PifOutOffset = 0.0f;
    float PifOutGain = 1.0f;
    std::int32_t AddedOffset = 0;  // an i16 value
    float BindTempChipToTempFlagOffset = 0.8f;
    std::uint16_t FlagCycles = 10;
    std::uint16_t FlagCycles_Ignore = 2;
    float AlphaLowTemp = 23.0f;
    float AlphaLowFactor = 1.0f;
};

struct CaliTableParams {
    double T1 = 0.0;
    double T3 = 0.0;
    std::int16_t E1 = 0;
    std::int16_t E3 = 0;
    double Lambda = 0.0;
    double reserved = 0.0;
    double reference = -100.0;
    std::uint16_t reservedWord = 0;
    bool Normalize = false;
};

struct CaliTempRange {
    std::uint16_t Fid = 0;
    std::uint16_t Skim = 0;
    float TempLo = 0.0f;
    float TempHi = 0.0f;
    float TempLoExt = -100.0f;
    float TempHiExt = -100.0f;
    bool hasFramerates = false;  // a "Framerates" element was present (it may be empty)
    std::vector<std::uint16_t> framerates;
    std::uint16_t Decimal = 1;
    CaliTableParams tableParams;
};

struct CaliOptics {
    std::int32_t FOV = 0;
    std::int32_t SerNo = 0;
    std::wstring Text;  // empty when the optic has none
    double reference = -1.0;
    bool SamplePointCali = false;
    std::vector<CaliTempRange> ranges;
};

// Selects an optic: field of view and optics text (empty for none).
struct CaliOpticsKey {
    std::int32_t FOV = 0;
    std::wstring text;
};

struct CaliTempPair {
    float lo = 0.0f;
    float hi = 0.0f;
};

class Cali {
  public:
    KELVIX_DEBUG_API static Cali* getInstance();

    // The record of `serial`: the one already held, else one read from `directory`; null when
    // it cannot be read (*result then holds readXML's code). Each camera's chain holds its
    // own, so several cameras in one process read their own data; a record goes with its
    // last holder.
    static std::shared_ptr<Cali> acquire(const wchar_t* directory, int serial,
                                         int* result = nullptr);
    // A record read afresh from `directory`, held by no one else; null as acquire.
    static std::shared_ptr<Cali> read(const wchar_t* directory, int serial, int* result = nullptr);
    // A record read from the description file at `path`, whatever its name, for inspection
    // (it belongs to no serial); null when the file cannot be read.
    static std::shared_ptr<Cali> readFile(const std::wstring& path);
    // The record held for `serial`, else the process-wide instance when that holds it (not
    // owned); null when neither does.
    static std::shared_ptr<Cali> held(int serial);

    // 0, E_ACCESSDENIED when the file cannot be opened.
    int readXML(const wchar_t* directory, int serial);

    bool isLoaded() const;
    int getSerial() const;  // -1 when none is loaded
    CaliMain getMain() const;
    int getOpticsCount() const;
    // Copy of the optic at index; false when there is none.
    bool getOpticsData(int index, CaliOptics* out) const;

    int findOptics(const CaliOpticsKey& key) const;
    int findOpticsIndex(int fov, const wchar_t* text) const;
    bool getOptics(int index, CaliOpticsKey* out) const;
    int findTempRange(int fov, const wchar_t* text, float tMin, float tMax) const;
    int getTempRangeCount(const CaliOpticsKey& key) const;
    int findTempRangeIndex(const CaliOpticsKey& key, const CaliTempPair& range) const;
    bool getTempRange(const CaliOpticsKey& key, int index, CaliTempPair* out) const;
    bool getTempRangeExt(const CaliOpticsKey& key, int index, CaliTempPair* out) const;
    // Copy of a range of an optic; false when either is not found.
    bool getTempRangeData(const CaliOpticsKey& key, int index, CaliTempRange* out) const;
    // Index of rate in the range's list; -1 optic/range/list missing, -2 rate not listed.
    int findFramerate(int fov, const wchar_t* text, float tMin, float tMax, int rate) const;
    std::uint16_t getFramerate(const CaliOpticsKey& key, const CaliTempPair& range,
                               int index) const;

    // The stem of a range's calibration files, e.g. 12345-23-tele-M20-100-80.
    static bool makeFileName(int serial, int fov, const wchar_t* text, float tMin, float tMax,
                             int rate, wchar_t* buffer, std::size_t length);

#ifdef KELVIX_DEBUG_BUILD
    // The same stem in narrow characters.
    KELVIX_DEBUG_API static bool makeFileNameA(int serial, int fov, const char* text, float tMin,
                                               float tMax, int rate, char* buffer,
                                               std::size_t length);
    KELVIX_DEBUG_API static bool makeFileNameA(int serial, int fov, const char* text,
                                               const CaliTempPair& range, int rate, char* buffer,
                                               std::size_t length);
    // true with the rate kept when listed; true with 0 when the optic, the range or its list is
    // missing; false with 0 when the list lacks the rate.
    KELVIX_DEBUG_API bool checkFramerate(const CaliOpticsKey& key, const CaliTempPair& range,
                                         std::uint16_t* rate) const;
    KELVIX_DEBUG_API bool getTempRangeByFov(int fov, const wchar_t* text, int index,
                                            CaliTempPair* out) const;
    KELVIX_DEBUG_API int getTempRangeCountByFov(int fov, const wchar_t* text) const;
    // Lowest TempLo and highest TempHi over the optic's ranges; null for an unknown optic.
    KELVIX_DEBUG_API std::unique_ptr<CaliTempPair> getTempSpan(const CaliOpticsKey& key) const;
    // The same over the ranges of every optic; null without optics.
    KELVIX_DEBUG_API std::unique_ptr<CaliTempPair> getTempSpanAll() const;
#endif

  private:
    Cali();
    Cali(const Cali&) = delete;
    Cali& operator=(const Cali&) = delete;

    void resetToDefaults();
    // Takes main values and optics from an open description; under the lock.
    void load(zol::SimpleXML& xml, int newSerial, const std::wstring& file);
    int findOpticsLocked(const CaliOpticsKey& key) const;
    int findTempRangeLocked(const CaliOpticsKey& key, float tMin, float tMax) const;

    mutable std::mutex mutex;
    CaliMain main;
    std::vector<CaliOptics> optics;
    bool loaded = false;
    int serial = -1;
};
