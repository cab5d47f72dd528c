// The V4L2 graph: capability entries from the format, size and interval enumeration, mmap
// streaming, and the capture thread that polls the node (an eventfd wakes it to stop), hands each
// filled buffer to the sample grabber and warns when frames stall.
#include "platform/V4l2Capture.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Strings.h"
#include "platform/Sysfs.h"
#include "sdk/Log.h"

namespace platform {

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr unsigned kBufferCount = 4;
// A camera that delivers nothing for this many frame periods, and at least this long, stalls.
constexpr std::int64_t kStallPeriods = 3;
constexpr int kMinStallMs = 1000;
constexpr int kMaxStallMs = 60000;

int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

HRESULT errnoResult(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
            return E_ACCESSDENIED;
        case ENOMEM:
            return E_OUTOFMEMORY;
        case EINVAL:
            return E_INVALIDARG;
        default:
            return E_FAIL;
    }
}

std::int64_t intervalTicks(const v4l2_fract& f) {
    if (f.denominator == 0) {
        return 0;
    }
    return static_cast<std::int64_t>(f.numerator) * kTicksPerSecond / f.denominator;
}

// Video node numbers under devDir, in numeric order.
std::vector<int> videoNodes(const std::string& devDir) {
    std::vector<int> nodes;
    DIR* dir = ::opendir(devDir.c_str());
    if (dir == nullptr) {
        return nodes;
    }
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') {
            continue;
        }
        char* end = nullptr;
        long n = std::strtol(name + 5, &end, 10);
        if (*end == '\0' && n >= 0) {
            nodes.push_back(static_cast<int>(n));
        }
    }
    ::closedir(dir);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

