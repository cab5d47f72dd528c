#include "SystemShim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace shim {
namespace {

constexpr std::size_t kStride = 1 << 20;  // buffer offsets, one per buffer
constexpr int kSliceMs = 1;               // how long a poll on an emulated node waits at a time
constexpr int kFrameMs = 2;               // frame period of a streaming camera

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct State {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<V4l2Node>> paths;
    std::map<int, std::shared_ptr<V4l2Node>> fds;
    std::set<dev_t> hidraw;
    std::map<std::string, int> failures;
    std::set<void*> mapped;
};

State& state() {
    static State s;
    return s;
}

std::shared_ptr<V4l2Node> nodeOf(int fd) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().fds.find(fd);
    return it == state().fds.end() ? nullptr : it->second;
}

int fail(int e) {
    errno = e;
    return -1;
}

}  // namespace

void addV4l2Node(const std::string& path, std::shared_ptr<V4l2Node> node) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().paths[path] = std::move(node);
}

void acceptAsHidraw(dev_t device) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().hidraw.insert(device);
}

void failOpen(const std::string& path, int error) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failures[path] = error;
}

void reset() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().paths.clear();
    state().hidraw.clear();
    state().failures.clear();
}

void V4l2Node::stall(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    stalled_ = on;
}
void V4l2Node::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
}
void V4l2Node::interrupt(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    eintr_ = n;
}
int V4l2Node::timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
}
int V4l2Node::lastTimeoutMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastTimeout_;
}
bool V4l2Node::streaming() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streaming_;
}

const Format* V4l2Node::find(std::uint32_t pixelFormat) const {
    for (const Format& f : formats_) {
        if (f.pixelFormat == pixelFormat) {
            return &f;
        }
    }
    return nullptr;
}

int V4l2Node::ioctl(unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (eintr_ > 0) {
        --eintr_;
        return fail(EINTR);
    }
    return unplugged_ ? fail(ENODEV) : control(request, arg);
}

int V4l2Node::control(unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* c = static_cast<v4l2_capability*>(arg);
            std::memset(c, 0, sizeof(*c));
            std::strcpy(reinterpret_cast<char*>(c->card), "Kelvix Thermal Camera");
            c->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                              V4L2_CAP_DEVICE_CAPS;
            c->device_caps =
                (metadata_ ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(arg);
            if (d->index >= formats_.size()) {
                return fail(EINVAL);
            }
            d->pixelformat = formats_[d->index].pixelFormat;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* s = static_cast<v4l2_frmsizeenum*>(arg);
            const Format* f = find(s->pixel_format);
            if (f == nullptr || s->index > 0) {
                return fail(EINVAL);
            }
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete = {f->width, f->height};
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* i = static_cast<v4l2_frmivalenum*>(arg);
            const Format* f = find(i->pixel_format);
            if (f == nullptr || i->index >= f->rates.size()) {
                return fail(EINVAL);
            }
            i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            i->discrete = {1, f->rates[i->index]};
            return 0;
        }
        case VIDIOC_S_FMT:
        case VIDIOC_G_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (request == VIDIOC_S_FMT) {
                const Format* wanted = find(f->fmt.pix.pixelformat);
                if (wanted == nullptr || streaming_) {
                    return fail(wanted ? EBUSY : EINVAL);
                }
                current_ = *wanted;
            }
            f->fmt.pix.pixelformat = current_.pixelFormat;
            f->fmt.pix.width = current_.width;
            f->fmt.pix.height = current_.height;
            return 0;
        }
        case VIDIOC_S_PARM:
        case VIDIOC_G_PARM: {
            auto& c = static_cast<v4l2_streamparm*>(arg)->parm.capture;
            if (request == VIDIOC_S_PARM && c.timeperframe.numerator != 0) {
                rate_ = c.timeperframe.denominator / c.timeperframe.numerator;
            }
            c.capability = V4L2_CAP_TIMEPERFRAME;
            c.timeperframe = {1, rate_};
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(arg);
            if (streaming_) {
                return fail(EBUSY);
            }
            buffers_.assign(std::min<std::uint32_t>(r->count, 4), Buffer());
            for (Buffer& b : buffers_) {
                b.memory.assign(current_.width * current_.height * 2, 0);
            }
            r->count = static_cast<std::uint32_t>(buffers_.size());
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->index >= buffers_.size()) {
                return fail(EINVAL);
            }
            b->length = static_cast<std::uint32_t>(buffers_[b->index].memory.size());
            b->m.offset = static_cast<std::uint32_t>(b->index * kStride);
            buffers_[b->index].queued |= request == VIDIOC_QBUF;
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            auto it = std::find_if(buffers_.begin(), buffers_.end(),
                                   [](const Buffer& x) { return x.queued; });
            const auto now = std::chrono::steady_clock::now();
            if (!streaming_ || stalled_ || now < nextFrame_ || it == buffers_.end()) {
                return fail(EAGAIN);
            }
            nextFrame_ = now + std::chrono::milliseconds(kFrameMs);
            it->queued = false;
            ++counter_;
            std::memcpy(it->memory.data(), &counter_, sizeof(counter_));
            b->index = static_cast<std::uint32_t>(it - buffers_.begin());
            b->bytesused = static_cast<std::uint32_t>(it->memory.size());
            b->flags = 0;
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
            streaming_ = request == VIDIOC_STREAMON;
            for (Buffer& b : buffers_) {
                b.queued &= streaming_;
            }
            return 0;
        default:
            return fail(ENOTTY);
    }
}

