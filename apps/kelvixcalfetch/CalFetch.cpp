// The steps of a run, on the program's main thread: log set-up, the connectivity check, the
// options, the serial (given, or asked of the attached camera), and the download.
#include "CalFetch.h"

#include <cstdlib>
#include <cwctype>
#include <iostream>
#include <string>

#include "kelvix/IRCalibrationManager.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/Logger.h"
#include "platform/OptionScanner.h"
#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/DefaultCalibrationDir.h"

namespace kelvixcalfetch {

namespace {

constexpr int kFailure = -1;
// Console on, no log file.
constexpr int kLogMode = zol::Logger::ModeFileOff | zol::Logger::ModeConsole;
constexpr long kSmallestSerial = 10000000;
constexpr long kLargestSerial = 99999999;

bool startsWithDigit(const char* text) {
    return text != nullptr && text[0] >= '0' && text[0] <= '9';
}

// The attached camera (any serial, first video format); null when none can be opened.
zol::IRDeviceDS* findCamera() {
    zol::IRDeviceParams params;
    params.serial = 0;
    params.videoFormatIndex = 0;
    try {
        return zol::IRDeviceDS::createInstance(params);
    } catch (int) {
        // A capture graph that cannot be built leaves no usable camera.
        return nullptr;
    }
}

}  // namespace

CalFetch::CalFetch() = default;
CalFetch::~CalFetch() = default;

int CalFetch::run(int argc, char** argv) {
    const std::string logName =
        std::string(argc > 0 && argv[0] != nullptr ? argv[0] : "kelvixcalfetch") + ".log";
    zol::Logger* logger = zol::Logger::getInstance();
    logger->configure(logName, kLogMode, zol::Logger::Error, zol::Logger::Info);

    zol::IRCalibrationManager* manager = zol::IRCalibrationManager::getInstance();
    if (!manager->isOnlineCalibrationRepoAccessible()) {
        std::cerr << "Calibration repository is not available. Please check Internet connection."
                  << std::endl;
        return kFailure;
    }

    // The default whole, not as the manager keeps it (cut short, it would name another
    // directory): an over-long one is refused below like an over-long -t.
    std::wstring target = zol::defaultCalibrationDir();
    unsigned long serial = 0;
    platform::OptionScanner options(argc, argv, "d:t:v");
    for (int option = options.next(); option != -1; option = options.next()) {
        const char* argument = options.argument();
        if (option == 'd' && startsWithDigit(argument)) {
            // strtol holds overlong numbers at LONG_MAX, so they fail the range check too.
            long value = std::strtol(argument, nullptr, 10);
            if (value < kSmallestSerial || value > kLargestSerial) {
                std::cerr << "Serial number needs to have exactly 8 digits. Please check input "
                             "parameter -d."
                          << std::endl;
                return kFailure;
            }
            serial = static_cast<unsigned long>(value);
        } else if (option == 't' && argument != nullptr) {
            // Judged by its first character, not its first byte, so non-ASCII names count.
            std::wstring dir = platform::toWide(argument);
            if (!dir.empty() && std::iswprint(static_cast<std::wint_t>(dir[0]))) {
                target = dir;
            }
        } else if (option == 'v') {
            logger->configure(logName, kLogMode, zol::Logger::Error, zol::Logger::Debug);
        }
    }

    if (serial == 0) {
        camera_.reset(findCamera());
        if (!camera_) {
            std::cout << "Valid serial number cannot be determined. Is device attached?"
                      << std::endl;
            return kFailure;
        }
        serial = camera_->getSerial();
    }

    // Trailing separators go; the root directory stays itself.
    while (target.size() > 1 && target.back() == platform::kPathSeparator) {
        target.pop_back();
    }
    // The manager keeps at most kDirCapacity - 1 characters; a cut path would name another
    // directory.
    if (target.size() >= static_cast<std::size_t>(zol::IRCalibrationManager::kDirCapacity)) {
        std::cerr << "Target directory is too long. Please check input parameter -t." << std::endl;
        return kFailure;
    }

    wchar_t unused[zol::IRCalibrationManager::kDirCapacity];
    manager->createConfigFilepath(unused, L"", zol::IRCalibrationManager::kDirCapacity, L"", L"");
    manager->setCalibrationDir(target.c_str());
    // Downloads cannot create the directory they write into.
    platform::createDirectory(target);

    if (!manager->downloadCalibration(serial)) {
        std::cerr << "Download of calibration files failed." << std::endl;
        return kFailure;
    }
    return 0;
}

}  // namespace kelvixcalfetch
