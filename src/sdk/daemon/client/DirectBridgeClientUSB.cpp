// The in-process bridge client: connecting (configuration, video device, calibration check and
// download, imager), frames from the capture thread into the newest-frame buffer, and getters
// that wait for a frame not handed out yet.
#include "kelvix/DirectBridgeClientUSB.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kelvix/IRCalibrationManager.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/Kelvix.h"
#include "kelvix/Logger.h"
#include "platform/Strings.h"
#include "sdk/Log.h"
#include "sdk/RadiationLimits.h"

namespace zol {

namespace {

constexpr auto kFrameWait = std::chrono::milliseconds(1000);

// The path cut to what a directory buffer of the calibration manager holds.
std::wstring boundedDir(const wchar_t* path) {
    std::wstring dir = path;
    if (dir.size() >= static_cast<std::size_t>(IRCalibrationManager::kDirCapacity)) {
        dir.resize(IRCalibrationManager::kDirCapacity - 1);
    }
    return dir;
}

}  // namespace

DirectBridgeClientUSB* DirectBridgeClientUSB::getInstance() {
    static DirectBridgeClientUSB instance;
    return &instance;
}

DirectBridgeClientUSB::DirectBridgeClientUSB() = default;

DirectBridgeClientUSB::~DirectBridgeClientUSB() {
    shutdown();
    params.releaseStrings();
}

void DirectBridgeClientUSB::shutdown() {
    std::lock_guard<std::mutex> state(stateMutex);
    releaseImager();
    connected = false;
    device.reset();
}

void DirectBridgeClientUSB::shutdownAtExit() {
    getInstance()->shutdown();
}

void DirectBridgeClientUSB::init(const std::string& xmlConfigPath, const std::string& formatsPath,
                                 const std::string& logPath) {
    std::lock_guard<std::mutex> state(stateMutex);
    if (connected) {
        return;
    }
    xmlConfig = xmlConfigPath;
    formatsDir = formatsPath;
    logFile = logPath;
}

bool DirectBridgeClientUSB::isConnected() const {
    return connected;
}

bool DirectBridgeClientUSB::connect() {
    std::lock_guard<std::mutex> state(stateMutex);
    if (connected) {
        return true;
    }

    if (!logFile.empty()) {
        Logger::getInstance()->configure(logFile, Logger::ModeFile | Logger::ModeConsole,
                                         Logger::Debug, Logger::Error);
    } else {
        Logger::getInstance()->configure("morvane.log", Logger::ModeFileOff | Logger::ModeConsole,
                                         Logger::Error, Logger::Error);
    }

    // The reader starts from null strings; the previous connection's are freed first.
    params.releaseStrings();
    if (!IRDeviceParamsReader::readXML(platform::toWide(xmlConfig).c_str(), params)) {
        return false;
    }
    if (!formatsDir.empty()) {
        delete[] params.formatsPath;
        params.formatsPath = platform::newWideArray(platform::toWide(formatsDir));
    }

    const std::uint32_t configuredSerial = params.serial;
    IRDeviceDS* found = nullptr;
    try {
        found = IRDeviceDS::createInstance(params);
    } catch (int code) {
        KLOG_ERROR("Video device of serial " << configuredSerial << " could not be opened (error 0x"
                                             << std::hex << static_cast<unsigned>(code) << ")");
        return false;
    }
    if (found == nullptr) {
        KLOG_ERROR("UVC device with serial " << configuredSerial << " could not be found");
        return false;
    }
    // Replaces the device kept from before; for the same camera the new one shares it, so
    // deleting the old one leaves the camera open.
    device.reset(found);
    if (this == getInstance()) {
        // Registered after the video layer's statics exist, so it runs before they go.
        static const bool atExit = (std::atexit(&DirectBridgeClientUSB::shutdownAtExit), true);
        (void)atExit;
    }

    IRCalibrationManager* calibration = IRCalibrationManager::getInstance();
    if (params.caliPath != nullptr) {
        calibration->setCalibrationDir(boundedDir(params.caliPath).c_str());
    }
    if (params.formatsPath != nullptr) {
        calibration->setFormatsDir(boundedDir(params.formatsPath).c_str());
    }
    // Makes sure the default data folder exists; the path itself is not needed.
    wchar_t unused[IRCalibrationManager::kDirCapacity];
    calibration->createConfigFilepath(unused, L"", IRCalibrationManager::kDirCapacity, L"", L"");
    std::unique_ptr<wchar_t[]> missing(calibration->checkCalibration(device->getSerial()));
    if (missing != nullptr && missing[0] != L'\0' &&
        !calibration->downloadCalibration(device->getSerial())) {
        return false;
    }

    auto created = std::make_unique<Kelvix>();
    if (!created->init(&params, device->getFrequency(), device->getWidth(), device->getHeight(),
                       device->controlledViaHID(), 0, 0)) {
        return false;  // the imager's slot is freed with it
    }
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        frameWidth = created->getWidth();
        frameHeight = created->getHeight();
        frameBuffer.assign(static_cast<std::size_t>(frameWidth) * frameHeight, 0);
        // Nothing from an earlier connection counts as new.
        lastReadCounter = frameCounter;
    }
    created->setClient(this);
    {
        std::lock_guard<std::mutex> lock(imagerMutex);
        imager = std::move(created);
    }
    device->setClient(this);