class V4l2Graph : public CaptureGraph {
  public:
    V4l2Graph() = default;
    ~V4l2Graph() override {
        stopCapture();
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    HRESULT addSource(const CaptureDevice& device, const std::wstring&) override {
        if (fd_ >= 0) {
            return E_UNEXPECTED;
        }
        node_ = sysfs::videoNodeOfPath(device.displayName);
        fd_ = ::open(node_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            const int e = errno;
            KLOG_ERROR("Cannot open the camera's video node " << node_ << ": " << std::strerror(e)
                                                              << sysfs::udevRuleAdvice(e));
            return errnoResult(e);
        }
        listEntries();
        return S_OK;
    }

    HRESULT addSampleGrabber(const std::wstring&) override {
        hasGrabber_ = true;
        return S_OK;
    }
    HRESULT setSampleCallback(IUnknown* callback) override {
        return grabber_.setCallback(callback);
    }
    HRESULT addNullRenderer(const std::wstring&) override {
        hasRenderer_ = true;
        return S_OK;
    }
    HRESULT renderPreview() override {
        return (fd_ >= 0 && hasGrabber_ && hasRenderer_) ? S_OK : E_FAIL;
    }

    HRESULT streamCapabilityCount(int& count, int& recordSize) override {
        if (fd_ < 0) {
            return E_NOINTERFACE;
        }
        count = static_cast<int>(entries_.size() * 2);
        recordSize = static_cast<int>(sizeof(StreamCaps));
        return S_OK;
    }

    HRESULT streamCapability(int index, MediaType& type, StreamCaps& caps) override {
        if (fd_ < 0) {
            return E_NOINTERFACE;
        }
        if (index < 0 || static_cast<std::size_t>(index) >= entries_.size() * 2) {
            return E_INVALIDARG;
        }
        type = entries_[static_cast<std::size_t>(index) / 2];
        std::memset(&caps, 0, sizeof(caps));
        caps.pixelFormat = type.pixelFormat;
        caps.minWidth = caps.maxWidth = type.width;
        caps.minHeight = caps.maxHeight = type.height;
        caps.minFrameInterval = caps.maxFrameInterval = type.frameDuration;
        return S_OK;
    }

    HRESULT setStreamFormat(const MediaType& type) override {
        if (fd_ < 0) {
            return E_NOINTERFACE;
        }
        if (streaming_) {
            return E_UNEXPECTED;
        }
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = static_cast<std::uint32_t>(type.width);
        fmt.fmt.pix.height = static_cast<std::uint32_t>(type.height);
        fmt.fmt.pix.pixelformat = type.pixelFormat;
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (xioctl(fd_, VIDIOC_S_FMT, &fmt) < 0) {
            return errnoResult(errno);
        }
        if (type.frameDuration > 0) {
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parm.parm.capture.timeperframe.numerator =
                static_cast<std::uint32_t>(type.frameDuration);
            parm.parm.capture.timeperframe.denominator = kTicksPerSecond;
            xioctl(fd_, VIDIOC_S_PARM, &parm);  // drivers without frame-rate control refuse
        }
        return S_OK;
    }

    HRESULT connectedMediaType(MediaType& type) override {
        if (fd_ < 0) {
            return E_FAIL;
        }
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_G_FMT, &fmt) < 0) {
            return errnoResult(errno);
        }
        type = MediaType();
        type.videoInfo = true;
        type.width = static_cast<std::int32_t>(fmt.fmt.pix.width);
        type.height = static_cast<std::int32_t>(fmt.fmt.pix.height);
        type.pixelFormat = fmt.fmt.pix.pixelformat;
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_G_PARM, &parm) == 0 &&
            (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0) {
            type.frameDuration = intervalTicks(parm.parm.capture.timeperframe);
        }
        return S_OK;
    }

    HRESULT runFilter(CaptureFilter filter, std::int64_t) override {
        running_[static_cast<int>(filter)] = true;
        return update();
    }
    HRESULT stopFilter(CaptureFilter filter) override {
        running_[static_cast<int>(filter)] = false;
        return update();
    }
    HRESULT run() override {
        running_[0] = running_[1] = running_[2] = true;
        return update();
    }
    HRESULT stop() override {
        running_[0] = running_[1] = running_[2] = false;
        return update();
    }

  private:
    struct Buffer {
        void* start = MAP_FAILED;
        std::size_t length = 0;
    };

    void listEntries() {
        entries_.clear();
        for (std::uint32_t f = 0;; ++f) {
            v4l2_fmtdesc desc{};
            desc.index = f;
            desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(fd_, VIDIOC_ENUM_FMT, &desc) < 0) {
                break;
            }
            for (std::uint32_t s = 0;; ++s) {
                v4l2_frmsizeenum size{};
                size.index = s;
                size.pixel_format = desc.pixelformat;
                if (xioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) < 0) {
                    break;
                }
                if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                    addSize(desc.pixelformat, size.discrete.width, size.discrete.height);
                } else {
                    addSize(desc.pixelformat, size.stepwise.max_width, size.stepwise.max_height);
                    break;
                }
            }
        }
    }

    void addSize(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height) {
        MediaType type;
        type.videoInfo = true;
        type.pixelFormat = pixelFormat;
        type.width = static_cast<std::int32_t>(width);
        type.height = static_cast<std::int32_t>(height);
        bool any = false;
        for (std::uint32_t i = 0;; ++i) {
            v4l2_frmivalenum ival{};
            ival.index = i;
            ival.pixel_format = pixelFormat;
            ival.width = width;
            ival.height = height;
            if (xioctl(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &ival) < 0) {
                break;
            }
            any = true;
            if (ival.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                type.frameDuration = intervalTicks(ival.discrete);
                entries_.push_back(type);
            } else {
                type.frameDuration = intervalTicks(ival.stepwise.min);
                entries_.push_back(type);
                break;
            }
        }
        if (!any) {
            type.frameDuration = 0;
            entries_.push_back(type);
        }
    }

    HRESULT update() {
        const bool all = running_[0] && running_[1] && running_[2];
        if (streaming_ && ended_.load()) {
            stopCapture();  // the stream died: it has to start afresh
        }
        if (all && !streaming_) {
            return startCapture();
        }
        if (!all && streaming_) {
            stopCapture();
        }
        return S_OK;
    }

    HRESULT startCapture() {
        if (fd_ < 0) {
            return E_FAIL;
        }
        v4l2_requestbuffers req{};
        req.count = kBufferCount;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd_, VIDIOC_REQBUFS, &req) < 0 || req.count == 0) {
            return errnoResult(errno);
        }
        buffers_.assign(req.count, Buffer());
        for (std::uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (xioctl(fd_, VIDIOC_QUERYBUF, &buf) < 0) {
                return failCapture(errno);
            }
            buffers_[i].length = buf.length;
            buffers_[i].start =
                ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buf.m.offset);
            if (buffers_[i].start == MAP_FAILED) {
                return failCapture(errno);
            }
            if (xioctl(fd_, VIDIOC_QBUF, &buf) < 0) {
                return failCapture(errno);
            }
        }
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (wakeFd_ < 0 || xioctl(fd_, VIDIOC_STREAMON, &type) < 0) {
            return failCapture(errno);
        }
        streaming_ = true;
        ended_ = false;
        const int stallMs = stallTimeoutMs();
        thread_ = std::thread([this, stallMs] { captureLoop(stallMs); });
        return S_OK;
    }

    HRESULT failCapture(int e) {
        releaseBuffers();
        return errnoResult(e);
    }

    void stopCapture() {
        if (!streaming_) {
            return;
        }
        const std::uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof(one)) < 0) {
            KLOG_WARNING("Cannot wake the capture thread: " << std::strerror(errno));
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        xioctl(fd_, VIDIOC_STREAMOFF, &type);
        streaming_ = false;
        releaseBuffers();
    }

    void releaseBuffers() {
        for (auto& b : buffers_) {
            if (b.start != MAP_FAILED) {
                ::munmap(b.start, b.length);
            }
        }
        buffers_.clear();
        v4l2_requestbuffers req{};
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        xioctl(fd_, VIDIOC_REQBUFS, &req);
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
            wakeFd_ = -1;
        }
    }

    // A few frame periods of the selected format, within kMinStallMs .. kMaxStallMs.
    int stallTimeoutMs() {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        std::int64_t ms = 0;
        if (xioctl(fd_, VIDIOC_G_PARM, &parm) == 0 &&
            (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) != 0) {
            ms = kStallPeriods * intervalTicks(parm.parm.capture.timeperframe) / 10000;
        }
        return static_cast<int>(std::clamp<std::int64_t>(ms, kMinStallMs, kMaxStallMs));
    }

    // Runs until stopped or the stream dies; a death ends the streaming state (ended_), so
    // that the next start tries afresh instead of reporting a stream that delivers nothing.
    void captureLoop(int stallMs) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        bool stalled = false;
        for (;;) {
            const int r = ::poll(fds, 2, stallMs);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return die(std::strerror(errno));
            }
            if (r == 0) {
                if (!stalled) {
                    KLOG_WARNING("No frame from " << node_ << " for " << stallMs << " ms");
                    stalled = true;
                }
                continue;
            }
            if (fds[1].revents != 0) {
                return;
            }
            if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return die("the device is gone");
            }
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd_, VIDIOC_DQBUF, &buf) < 0) {
                if (errno == EAGAIN) {
                    continue;
                }
                return die(std::strerror(errno));
            }
            stalled = false;
            if (buf.index < buffers_.size() && (buf.flags & V4L2_BUF_FLAG_ERROR) == 0) {
                const double t = static_cast<double>(buf.timestamp.tv_sec) +
                                 static_cast<double>(buf.timestamp.tv_usec) * 1e-6;
                grabber_.deliver(t, static_cast<unsigned char*>(buffers_[buf.index].start),
                                 static_cast<long>(buf.bytesused));
            }
            xioctl(fd_, VIDIOC_QBUF, &buf);
        }
    }

    void die(const char* reason) {
        KLOG_ERROR("Capture from " << node_ << " stopped: " << reason);
        ended_ = true;
    }

    std::string node_;
    int fd_ = -1;
    int wakeFd_ = -1;
    bool hasGrabber_ = false;
    bool hasRenderer_ = false;
    bool running_[3] = {false, false, false};
    bool streaming_ = false;
    std::atomic<bool> ended_{false};  // the capture thread ended on its own
    std::vector<MediaType> entries_;
    std::vector<Buffer> buffers_;
    SampleGrabber grabber_;
    std::thread thread_;
};

}  // namespace

