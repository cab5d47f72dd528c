// The calibration manager: where a camera's calibration and format files live, whether they are
// complete, and their download. Used by the imager and its chain, kelvixcalfetch and the USB
// client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvix/export.h"

namespace zol {

// One temperature range of an optic, in degrees Celsius.
struct KELVIX_API IRTempRange {
    int tMin;
    int tMax;
};

// One optic of a camera: field of view, its temperature ranges and its text (empty when none).
struct KELVIX_API IROptics {
    int FOV = 0;
    std::vector<IRTempRange> tempRanges;
    std::wstring text;
};

// Process-wide keeper of the calibration and formats directories: file paths inside them,
// the completeness check of a camera's calibration files, their download, the optics of a
// camera and the configuration template. getInstance() may be called from any thread; the rest
// is not guarded (and shares the calibration description's reader): one thread at a time, as
// the imager's init, kelvixcalfetch and the USB client's connect use it.
class KELVIX_API IRCalibrationManager {
  public:
    static constexpr int kDirCapacity = 260;

    // The one manager, created on first use with both directories at the application-data
    // folder + "/Imager/Cali" ("/tmp/cali" when there is none).
    static IRCalibrationManager* getInstance();
    ~IRCalibrationManager();
    IRCalibrationManager(const IRCalibrationManager&) = delete;
    IRCalibrationManager& operator=(const IRCalibrationManager&) = delete;

    // Copies the directory (cut to kDirCapacity - 1 characters); null leaves it as it is.
    void setCalibrationDir(const wchar_t* dir);
    void setFormatsDir(const wchar_t* dir);
    const wchar_t* getCalibrationDir() const { return calibrationDir.get(); }
    const wchar_t* getFormatsDir() const { return formatsDir.get(); }

    // New list of missing file names, each followed by ';' (free with delete[]); null when
    // nothing is missing.
    wchar_t* checkCalibration(unsigned long serial);
    // The optics of the camera's calibration description, kept by the manager until the next
    // call; serial 0 gives those of the last call.
    const std::vector<IROptics>* getAvailableOptics(unsigned long serial);
    // dir (or the application-data folder + "/Imager" when dir is empty) + '/' + name +
    // extension into out (capacity characters with the terminator); false when it does not fit.
    bool createConfigFilepath(wchar_t* out, const wchar_t* dir, short capacity, const wchar_t* name,
                              const wchar_t* extension);
    // A configuration file (root "imager") for the camera, with the first optic and range of its
    // calibration description as a commented-out example.
    std::wstring generateConfiguration(unsigned long serial);
    // Not available: logs a warning and answers false.
    bool findSerial(unsigned long& serial);
    // Whether the web site (KELVIX_WEBSITE) can be reached.
    bool isOnlineCalibrationRepoAccessible();
    // Fetches the missing files from the calibration server (KELVIX_CALI_SERVER) into the
    // calibration directory; true once nothing is missing.
    bool downloadCalibration(unsigned long serial);
    // Not available: prints a warning and answers false.
    bool copyCalibrationFromLocalRepo(unsigned long serial, std::string dir);

  private:
    IRCalibrationManager();

    // One pass of the completeness check; the list grows as names are found, so files that
    // appear or vanish meanwhile cannot overrun it. True when the description was read and
    // nothing is missing.
    bool checkCaliFiles(const wchar_t* dir, int serial, std::wstring& list,
                        const wchar_t* xmlPattern, const wchar_t* datPattern,
                        const wchar_t* prnPattern, const wchar_t* separator);
    static void checkFile(const wchar_t* dir, const wchar_t* stem, const wchar_t* pattern,
                          std::wstring& list);
    // One attempt: fetches the files of the list; true when at least one was delivered.
    static bool downloadTarget(wchar_t* missingList, std::wstring serialText,
                               std::wstring targetDir);

    static IRCalibrationManager* _this;

    std::unique_ptr<wchar_t[]> calibrationDir;  // kDirCapacity characters
    std::unique_ptr<wchar_t[]> formatsDir;      // kDirCapacity characters
    std::unique_ptr<std::vector<IROptics>> opticsCache;
};

}  // namespace zol