    if (device->startStreaming() != 0) {
        KLOG_ERROR(
            "Error occurred in starting stream ... aborting. You may need to reconnect the "
            "camera.");
        return failConnect();
    }
    connected = true;
    return true;
}

// A stream that did not start may still have started parts of the graph.
bool DirectBridgeClientUSB::failConnect() {
    releaseImager();
    return false;
}

void DirectBridgeClientUSB::releaseImager() {
    std::unique_ptr<Kelvix> released;  // deleted on return, outside the lock
    {
        std::lock_guard<std::mutex> lock(imagerMutex);
        if (imager == nullptr) {
            return;
        }
    }
    // Stopping joins the capture thread, which may be waiting for the imager lock: not held.
    if (device != nullptr) {
        device->stopStreaming();
    }
    {
        std::lock_guard<std::mutex> lock(imagerMutex);
        released = std::move(imager);
    }
}

bool DirectBridgeClientUSB::disconnect() {
    std::lock_guard<std::mutex> state(stateMutex);
    if (!connected) {
        return false;
    }
    releaseImager();
    connected = false;
    return true;
}

void DirectBridgeClientUSB::onRawFrame(unsigned char* raw, int size) {
    std::lock_guard<std::mutex> lock(imagerMutex);
    if (imager != nullptr) {
        imager->process(raw, size, nullptr);
    }
}

void DirectBridgeClientUSB::onThermalFrame(unsigned short* data, unsigned int width,
                                           unsigned int height, IRFrameMetadata meta, void* arg) {
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        const std::size_t pixels = static_cast<std::size_t>(width) * height;
        if (data == nullptr || pixels != frameBuffer.size()) {
            return;
        }
        ++frameCounter;
        std::memcpy(frameBuffer.data(), data, pixels * sizeof(std::uint16_t));
    }
    frameSignal.notify_one();
}

bool DirectBridgeClientUSB::waitForFrame(std::unique_lock<std::mutex>& lock) {
    // A wake-up without a new frame is no image.
    if (!frameSignal.wait_for(lock, kFrameWait,
                              [this] { return frameCounter != lastReadCounter; })) {
        return false;
    }
    lastReadCounter = frameCounter;
    return true;
}

std::pair<bool, ThermalImage*> DirectBridgeClientUSB::getThermalImage() {
    if (!connected) {
        return {false, nullptr};
    }
    std::unique_lock<std::mutex> lock(frameMutex);
    auto image = std::make_unique<ThermalImage>();
    image->frameCounter = 0;
    image->width = frameWidth;
    image->height = frameHeight;
    if (!waitForFrame(lock)) {
        return {false, nullptr};
    }
    image->data = frameBuffer;
    return {true, image.release()};
}

