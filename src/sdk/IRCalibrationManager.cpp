#include "kelvix/IRCalibrationManager.h"

#include <cwchar>
#include <mutex>

#include "platform/Paths.h"
#include "sdk/Log.h"

namespace zol {

namespace {

std::mutex& instanceMutex() {
    static std::mutex mutex;
    return mutex;
}

// Copies at most capacity - 1 characters and always terminates.
void copyBounded(wchar_t* out, const wchar_t* text, std::size_t capacity) {
    std::size_t n = 0;
    while (n + 1 < capacity && text[n] != L'\0') {
        out[n] = text[n];
        ++n;
    }
    out[n] = L'\0';
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

}  // namespace

IRCalibrationManager* IRCalibrationManager::_this = nullptr;

IRCalibrationManager* IRCalibrationManager::getInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (_this == nullptr) {
        _this = new IRCalibrationManager();
    }
    return _this;
}

IRCalibrationManager::IRCalibrationManager()
    : calibrationDir(new wchar_t[kDirCapacity]),
      formatsDir(new wchar_t[kDirCapacity]),
      opticsCache(new std::vector<IROptics>()) {
    std::wstring dir = L"/tmp/cali";
    std::wstring appData;
    if (platform::appDataFolder(appData)) {
        platform::createDirectory(appData);
        dir = platform::joinPath(platform::joinPath(appData, L"Imager"), L"Cali");
    }
    copyBounded(calibrationDir, dir.c_str(), kDirCapacity);
    copyBounded(formatsDir, dir.c_str(), kDirCapacity);
}

IRCalibrationManager::~IRCalibrationManager() {
    delete opticsCache;
    delete[] calibrationDir;
    delete[] formatsDir;
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (_this == this) {
        _this = nullptr;
    }
}

void IRCalibrationManager::setCalibrationDir(const wchar_t* dir) {
    if (dir != nullptr) {
        copyBounded(calibrationDir, dir, kDirCapacity);
    }
}

void IRCalibrationManager::setFormatsDir(const wchar_t* dir) {
    if (dir != nullptr) {
        copyBounded(formatsDir, dir, kDirCapacity);
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

bool IRCalibrationManager::findSerial(unsigned long& serial) {
    KLOG_WARNING("findSerial is not implemented yet");
    return false;
}

}  // namespace zol
