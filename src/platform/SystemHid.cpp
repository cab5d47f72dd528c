// Loading and binding the system library with a count of users under one mutex, the handles over
// its devices, and the probes and locks of device nodes.
#include "platform/SystemHid.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Strings.h"
#include "platform/Sysfs.h"
#include "sdk/Log.h"

namespace platform {
namespace {

constexpr const char* kLibraryName = "libhidapi-hidraw.so.0";

// The system library's device record (hidapi 0.13 and later; bus_type is read only there).
struct SysDeviceInfo {
    char* path;
    unsigned short vendor_id;
    unsigned short product_id;
    wchar_t* serial_number;
    unsigned short release_number;
    wchar_t* manufacturer_string;
    wchar_t* product_string;
    unsigned short usage_page;
    unsigned short usage;
    int interface_number;
    SysDeviceInfo* next;
    int bus_type;
};

struct SysVersion {
    int major, minor, patch;
};

SystemHidApi gApi;
std::mutex gLibMutex;
void* gHandle = nullptr;
int gUsers = 0;
bool gUnloadPending = false;
bool gHasBusType = false;

template <typename F>
bool bind(F& fn, const char* name) {
    fn = reinterpret_cast<F>(dlsym(gHandle, name));
    return fn != nullptr;
}

// Called with gLibMutex held.
bool loadLocked() {
    if (gHandle) {
        return true;
    }
    gHandle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!gHandle) {
        KLOG_ERROR("Cannot load " << kLibraryName << ": " << dlerror());
        return false;
    }
    bool ok =
        bind(gApi.init, "hid_init") && bind(gApi.exit, "hid_exit") &&
        bind(gApi.enumerate, "hid_enumerate") &&
        bind(gApi.freeEnumeration, "hid_free_enumeration") &&
        bind(gApi.openPath, "hid_open_path") && bind(gApi.write, "hid_write") &&
        bind(gApi.readTimeout, "hid_read_timeout") && bind(gApi.read, "hid_read") &&
        bind(gApi.setNonblocking, "hid_set_nonblocking") &&
        bind(gApi.sendFeatureReport, "hid_send_feature_report") &&
        bind(gApi.getFeatureReport, "hid_get_feature_report") && bind(gApi.close, "hid_close") &&
        bind(gApi.getManufacturerString, "hid_get_manufacturer_string") &&
        bind(gApi.getProductString, "hid_get_product_string") &&
        bind(gApi.getSerialNumberString, "hid_get_serial_number_string") &&
        bind(gApi.getIndexedString, "hid_get_indexed_string") && bind(gApi.error, "hid_error");
    if (!ok) {
        KLOG_ERROR(kLibraryName << " lacks " << dlerror());
        dlclose(gHandle);
        gHandle = nullptr;
        return false;
    }
    // Newer entry points: absent in older versions of the library.
    bind(gApi.getInputReport, "hid_get_input_report");
    bind(gApi.getDeviceInfo, "hid_get_device_info");
    bind(gApi.version, "hid_version");
    bind(gApi.versionStr, "hid_version_str");
    gHasBusType = false;
    if (gApi.version) {
        auto* v = static_cast<const SysVersion*>(gApi.version());
        gHasBusType = v && (v->major > 0 || v->minor >= 13);
    }
    return true;
}

void unloadLocked() {
    if (!gHandle) {
        return;
    }
    gApi.exit();
    dlclose(gHandle);
    gHandle = nullptr;
}

// Keeps the library loaded for the span of one call.
class Use {
  public:
    Use() {
        std::lock_guard<std::mutex> lock(gLibMutex);
        ok_ = loadLocked();
        if (ok_) {
            ++gUsers;
        }
    }
    ~Use() {
        if (ok_) {
            std::lock_guard<std::mutex> lock(gLibMutex);
            if (--gUsers == 0 && gUnloadPending) {
                gUnloadPending = false;
                unloadLocked();
            }
        }
    }
    explicit operator bool() const { return ok_; }