HRESULT V4l2CaptureService::videoInputDevices(std::vector<CaptureDevice>& devices) {
    devices.clear();
    for (int n : videoNodes(devDir_)) {
        const std::string node = devDir_ + "/video" + std::to_string(n);
        const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            const std::string name = "video" + std::to_string(n);
            // One ERROR per camera, for its capture node: index 0 among the nodes of its
            // interface (the metadata node has 1).
            const std::string index =
                sysfs::readAttribute(sysRoot_ + "/class/video4linux/" + name + "/index");
            sysfs::UsbDevice usb;
            if ((index.empty() || index == "0") &&
                sysfs::usbDeviceOfNode(sysRoot_, "video4linux", name, usb) &&
                sysfs::isCamera(usb)) {
                KLOG_ERROR("Cannot open " << node << ", a video node of the camera: "
                                          << std::strerror(e) << sysfs::udevRuleAdvice(e));
            } else {
                KLOG_DEBUG("Cannot open " << node << ": " << std::strerror(e));
            }
            continue;
        }
        v4l2_capability cap{};
        const int r = xioctl(fd, VIDIOC_QUERYCAP, &cap);
        ::close(fd);
        if (r < 0) {
            continue;
        }
        const std::uint32_t caps =
            (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
        // Metadata and output nodes of the same camera are not video inputs.
        if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) {
            continue;
        }
        CaptureDevice d;
        const char* card = reinterpret_cast<const char*>(cap.card);
        d.friendlyName = toWide(std::string(card, strnlen(card, sizeof(cap.card))));
        d.displayName = sysfs::videoDevicePath(sysRoot_, node);
        devices.push_back(d);
    }
    if (devices.empty()) {
        KLOG_DEBUG("No video capture device in " << devDir_);
    }
    return S_OK;
}

HRESULT V4l2CaptureService::createGraph(std::unique_ptr<CaptureGraph>& graph) {
    graph = std::make_unique<V4l2Graph>();
    return S_OK;
}

}  // namespace platform