void* V4l2Node::map(std::size_t length, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t index = static_cast<std::size_t>(offset) / kStride;
    if (index >= buffers_.size() || length > buffers_[index].memory.size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return buffers_[index].memory.data();
}

short V4l2Node::pollEvents(int& eintr) {
    std::lock_guard<std::mutex> lock(mutex_);
    eintr = eintr_ > 0 ? (--eintr_, EINTR) : 0;
    if (unplugged_) {
        return POLLERR;
    }
    const bool queued =
        std::any_of(buffers_.begin(), buffers_.end(), [](const Buffer& b) { return b.queued; });
    const bool due = !stalled_ && std::chrono::steady_clock::now() >= nextFrame_;
    return streaming_ && queued && due ? POLLIN : 0;
}

bool V4l2Node::timesOut(int timeoutMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stalled_ || timeoutMs < 0) {
        return false;
    }
    ++timeouts_;
    lastTimeout_ = timeoutMs;
    return true;
}

}  // namespace shim

using shim::nodeOf;

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    static auto real = shim::next<int (*)(const char*, int, ...)>("open");
    std::shared_ptr<shim::V4l2Node> node;
    {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        auto failure = shim::state().failures.find(path);
        if (failure != shim::state().failures.end()) {
            return shim::fail(failure->second);
        }
        auto it = shim::state().paths.find(path);
        if (it != shim::state().paths.end()) {
            node = it->second;
        }
    }
    if (!node) {
        return real(path, flags, mode);
    }
    // A descriptor of its own, so that close needs no replacing.
    const int fd = real("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        shim::state().fds[fd] = node;
    }
    return fd;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (auto node = nodeOf(fd)) {
        return node->ioctl(request, arg);
    }
    struct stat st;
    if (request == HIDIOCGRDESCSIZE && fstat(fd, &st) == 0) {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        if (shim::state().hidraw.count(st.st_rdev) != 0) {
            *static_cast<int*>(arg) = 64;
            return 0;
        }
    }
    static auto real = shim::next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, arg);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept {
    if (auto node = nodeOf(fd)) {
        void* p = node->map(length, offset);
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        shim::state().mapped.insert(p);
        return p;
    }
    static auto real = shim::next<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    return real(addr, length, prot, flags, fd, offset);
}

int munmap(void* addr, size_t length) noexcept {
    {
        // Emulated buffers stay with their node.
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        if (shim::state().mapped.erase(addr) != 0) {
            return 0;
        }
    }
    static auto real = shim::next<int (*)(void*, size_t)>("munmap");
    return real(addr, length);
}

int close(int fd) {
    {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        shim::state().fds.erase(fd);
    }
    static auto real = shim::next<int (*)(int)>("close");
    return real(fd);
}

int poll(struct pollfd* fds, nfds_t n, int timeout) {
    static auto real = shim::next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    std::shared_ptr<shim::V4l2Node> node;
    nfds_t at = 0;
    for (; at < n && !(node = nodeOf(fds[at].fd)); ++at) {
    }
    if (!node) {
        return real(fds, n, timeout);
    }
    std::vector<pollfd> others;
    for (nfds_t i = 0; i < n; ++i) {
        if (i != at) {
            others.push_back(fds[i]);
        }
    }
    for (;;) {
        int eintr = 0;
        fds[at].revents = node->pollEvents(eintr);
        if (eintr != 0) {
            return shim::fail(EINTR);
        }
        int ready = fds[at].revents != 0 ? 1 : 0;
        const int r = real(others.data(), others.size(), ready != 0 ? 0 : shim::kSliceMs);
        for (nfds_t i = 0, k = 0; i < n; ++i) {
            if (i != at) {
                fds[i].revents = r > 0 ? others[k++].revents : 0;
                ready += fds[i].revents != 0 ? 1 : 0;
            }
        }
        if (ready != 0) {
            return ready;
        }
        if (node->timesOut(timeout)) {
            return 0;  // a stalled camera: the whole time-out passes at once
        }
    }
}

}  // extern "C"