  private:
    bool ok_ = false;
};

std::wstring copyText(const wchar_t* s) {
    return s ? std::wstring(s) : std::wstring();
}

class SystemHandle : public HidHandle {
  public:
    SystemHandle(void* dev, HidDeviceEntry info, std::unique_ptr<HidNodeLock> lock)
        : dev_(dev), info_(std::move(info)), lock_(std::move(lock)) {
        info_.inUse = lock_->inUse();
    }
    ~SystemHandle() override { gApi.close(dev_); }

    int write(const unsigned char* d, std::size_t n) override { return gApi.write(dev_, d, n); }
    int readTimeout(unsigned char* d, std::size_t n, int ms) override {
        return gApi.readTimeout(dev_, d, n, ms);
    }
    int read(unsigned char* d, std::size_t n) override { return gApi.read(dev_, d, n); }
    int setNonblocking(int nb) override { return gApi.setNonblocking(dev_, nb); }
    int sendFeatureReport(const unsigned char* d, std::size_t n) override {
        return gApi.sendFeatureReport(dev_, d, n);
    }
    int getFeatureReport(unsigned char* d, std::size_t n) override {
        return gApi.getFeatureReport(dev_, d, n);
    }
    int getInputReport(unsigned char* d, std::size_t n) override {
        return gApi.getInputReport ? gApi.getInputReport(dev_, d, n) : -1;
    }
    int getIndexedString(int index, wchar_t* s, std::size_t n) override {
        return gApi.getIndexedString(dev_, index, s, n);
    }
    const wchar_t* error() override { return gApi.error(dev_); }
    const HidDeviceEntry& info() const override { return info_; }

  private:
    Use use_;  // keeps the library loaded while the device is open
    void* dev_;
    HidDeviceEntry info_;
    std::unique_ptr<HidNodeLock> lock_;  // let go after the device is closed
};

// Why a node cannot be opened: an error for the camera's own nodes, else a detail.
void reportUnopenable(const std::string& path, bool camera, int error) {
    if (camera) {
        KLOG_ERROR("Cannot open " << path << ", the camera's HID interface: "
                                  << std::strerror(error) << sysfs::udevRuleAdvice(error));
    } else {
        KLOG_DEBUG("Skipping HID interface " << path << ": cannot open it (" << std::strerror(error)
                                             << ")");
    }
}

// Why the last open on this thread failed, as the system library words it; empty after a
// success, when the system library's own answer holds.
thread_local std::wstring lastOpenError;

void failOpen(const std::string& path, const std::string& reason) {
    lastOpenError = toWide("Failed to open a device with path '" + path + "': " + reason);
}

HidDeviceEntry entryFrom(const SysDeviceInfo& d) {
    HidDeviceEntry e;
    e.path = d.path ? d.path : "";
    e.vendorId = d.vendor_id;
    e.productId = d.product_id;
    e.hasSerial = d.serial_number != nullptr;
    e.serial = copyText(d.serial_number);
    e.releaseNumber = d.release_number;
    e.manufacturer = copyText(d.manufacturer_string);
    e.product = copyText(d.product_string);
    e.usagePage = d.usage_page;
    e.usage = d.usage;
    e.interfaceNumber = d.interface_number;
    e.busType = gHasBusType ? d.bus_type : 0;
    return e;
}

}  // namespace

int SystemHidBackend::init() {
    Use use;
    return use ? gApi.init() : -1;
}

int SystemHidBackend::exit() {
    std::lock_guard<std::mutex> lock(gLibMutex);
    if (gUsers == 0) {
        unloadLocked();
    } else {
        gUnloadPending = true;
    }
    return 0;
}

std::vector<HidDeviceEntry> SystemHidBackend::enumerate(std::uint16_t vendorId,
                                                        std::uint16_t productId) {
    std::vector<HidDeviceEntry> out;
    Use use;
    if (!use) {
        return out;
    }
    auto* list = static_cast<SysDeviceInfo*>(gApi.enumerate(vendorId, productId));
    for (SysDeviceInfo* d = list; d; d = d->next) {
        HidDeviceEntry e = entryFrom(*d);
        HidNodeState state = probeHidNode(e.path);
        if (!state.openable) {
            reportUnopenable(
                e.path,
                e.vendorId == sysfs::kCameraVendorId && e.productId == sysfs::kCameraProductId,
                state.error);
            continue;
        }
        e.inUse = state.inUse;
        out.push_back(std::move(e));
    }
    gApi.freeEnumeration(list);
    return out;
}

