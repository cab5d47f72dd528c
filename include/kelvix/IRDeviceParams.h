// The settings of one camera connection and their reader for the XML configuration file; filled
// by applications, the daemon and the USB client, handed to IRDeviceDS and Kelvix::init.
#pragma once

#include <cstdint>

#include "kelvix/export.h"

namespace zol {

// Settings of one camera connection, as read from the XML configuration file.
// The three strings are owned by whoever holds the record: releaseStrings() frees them.
struct KELVIX_API IRDeviceParams {
    std::uint32_t serial = 0;  // 0 = the first camera found
    int fov = 0;
    wchar_t* opticsText = nullptr;
    wchar_t* formatsPath = nullptr;
    wchar_t* caliPath = nullptr;
    int tMin = -20;
    int tMax = 100;
    float framerate = 20.0f;
    int videoFormatIndex = 0;
    int bispectral = 0;
    int average = 0;
    int autoFlag = 1;
    float minInterval = 15.0f;
    float maxInterval = 0.0f;
    int pifInMode = 0;
    int tChipMode = 0;
    float tChipFixedValue = 40.0f;

    // Frees the three strings (allocated as wide-character arrays) and sets them to null.
    void releaseStrings();
};

// Reads the XML configuration file (root "imager") into the record. Any thread, one record per
// call.
class KELVIX_API IRDeviceParamsReader {
  public:
    // Resets the record to the reading defaults, then takes every value the file has; false when
    // it cannot be read. Strings held before are overwritten, not freed: release them first.
    static bool readXML(const wchar_t* path, IRDeviceParams& params);
    // The same for a narrow path.
    static bool readXMLC(const char* path, IRDeviceParams& params);

  private:
    IRDeviceParamsReader() {}
};

}  // namespace zol
