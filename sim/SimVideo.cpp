// The simulated graph: capability records, filter states, and the capture thread that paces
// frames in real time at the format's frame duration, renders each from the camera's physics (or
// the plain test frame) and hands it to the sample grabber.
#include "SimVideo.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <thread>

#include "SimPhysics.h"
#include "device/HidEncoding.h"
#include "platform/Strings.h"

namespace sim {

namespace {

constexpr std::uint32_t kPixelFormatY16 = 0x20363159;  // 'Y16 '

void putWord(unsigned char* frame, std::size_t word, std::uint16_t value) {
    hidenc::putLe16(frame + 2 * word, value);
}

std::uint16_t getWord(const unsigned char* frame, std::size_t word) {
    return hidenc::le16(frame + 2 * word);
}

std::uint16_t centiKelvin(float celsius) {
    const float v = (celsius + 273.15f) * 100.0f + 0.5f;
    return v <= 0.0f ? 0 : v >= 65535.0f ? 65535 : static_cast<std::uint16_t>(v);
}

float celsius(std::uint16_t centiKelvin) {
    return centiKelvin / 100.0f - 273.15f;
}

const char* filterText(platform::CaptureFilter f) {
    switch (f) {
        case platform::CaptureFilter::Source:
            return "source";
        case platform::CaptureFilter::Grabber:
            return "grabber";
        default:
            return "renderer";
    }
}

class SimCaptureGraph : public platform::CaptureGraph {
  public:
    explicit SimCaptureGraph(SimCaptureService& service) : service_(service) {}
    ~SimCaptureGraph() override { stopCapture(); }

    HRESULT addSource(const platform::CaptureDevice& device, const std::wstring& name) override {
        service_.record("add source " + platform::toNarrow(name));
        camera_ = service_.cameraAt(device.displayName);
        return camera_ ? S_OK : E_FAIL;
    }

    HRESULT addSampleGrabber(const std::wstring& name) override {
        if (HRESULT hr = service_.failure(SimCaptureCall::SampleGrabber)) {
            return hr;
        }
        service_.record("add grabber " + platform::toNarrow(name));
        hasGrabber_ = true;
        return S_OK;
    }

    HRESULT setSampleCallback(platform::IUnknown* callback) override {
        if (HRESULT hr = service_.failure(SimCaptureCall::SampleCallback)) {
            return hr;
        }
        return grabber_.setCallback(callback);
    }

    HRESULT addNullRenderer(const std::wstring& name) override {
        if (HRESULT hr = service_.failure(SimCaptureCall::NullRenderer)) {
            return hr;
        }
        service_.record("add renderer " + platform::toNarrow(name));
        hasRenderer_ = true;
        return S_OK;
    }

    HRESULT renderPreview() override {
        if (HRESULT hr = service_.failure(SimCaptureCall::Render)) {
            return hr;
        }
        return (camera_ && hasGrabber_ && hasRenderer_) ? S_OK : E_FAIL;
    }

    HRESULT streamCapabilityCount(int& count, int& recordSize) override {
        if (HRESULT hr = service_.failure(SimCaptureCall::StreamConfig)) {
            return hr;
        }
        if (!camera_) {
            return E_NOINTERFACE;
        }
        std::lock_guard<std::mutex> lock(camera_->mutex());
        count = static_cast<int>(camera_->video.capabilities.size());
        recordSize = static_cast<int>(sizeof(platform::StreamCaps));
        return S_OK;
    }

    HRESULT streamCapability(int index, platform::MediaType& type,
                             platform::StreamCaps& caps) override {
        if (!camera_) {
            return E_NOINTERFACE;
        }
        SimVideoCapability c;
        if (!capability(index, c)) {
            return E_INVALIDARG;
        }
        type = mediaType(c);
        std::memset(&caps, 0, sizeof(caps));
        caps.pixelFormat = type.pixelFormat;
        caps.minWidth = caps.maxWidth = c.width;
        caps.minHeight = caps.maxHeight = c.height;
        caps.minFrameInterval = caps.maxFrameInterval = c.frameDuration;
        return S_OK;
    }