std::unique_ptr<HidHandle> SystemHidBackend::openPath(const std::string& path, bool shared) {
    lastOpenError.clear();
    sysfs::UsbDevice usb;
    if (!sysfs::isHidrawNode(sysRoot_, path, usb)) {
        KLOG_DEBUG("Not opening " << path << ": no hidraw node");
        struct stat st;
        failOpen(path, ::stat(path.c_str(), &st) != 0 ? std::strerror(errno) : "no hidraw node");
        return nullptr;
    }
    // The lock comes first: a node held exclusively elsewhere is not opened at all.
    auto lock = std::make_unique<HidNodeLock>(path, !shared);
    if (lock->error() != 0) {
        reportUnopenable(path, sysfs::isCamera(usb), lock->error());
        failOpen(path, std::strerror(lock->error()));
        return nullptr;
    }
    if (lock->mode() == HidNodeLock::None) {
        KLOG_DEBUG("Not opening " << path << ": another user holds it exclusively");
        failOpen(path, "another user holds it exclusively");
        return nullptr;
    }
    Use use;
    if (!use) {
        failOpen(path, "HID library not loaded");
        return nullptr;
    }
    void* dev = gApi.openPath(path.c_str());
    if (!dev) {
        failOpen(path, std::strerror(errno));
        return nullptr;
    }
    HidDeviceEntry info;
    info.path = path;
    auto* sys = gApi.getDeviceInfo ? static_cast<SysDeviceInfo*>(gApi.getDeviceInfo(dev)) : nullptr;
    if (sys) {
        info = entryFrom(*sys);
    }
    return std::make_unique<SystemHandle>(dev, std::move(info), std::move(lock));
}

const wchar_t* SystemHidBackend::error() {
    if (!lastOpenError.empty()) {
        return lastOpenError.c_str();
    }
    std::lock_guard<std::mutex> lock(gLibMutex);
    return gHandle ? gApi.error(nullptr) : L"HID library not loaded";
}

namespace {

SystemHidBackend gSystemBackend;
std::atomic<HidBackend*> gBackend{nullptr};

}  // namespace

const SystemHidApi& systemHidApi() {
    return gApi;
}

HidBackend& hidBackend() {
    HidBackend* b = gBackend.load();
    return b ? *b : gSystemBackend;
}

void installHidBackend(HidBackend* backend) {
    gBackend = backend;
}

void restoreHidBackend() {
    gBackend = nullptr;
}

void retainHidLibrary() {
    std::lock_guard<std::mutex> lock(gLibMutex);
    ++gUsers;
}

void releaseHidLibrary() {
    std::lock_guard<std::mutex> lock(gLibMutex);
    gUnloadPending = true;
    if (--gUsers <= 0) {
        gUsers = 0;
        gUnloadPending = false;
        unloadLocked();
    }
}

bool hidLibraryLoaded() {
    std::lock_guard<std::mutex> lock(gLibMutex);
    return gHandle != nullptr;
}

HidNodeState probeHidNode(const std::string& path) {
    HidNodeState s;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        s.error = errno;
        return s;
    }
    s.openable = true;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        s.inUse = true;
    }
    ::close(fd);  // drops the probe's lock
    return s;
}

HidNodeLock::HidNodeLock(const std::string& path, bool exclusive) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    if (exclusive && flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        mode_ = Exclusive;
        return;
    }
    // Another user of the node, if any, shows as a failing exclusive lock on a descriptor of
    // its own; then a shared lock, which an exclusive holder refuses.
    inUse_ = exclusive || probeHidNode(path).inUse;
    if (flock(fd_, LOCK_SH | LOCK_NB) == 0) {
        mode_ = Shared;
    }
}

HidNodeLock::~HidNodeLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace platform
