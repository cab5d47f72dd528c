// The video device: the camera's serial looked up in the USB registry, its capture graph, and the
// 16 instance slots of the cameras open at a time.
#include "kelvix/IRDeviceDS.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/CaptureService.h"
#include "platform/Event.h"
#include "platform/Strings.h"
#include "platform/UsbRegistry.h"
#include "sdk/CallbackHandler.h"
#include "sdk/FrameThread.h"
#include "sdk/Log.h"

namespace zol {

namespace {

constexpr int kMaxInstances = 16;
constexpr std::size_t kNameChars = 80;  // both name buffers, terminator included
constexpr std::size_t kMaxPathChars = 1024;
constexpr unsigned kCameraVendor = 0x0403;
constexpr unsigned kCameraProduct = 0xDE37;
constexpr int kCapsRecordSize = 128;

// The instance slots that live instances hold: a deleted instance gives its slot back, so that
// opening and closing a camera again and again never runs out of them.
std::atomic<bool> slotTaken[kMaxInstances];

int takeSlot() {
    for (int slot = 0; slot < kMaxInstances; ++slot) {
        bool expected = false;
        if (slotTaken[slot].compare_exchange_strong(expected, true)) {
            return slot;
        }
    }
    return -1;
}

void releaseSlot(int slot) {
    if (slot >= 0 && slot < kMaxInstances) {
        slotTaken[slot].store(false);
    }
}

std::wstring filterName(const wchar_t* prefix, const wchar_t* wideName) {
    std::wstring name = std::wstring(prefix) + wideName;
    name.resize(std::min(name.size(), kNameChars - 1));
    return name;
}

// Where `element` stands in `path` from `from` on as a whole element, between separators or
// the path's ends: a camera on port 1-1 must not take the node of one on port 1-10 or 11-1.
std::size_t findElement(const std::wstring& path, const std::wstring& element, std::size_t from) {
    const std::wstring_view separators = L"#&?/\\";
    auto bounds = [&](std::size_t i) {
        return i >= path.size() || separators.find(path[i]) != std::wstring_view::npos;
    };
    for (std::size_t pos = path.find(element, from); pos != std::wstring::npos;
         pos = path.find(element, pos + 1)) {
        if ((pos == 0 || bounds(pos - 1)) && bounds(pos + element.size())) {
            return pos;
        }
    }
    return std::wstring::npos;
}

void throwIfFailed(HRESULT hr) {
    if (FAILED(hr)) {
        throw static_cast<int>(hr);
    }
}

}  // namespace

// One open camera: its graph, its sample callback, its names and format, and the devices that
// share it. The last device to go closes it.
struct IRDeviceDS::Camera : std::enable_shared_from_this<Camera> {
    Camera();
    ~Camera();
    void initializeGraph();
    void buildGraph(const platform::CaptureDevice& device, const std::wstring& name,
                    int formatIndex);
    int stopStreaming();

