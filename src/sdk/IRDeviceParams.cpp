// Reading the XML configuration file (root "imager") into IRDeviceParams; every value read is
// logged at DEBUG level. Used by the daemon, the USB client and applications.
#include "kelvix/IRDeviceParams.h"

#include <string>

#include "kelvix/SimpleXML.h"
#include "platform/Strings.h"
#include "sdk/Log.h"

namespace zol {
namespace {

// Values every read starts from; they differ from the record's own defaults.
void resetForReading(IRDeviceParams& p) {
    p.serial = 0;
    p.fov = 0;
    p.opticsText = nullptr;
    p.formatsPath = nullptr;
    p.caliPath = nullptr;
    p.tMin = 0;
    p.tMax = 0;
    p.framerate = 30.0f;
    p.videoFormatIndex = -1;
    p.bispectral = 0;
    p.average = 0;
    p.autoFlag = 1;
    p.minInterval = 15.0f;
    p.maxInterval = 0.0f;
    p.pifInMode = 0;
    p.tChipMode = 0;
    p.tChipFixedValue = 40.0f;
}

// Null strings show as "(null)" so that they stay apart from empty ones.
std::string shown(const wchar_t* s) {
    return s != nullptr ? platform::toNarrow(s) : "(null)";
}

}  // namespace

void IRDeviceParams::releaseStrings() {
    delete[] opticsText;
    delete[] formatsPath;
    delete[] caliPath;
    opticsText = nullptr;
    formatsPath = nullptr;
    caliPath = nullptr;
}

bool IRDeviceParamsReader::readXML(const wchar_t* path, IRDeviceParams& params) {
    resetForReading(params);
    SimpleXML xml;
    if (!xml.open(path, L"imager")) {
        KLOG_ERROR("Cannot find configuration file "
                   << (path != nullptr ? platform::toNarrow(path) : std::string())
                   << " ... aborting");
        return false;
    }

    long serial = 0;
    if (xml.getLong(L"serial", &serial)) {
        params.serial = static_cast<std::uint32_t>(serial);
    }
    xml.getInt(L"videoformatindex", &params.videoFormatIndex);
    xml.getInt(L"fov", &params.fov);
    xml.getString(L"optics_text", &params.opticsText);
    xml.getString(L"calipath", &params.caliPath);
    xml.getString(L"formatspath", &params.formatsPath);

    if (xml.openNode(L"temperature")) {
        xml.getInt(L"min", &params.tMin);
        xml.getInt(L"max", &params.tMax);
    }
    xml.resetToRoot();

    xml.getFloat(L"framerate", &params.framerate);
    xml.getInt(L"bispectral", &params.bispectral);
    xml.getInt(L"average", &params.average);

    if (xml.openNode(L"autoflag")) {
        xml.getInt(L"enable", &params.autoFlag);
        xml.getFloat(L"mininterval", &params.minInterval);
        xml.getFloat(L"maxinterval", &params.maxInterval);
    }
    xml.resetToRoot();

    xml.getInt(L"pifmode", &params.pifInMode);
    xml.getInt(L"tchipmode", &params.tChipMode);
    xml.getFloat(L"tchipfixedvalue", &params.tChipFixedValue);

    KLOG_DEBUG("Parameters");
    KLOG_DEBUG("serial: " << params.serial);
    KLOG_DEBUG("videoformatindex: " << params.videoFormatIndex);
    KLOG_DEBUG("fov: " << params.fov);
    KLOG_DEBUG("optics_text: " << shown(params.opticsText));
    KLOG_DEBUG("formatspath: " << shown(params.formatsPath));
    KLOG_DEBUG("calipath: " << shown(params.caliPath));
    KLOG_DEBUG("temperature min: " << params.tMin);
    KLOG_DEBUG("temperature max: " << params.tMax);
    KLOG_DEBUG("framerate: " << params.framerate);
    KLOG_DEBUG("bispectral: " << params.bispectral);
    KLOG_DEBUG("average: " << params.average);
    KLOG_DEBUG("flag automatic: " << params.autoFlag);
    KLOG_DEBUG("min interval: " << params.minInterval);
    KLOG_DEBUG("max interval: " << params.maxInterval);
    KLOG_DEBUG("PIF mode: " << params.pifInMode);
    KLOG_DEBUG("chip heating mode: " << params.tChipMode);
    KLOG_DEBUG("chip heating fixed val: : " << params.tChipFixedValue);
    return true;
}

bool IRDeviceParamsReader::readXMLC(const char* path, IRDeviceParams& params) {
    if (path == nullptr) {
        return readXML(nullptr, params);
    }
    const std::wstring widePath = platform::toWide(path);
    return readXML(widePath.c_str(), params);
}

}  // namespace zol