    HRESULT setStreamFormat(const platform::MediaType& type) override {
        if (!camera_) {
            return E_NOINTERFACE;
        }
        SimVideoCapability c;
        for (int i = 0; capability(i, c); ++i) {
            if (c.width == type.width && c.height == type.height &&
                c.frameDuration == type.frameDuration) {
                selected_ = i;
                service_.record("format " + std::to_string(i));
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }

    HRESULT connectedMediaType(platform::MediaType& type) override {
        SimVideoCapability c;
        if (!camera_ || !current(c)) {
            return E_FAIL;
        }
        type = mediaType(c);
        return S_OK;
    }

    HRESULT runFilter(platform::CaptureFilter filter, std::int64_t) override {
        if (HRESULT hr = service_.failure(SimCaptureCall::RunFilter)) {
            return hr;
        }
        service_.record(std::string("run ") + filterText(filter));
        running_[static_cast<int>(filter)] = true;
        update();
        return S_OK;
    }

    HRESULT stopFilter(platform::CaptureFilter filter) override {
        if (HRESULT hr = service_.failure(SimCaptureCall::StopFilter)) {
            return hr;
        }
        service_.record(std::string("stop ") + filterText(filter));
        running_[static_cast<int>(filter)] = false;
        update();
        return S_OK;
    }

    HRESULT run() override {
        if (HRESULT hr = service_.failure(SimCaptureCall::RunGraph)) {
            return hr;
        }
        service_.record("run graph");
        running_[0] = running_[1] = running_[2] = true;
        update();
        return S_OK;
    }

    HRESULT stop() override {
        service_.record("stop graph");
        running_[0] = running_[1] = running_[2] = false;
        update();
        return S_OK;
    }

  private:
    static platform::MediaType mediaType(const SimVideoCapability& c) {
        platform::MediaType type;
        type.videoInfo = true;
        type.width = c.width;
        type.height = c.height;
        type.frameDuration = c.frameDuration;
        type.pixelFormat = kPixelFormatY16;
        return type;
    }

    bool capability(int index, SimVideoCapability& c) const {
        std::lock_guard<std::mutex> lock(camera_->mutex());
        const auto& caps = camera_->video.capabilities;
        if (index < 0 || static_cast<std::size_t>(index) >= caps.size()) {
            return false;
        }
        c = caps[static_cast<std::size_t>(index)];
        return true;
    }

    bool current(SimVideoCapability& c) const {
        if (selected_ >= 0) {
            return capability(selected_, c);
        }
        int index;
        {
            std::lock_guard<std::mutex> lock(camera_->mutex());
            index = camera_->video.defaultCapability;
        }
        return capability(index, c);
    }

    void update() {
        const bool all = running_[0] && running_[1] && running_[2];
        if (all && !thread_.joinable() && camera_) {
            SimVideoCapability c;
            if (!current(c) || c.width * c.height < kSimHeaderWords) {
                return;
            }
            stop_ = false;
            thread_ = std::thread([this, c] { captureLoop(c); });
        } else if (!all) {
            stopCapture();
        }
    }

    void stopCapture() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void captureLoop(SimVideoCapability c) {
        std::vector<unsigned char> frame(static_cast<std::size_t>(c.width) * c.height * 2);
        const auto interval =
            std::chrono::nanoseconds(std::max<std::int64_t>(c.frameDuration, 1) * 100);
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            next += interval;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (cv_.wait_until(lock, next, [this] { return stop_; })) {
                    return;
                }
            }
            if (renderPhysics(c, frame)) {
                continue;
            }
            SimFrameHeader h;
            {
                std::lock_guard<std::mutex> lock(camera_->mutex());
                h.flagState = camera_->flagState;
                h.tempChip = camera_->tempChip;
                h.tempFlag = camera_->tempFlag;
                h.tempBox = camera_->tempBox;
                h.frameCounter = ++camera_->video.frameCounter;
            }
            h.width = c.width;
            h.height = c.height;
            composeSimFrame(h, frame.data(), frame.size());
            const double t = static_cast<double>(h.frameCounter) * c.frameDuration / 1e7;
            grabber_.deliver(t, frame.data(), static_cast<long>(frame.size()));
        }
    }

    // A camera with physics whose raw layout is this format renders its scene.
    bool renderPhysics(const SimVideoCapability& c, std::vector<unsigned char>& frame) {
        std::shared_ptr<SimPhysics> physics;
        std::uint32_t counter = 0;
        {
            std::lock_guard<std::mutex> lock(camera_->mutex());
            physics = camera_->physics;
            if (physics == nullptr || physics->layout().rawWidth() != c.width ||
                physics->layout().rawHeight() != c.height) {
                return false;
            }
            counter = ++camera_->video.frameCounter;
        }
        std::vector<std::uint16_t> words(frame.size() / 2);
        physics->nextFrame(words.data());
        std::memcpy(frame.data(), words.data(), words.size() * 2);
        const double t = static_cast<double>(counter) * c.frameDuration / 1e7;
        grabber_.deliver(t, frame.data(), static_cast<long>(frame.size()));
        return true;
    }