void DirectBridgeClientUSB::renderPalette(std::vector<std::uint16_t>& frame, unsigned width,
                                          unsigned height, PaletteImage& image) {
    std::lock_guard<std::mutex> lock(builderMutex);
    imageBuilder.setPaletteScalingMethod(static_cast<EnumTervanPaletteScalingMethod>(paletteScale));
    imageBuilder.setPalette(static_cast<EnumTervanColoringPalette>(palette));
    imageBuilder.setData(width, height, frame.data());
    image.width = imageBuilder.getStride();
    image.height = height;
    image.rgb.assign(static_cast<std::size_t>(image.width) * height * 3, 0);
    if (!image.rgb.empty()) {
        imageBuilder.convertTemperatureToPaletteImage(image.rgb.data(), false);
    }
}

std::pair<bool, PaletteImage*> DirectBridgeClientUSB::getPaletteImage() {
    if (!connected) {
        return {false, nullptr};
    }
    auto image = std::make_unique<PaletteImage>();
    image->frameCounter = 0;
    image->channels = 3;
    image->bytesPerChannel = 1;
    std::vector<std::uint16_t> copy;
    unsigned width, height;
    {
        std::unique_lock<std::mutex> lock(frameMutex);
        image->height = frameHeight;
        if (!waitForFrame(lock)) {
            return {false, nullptr};
        }
        copy = frameBuffer;
        width = frameWidth;
        height = frameHeight;
    }
    renderPalette(copy, width, height, *image);
    return {true, image.release()};
}

std::pair<bool, ThmPalImage> DirectBridgeClientUSB::getThmPalImage() {
    const ThmPalImage none{nullptr, nullptr};
    if (!connected) {
        return {false, none};
    }
    auto thermal = std::make_unique<ThermalImage>();
    auto paletteImage = std::make_unique<PaletteImage>();
    {
        std::unique_lock<std::mutex> lock(frameMutex);
        thermal->frameCounter = 0;
        thermal->width = frameWidth;
        thermal->height = frameHeight;
        paletteImage->height = frameHeight;
        if (!waitForFrame(lock)) {
            return {false, none};
        }
        thermal->data = frameBuffer;
    }
    renderPalette(thermal->data, thermal->width, thermal->height, *paletteImage);
    return {true, {thermal.release(), paletteImage.release()}};
}

int DirectBridgeClientUSB::setPalette(int p) {
    std::lock_guard<std::mutex> lock(builderMutex);
    palette = p;
    return 0;
}

int DirectBridgeClientUSB::setPaletteScale(int scale) {
    std::lock_guard<std::mutex> lock(builderMutex);
    paletteScale = scale;
    return 0;
}

int DirectBridgeClientUSB::triggerFlag() {
    std::lock_guard<std::mutex> lock(imagerMutex);
    if (imager == nullptr) {
        return -1;
    }
    imager->forceFlagEvent(0);
    return 0;
}

int DirectBridgeClientUSB::setFlagAutoMode(bool automatic) {
    std::lock_guard<std::mutex> lock(imagerMutex);
    if (imager == nullptr) {
        return -1;
    }
    imager->setAutoFlag(automatic);
    return 0;
}

int DirectBridgeClientUSB::setTempRange(int tMin, int tMax) {
    std::lock_guard<std::mutex> lock(imagerMutex);
    if (imager == nullptr) {
        return -1;
    }
    imager->setTempRange(tMin, tMax);
    return 0;
}

int DirectBridgeClientUSB::setRadiationParameters(float emissivity, float transmissivity,
                                                  float tAmbient) {
    std::lock_guard<std::mutex> lock(imagerMutex);
    if (imager == nullptr) {
        return -1;
    }
    imager->setRadiationParameters(emissivity, transmissivity, tAmbient);
    // Refused values leave the imager as it was: not a success.
    return radiationParametersRefusal(emissivity, transmissivity, tAmbient).empty() ? 0 : -1;
}

}  // namespace zol