    unsigned int serial = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int frequency = 0;
    std::unique_ptr<char[]> friendlyName;  // 80 characters
    std::unique_ptr<wchar_t[]> wideName;   // 80 characters: the name and the instance count
    CallbackHandler callbackHandler;       // outlives the graph that calls it
    std::unique_ptr<platform::CaptureGraph> graph;
    int instanceSlot = -1;  // this camera's instance slot
    std::vector<IRDeviceDS*> devices;
};

int IRDeviceDS::_id = 0;

std::map<unsigned long, IRDeviceDS::Camera*>& IRDeviceDS::instances() {
    static std::map<unsigned long, Camera*> registry;
    return registry;
}

IRDeviceDS::Camera::Camera()
    : friendlyName(std::make_unique<char[]>(kNameChars)),
      wideName(std::make_unique<wchar_t[]>(kNameChars)) {
    initializeGraph();
}

IRDeviceDS::Camera::~Camera() {
    if (graph) {
        stopStreaming();
    }
    graph.reset();  // no sample callback runs after this
    auto& registry = instances();
    auto it = registry.find(serial);
    if (it != registry.end() && it->second == this) {
        registry.erase(it);
    }
    releaseSlot(instanceSlot);
}

IRDeviceDS::IRDeviceDS(std::shared_ptr<Camera> shared) : camera(std::move(shared)) {
    controlledViaHID_ = true;
    camera->devices.push_back(this);
    camera->callbackHandler.setStreaming(this, true);
    takeFormat();
}

IRDeviceDS::~IRDeviceDS() {
    if (frame_thread::inFrame()) {
        // Its capture thread cannot be joined from a frame: that thread, or one it waits for.
        KLOG_ERROR("Video device of camera " << serial_
                                             << " destroyed from a frame callback; destroy it "
                                                "from another thread. Ending the process.");
        std::abort();
    }
    auto& devices = camera->devices;
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
    // Nothing set through this device is reached once it is gone, whoever else holds the camera.
    camera->callbackHandler.forget(this);
}

void IRDeviceDS::takeFormat() {
    serial_ = camera->serial;
    width_ = camera->width;
    height_ = camera->height;
    frequency_ = camera->frequency;
}

IRDeviceDS* IRDeviceDS::createInstance(IRDeviceParams& params) {
    IRDeviceDS* device = createVideoGraph(params.serial, params.videoFormatIndex);
    if (device == nullptr) {
        return nullptr;
    }
    params.serial = device->serial_;
    if (FAILED(device->camera->graph->run())) {
        device->camera->graph->stop();
    }
    return device;
}

int IRDeviceDS::getId() {
    return _id;
}

const char* IRDeviceDS::getFriendlyName() {
    return camera->friendlyName.get();
}

void IRDeviceDS::setCallback(IRRawFrameCallback callback) {
    camera->callbackHandler.setCallback(callback, this);
}

bool IRDeviceDS::isOpen() {
    return serial_ != 0;
}

IRDeviceError IRDeviceDS::getFrame(unsigned char*, double*) {
    KLOG_ERROR("getFrame method not implemented under Windows");
    return IRDEVICE_NOT_IMPLEMENTED;
}

int IRDeviceDS::startStreaming() {
    camera->callbackHandler.setStreaming(this, true);
    platform::CaptureGraph& graph = *camera->graph;
    if (FAILED(graph.runFilter(platform::CaptureFilter::Renderer, 0)) ||
        FAILED(graph.runFilter(platform::CaptureFilter::Grabber, 0)) ||
        FAILED(graph.runFilter(platform::CaptureFilter::Source, 0))) {
        return -1;
    }
    return 0;
}

int IRDeviceDS::stopStreaming() {
    if (frame_thread::inFrame()) {
        KLOG_ERROR("stopStreaming of camera " << serial_
                                              << " refused in a frame callback: it waits for the "
                                                 "frame's own thread; stop from another thread");
        return -1;
    }
    // The camera goes on for its other owners that stream, without what this one set.
    if (camera->callbackHandler.setStreaming(this, false)) {
        return 0;
    }
    return camera->stopStreaming();
}

int IRDeviceDS::Camera::stopStreaming() {
    if (FAILED(graph->stopFilter(platform::CaptureFilter::Source)) ||
        FAILED(graph->stopFilter(platform::CaptureFilter::Grabber)) ||
        FAILED(graph->stopFilter(platform::CaptureFilter::Renderer))) {
        return -1;
    }
    return 0;
}

void IRDeviceDS::setClient(KelvixClient* client) {
    camera->callbackHandler.setClient(client, this);
}

void IRDeviceDS::run() {
    std::shared_ptr<platform::Event> event = platform::Event::named("wakeUp", false);
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        wakeEvent = event;
    }
    event->wait();
    event->reset();
    std::lock_guard<std::mutex> lock(wakeMutex);
    wakeEvent.reset();
}

void IRDeviceDS::exit() {
    std::shared_ptr<platform::Event> event;
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        event = wakeEvent;
    }
    if (event) {
        event->set();
    }
}

void IRDeviceDS::Camera::initializeGraph() {
    std::unique_ptr<platform::CaptureGraph> fresh;
    throwIfFailed(platform::captureService().createGraph(fresh));
    if (!fresh) {
        throw static_cast<int>(E_POINTER);
    }
    graph = std::move(fresh);
}

IRDeviceDS* IRDeviceDS::createVideoGraph(unsigned long requested, int formatIndex) {
    std::vector<platform::CaptureDevice> devices;
    throwIfFailed(platform::captureService().videoInputDevices(devices));
    for (const platform::CaptureDevice& d : devices) {
        if (!d.propertyBag) {
            continue;
        }
        const std::wstring& name = !d.description.empty() ? d.description : d.friendlyName;
        if (name.empty() || d.displayName.empty()) {
            continue;
        }
        std::wstring path = d.displayName.substr(0, kMaxPathChars);
        const unsigned long s = determineSerialNumber(&path[0]);

        auto& registry = instances();
        if (s == requested) {
            auto it = registry.find(requested);
            if (it != registry.end()) {
                // The open camera is rebuilt; the caller gets a device of its own that shares it.
                std::shared_ptr<Camera> open = it->second->shared_from_this();
                const unsigned int width = open->width, height = open->height;
                open->buildGraph(d, name, formatIndex);
                if (open->width != width || open->height != height) {
                    // One format per camera: imagers of the old size drop the new frames.
                    KLOG_WARNING("Camera " << s << " opened again with another format: its "
                                           << open->devices.size() << " other owners now get "
                                           << open->width << "x" << open->height
                                           << " frames instead of " << width << "x" << height);
                }
                auto device = std::unique_ptr<IRDeviceDS>(new IRDeviceDS(open));
                for (IRDeviceDS* sharing : open->devices) {
                    sharing->takeFormat();
                }
                return device.release();
            }
        }
        if (s != 0 && (s == requested || requested == 0)) {
            const int slot = takeSlot();
            if (slot < 0) {
                KLOG_ERROR("Reached maximum number of instances --> return NULL");
                return nullptr;
            }
            std::shared_ptr<Camera> camera;
            try {
                camera = std::make_shared<Camera>();
            } catch (...) {
                releaseSlot(slot);
                throw;
            }
            camera->instanceSlot = slot;
            camera->serial = static_cast<unsigned int>(s);
            camera->callbackHandler.setSerial(camera->serial);
            ++_id;
            registry[s] = camera.get();
            auto device = std::unique_ptr<IRDeviceDS>(new IRDeviceDS(std::move(camera)));
            // A failing build deletes the device and its camera, which leaves the registry and
            // frees its slot.
            device->camera->buildGraph(d, name, formatIndex);
            device->takeFormat();
            return device.release();  // the caller owns it
        }
    }
    return nullptr;
}