    SimCaptureService& service_;
    std::shared_ptr<SimCamera> camera_;
    bool hasGrabber_ = false;
    bool hasRenderer_ = false;
    bool running_[3] = {false, false, false};
    int selected_ = -1;
    platform::SampleGrabber grabber_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace

void composeSimFrame(const SimFrameHeader& h, unsigned char* frame, std::size_t size) {
    const std::size_t words = size / 2;
    if (words < kSimHeaderWords) {
        return;
    }
    putWord(frame, kSimWordFlagState, static_cast<std::uint16_t>(h.flagState));
    putWord(frame, kSimWordTempChip, centiKelvin(h.tempChip));
    putWord(frame, kSimWordTempFlag, centiKelvin(h.tempFlag));
    putWord(frame, kSimWordTempBox, centiKelvin(h.tempBox));
    putWord(frame, kSimWordCounterLow, static_cast<std::uint16_t>(h.frameCounter & 0xFFFF));
    putWord(frame, kSimWordCounterHigh, static_cast<std::uint16_t>(h.frameCounter >> 16));
    putWord(frame, kSimWordWidth, static_cast<std::uint16_t>(h.width));
    putWord(frame, kSimWordHeight, static_cast<std::uint16_t>(h.height));
    for (std::size_t i = kSimHeaderWords; i < words; ++i) {
        putWord(frame, i, simPixel(i - kSimHeaderWords, h.frameCounter));
    }
}

bool readSimFrameHeader(const unsigned char* frame, std::size_t size, SimFrameHeader& h) {
    if (frame == nullptr || size / 2 < kSimHeaderWords) {
        return false;
    }
    h.flagState = getWord(frame, kSimWordFlagState);
    h.tempChip = celsius(getWord(frame, kSimWordTempChip));
    h.tempFlag = celsius(getWord(frame, kSimWordTempFlag));
    h.tempBox = celsius(getWord(frame, kSimWordTempBox));
    h.frameCounter = getWord(frame, kSimWordCounterLow) |
                     (static_cast<std::uint32_t>(getWord(frame, kSimWordCounterHigh)) << 16);
    h.width = getWord(frame, kSimWordWidth);
    h.height = getWord(frame, kSimWordHeight);
    return true;
}

std::wstring simParentIdPrefix(const SimCamera& camera) {
    if (!camera.video.parentIdPrefix.empty()) {
        return camera.video.parentIdPrefix;
    }
    wchar_t text[32];
    std::swprintf(text, 32, L"7&%08x&0", camera.serial());
    return text;
}

std::wstring simDevicePath(const SimCamera& camera) {
    if (!camera.video.devicePath.empty()) {
        return camera.video.devicePath;
    }
    return L"sim:usb#vid_0403&pid_de37&mi_00#" + simParentIdPrefix(camera) + L"&0000#video";
}

SimCaptureService::SimCaptureService() = default;
SimCaptureService::~SimCaptureService() = default;

void SimCaptureService::attach(std::shared_ptr<SimCamera> camera) {
    Entry e;
    e.device.propertyBag = camera->video.propertyBag;
    e.device.description = camera->video.description;
    e.device.friendlyName = camera->video.friendlyName;
    e.device.displayName = simDevicePath(*camera);
    e.camera = std::move(camera);
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(e));
}

void SimCaptureService::addDevice(const platform::CaptureDevice& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{device, nullptr});
}

void SimCaptureService::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

void SimCaptureService::fail(SimCaptureCall call, HRESULT result) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == S_OK) {
        failures_.erase(call);
    } else {
        failures_[call] = result;
    }
}

std::vector<std::string> SimCaptureService::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void SimCaptureService::clearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

HRESULT SimCaptureService::failure(SimCaptureCall call) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failures_.find(call);
    return it == failures_.end() ? S_OK : it->second;
}

void SimCaptureService::record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

std::shared_ptr<SimCamera> SimCaptureService::cameraAt(const std::wstring& devicePath) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
        if (e.camera && e.device.displayName == devicePath) {
            return e.camera;
        }
    }
    return nullptr;
}

HRESULT SimCaptureService::videoInputDevices(std::vector<platform::CaptureDevice>& devices) {
    if (HRESULT hr = failure(SimCaptureCall::ListDevices)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    devices.clear();
    for (const Entry& e : entries_) {
        devices.push_back(e.device);
    }
    return S_OK;
}

HRESULT SimCaptureService::createGraph(std::unique_ptr<platform::CaptureGraph>& graph) {
    if (HRESULT hr = failure(SimCaptureCall::CreateGraph)) {
        return hr;
    }
    graph = std::make_unique<SimCaptureGraph>(*this);
    return S_OK;
}

ScopedSimVideo::ScopedSimVideo() : scopedCapture_(capture), scopedRegistry_(registry) {}

ScopedSimVideo::~ScopedSimVideo() = default;

std::shared_ptr<SimCamera> ScopedSimVideo::attach(std::shared_ptr<SimCamera> camera) {
    capture.attach(camera);
    registry.attach(*camera);
    return camera;
}

}  // namespace sim
