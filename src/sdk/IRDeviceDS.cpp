// The video device: the camera's serial looked up in the USB registry, its capture graph, and the
// 16 instance slots whose forwarders carry each raw frame to its device's callback on the
// capture thread.
#include "kelvix/IRDeviceDS.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
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

// One raw-callback slot per possible instance, and one forwarder per slot.
std::atomic<IRRawFrameCallback> rawCallbacks[kMaxInstances];

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
        rawCallbacks[slot].store(nullptr);
        slotTaken[slot].store(false);
    }
}

template <int Slot>
void forwardRawFrame(unsigned char* data, int size, IRDevice* device) {
    if (IRRawFrameCallback cb = rawCallbacks[Slot].load()) {
        cb(data, size, device);
    }
}

template <int... Slots>
constexpr std::array<IRRawFrameCallback, sizeof...(Slots)> makeForwarders(
    std::integer_sequence<int, Slots...>) {
    return {forwardRawFrame<Slots>...};
}

constexpr auto rawForwarders = makeForwarders(std::make_integer_sequence<int, kMaxInstances>());

std::wstring filterName(const wchar_t* prefix, const wchar_t* wideName) {
    std::wstring name = std::wstring(prefix) + wideName;
    name.resize(std::min(name.size(), kNameChars - 1));
    return name;
}

void throwIfFailed(HRESULT hr) {
    if (FAILED(hr)) {
        throw static_cast<int>(hr);
    }
}

}  // namespace

int IRDeviceDS::_id = 0;

std::map<unsigned long, IRDeviceDS*>& IRDeviceDS::instances() {
    static std::map<unsigned long, IRDeviceDS*> registry;
    return registry;
}

IRDeviceDS::IRDeviceDS()
    : friendlyName(std::make_unique<char[]>(kNameChars)),
      wideName(std::make_unique<wchar_t[]>(kNameChars)),
      callbackHandler(std::make_unique<CallbackHandler>(this)) {
    controlledViaHID_ = true;
    initializeGraph();
}

IRDeviceDS::~IRDeviceDS() {
    if (frame_thread::inFrame()) {
        // Its capture thread cannot be joined from a frame: that thread, or one it waits for.
        KLOG_ERROR("Video device of camera " << serial_
                                             << " destroyed from a frame callback; destroy it "
                                                "from another thread. Ending the process.");
        std::abort();
    }
    if (graph) {
        stopStreaming();
    }
    graph.reset();  // no sample callback runs after this
    auto& registry = instances();
    auto it = registry.find(serial_);
    if (it != registry.end() && it->second == this) {
        registry.erase(it);
    }
    releaseSlot(callbackSlot);
}

IRDeviceDS* IRDeviceDS::createInstance(IRDeviceParams& params) {
    IRDeviceDS* device = createVideoGraph(params.serial, params.videoFormatIndex);
    if (device == nullptr) {
        return nullptr;
    }
    params.serial = device->serial_;
    if (FAILED(device->graph->run())) {
        device->graph->stop();
    }
    return device;
}

int IRDeviceDS::getId() {
    return _id;
}

const char* IRDeviceDS::getFriendlyName() {
    return friendlyName.get();
}

void IRDeviceDS::setCallback(IRRawFrameCallback callback) {
    rawCallbacks[callbackSlot].store(callback);
    callbackHandler->setCallback(rawForwarders[static_cast<std::size_t>(callbackSlot)]);
}

bool IRDeviceDS::isOpen() {
    return serial_ != 0;
}

IRDeviceError IRDeviceDS::getFrame(unsigned char*, double*) {
    KLOG_ERROR("getFrame method not implemented under Windows");
    return IRDEVICE_NOT_IMPLEMENTED;
}

int IRDeviceDS::startStreaming() {
    if (FAILED(graph->runFilter(platform::CaptureFilter::Renderer, 0)) ||
        FAILED(graph->runFilter(platform::CaptureFilter::Grabber, 0)) ||
        FAILED(graph->runFilter(platform::CaptureFilter::Source, 0))) {
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
    if (FAILED(graph->stopFilter(platform::CaptureFilter::Source)) ||
        FAILED(graph->stopFilter(platform::CaptureFilter::Grabber)) ||
        FAILED(graph->stopFilter(platform::CaptureFilter::Renderer))) {
        return -1;
    }
    return 0;
}

void IRDeviceDS::setClient(KelvixClient* client) {
    callbackHandler->setClient(client);
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

void IRDeviceDS::initializeGraph() {
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
                it->second->buildGraph(d, name, formatIndex);
                return it->second;
            }
        }
        if (s != 0 && (s == requested || requested == 0)) {
            const int slot = takeSlot();
            if (slot < 0) {
                KLOG_ERROR("Reached maximum number of instances --> return NULL");
                return nullptr;
            }
            std::unique_ptr<IRDeviceDS> device;
            try {
                device.reset(new IRDeviceDS());
            } catch (...) {
                releaseSlot(slot);
                throw;
            }
            device->callbackSlot = slot;
            device->serial_ = static_cast<unsigned int>(s);
            ++_id;
            registry[s] = device.get();
            // A failing build deletes the device, which leaves the registry and frees its slot.
            device->buildGraph(d, name, formatIndex);
            return device.release();  // the caller owns it
        }
    }
    return nullptr;
}

void IRDeviceDS::buildGraph(const platform::CaptureDevice& device, const std::wstring& name,
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
    const HRESULT hr = graph->setSampleCallback(callbackHandler.get());
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

    width_ = height_ = frequency_ = 0;
    platform::MediaType connected;
    if (SUCCEEDED(graph->connectedMediaType(connected)) && connected.videoInfo) {
        width_ = static_cast<unsigned int>(connected.width);
        height_ = static_cast<unsigned int>(connected.height);
        const auto duration =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(connected.frameDuration));
        frequency_ = duration > 0 ? static_cast<unsigned int>(10000000 / duration) : 0;
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
            pos = path.find(platform::toLower(prefix), pos + productText.size());
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