void IRDeviceDS::Camera::buildGraph(const platform::CaptureDevice& device, const std::wstring& name,
                                    int formatIndex) {
    initializeGraph();

    std::size_t n = std::min(name.size(), kNameChars - 1);
    for (std::size_t i = 0; i < n; ++i) {
        friendlyName[i] = static_cast<char>(name[i] & 0xFF);
    }
    friendlyName[n] = '\0';
    const std::wstring id = std::to_wstring(_id);
    platform::copyBounded(
        wideName.get(), kNameChars,
        name.substr(0, kNameChars - 1 - std::min(id.size(), kNameChars - 1)) + id);

    graph->addSource(device, wideName.get());
    throwIfFailed(graph->addSampleGrabber(filterName(L"SG ", wideName.get())));
    const HRESULT hr = graph->setSampleCallback(&callbackHandler);
    if (hr != S_OK) {
        throw static_cast<int>(hr);
    }
    throwIfFailed(graph->addNullRenderer(filterName(L"NR ", wideName.get())));
    throwIfFailed(graph->renderPreview());

    // Capability 2 x formatIndex, when it exists; otherwise the device keeps its own format.
    int count = 0;
    int recordSize = 0;
    const long long capability = 2LL * formatIndex;
    if (SUCCEEDED(graph->streamCapabilityCount(count, recordSize)) &&
        recordSize == kCapsRecordSize && capability >= 0 && capability < count) {
        platform::MediaType type;
        platform::StreamCaps caps;
        if (SUCCEEDED(graph->streamCapability(static_cast<int>(capability), type, caps))) {
            graph->setStreamFormat(type);
        }
    }

    width = height = frequency = 0;
    platform::MediaType connected;
    if (SUCCEEDED(graph->connectedMediaType(connected)) && connected.videoInfo) {
        width = static_cast<unsigned int>(connected.width);
        height = static_cast<unsigned int>(connected.height);
        const auto duration =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(connected.frameDuration));
        frequency = duration > 0 ? static_cast<unsigned int>(10000000 / duration) : 0;
    }
    stopStreaming();
}

unsigned long IRDeviceDS::determineSerialNumber(wchar_t* devicePath) {
    wchar_t vendor[16];
    wchar_t product[16];
    wchar_t key[128];
    std::swprintf(vendor, 16, L"Vid_%04x", kCameraVendor);
    std::swprintf(product, 16, L"Pid_%04x", kCameraProduct);
    std::swprintf(key, 128, L"SYSTEM\\CurrentControlSet\\Enum\\USB\\%ls&%ls", vendor, product);
    std::unique_ptr<platform::UsbRegistry::Key> usb =
        platform::usbRegistry().openLocalMachineKey(key);
    if (!usb || devicePath == nullptr) {
        return 0;
    }
    const std::wstring path = platform::toLower(devicePath);
    const std::wstring vendorText = platform::toLower(vendor);
    const std::wstring productText = platform::toLower(product);
    unsigned long serial = 0;
    std::wstring subKey;
    for (std::size_t index = 0; usb->subKeyName(index, subKey); ++index) {
        std::wstring prefix;
        if (subKey.size() > kMaxPathChars || !usb->subKeyValue(subKey, L"ParentIdPrefix", prefix) ||
            prefix.empty()) {
            continue;
        }
        std::size_t pos = path.find(vendorText);
        if (pos != std::wstring::npos) {
            pos = path.find(productText, pos + vendorText.size());
        }
        if (pos != std::wstring::npos) {
            pos = findElement(path, platform::toLower(prefix), pos + productText.size());
        }
        if (pos == std::wstring::npos) {
            continue;
        }
        int number = 0;
        if (std::swscanf(subKey.c_str(), L"%d", &number) == 1) {
            serial = static_cast<unsigned int>(number);
            break;
        }
    }
    return serial;
}

}  // namespace zol
