// The replaced device calls: emulated V4L2 capture nodes, ptys taken as hidraw nodes, refused
// opens.
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

constexpr std::size_t kStride = 1 << 20;  // offset of buffer n: n strides
constexpr int kSliceMs = 1;               // an emulated poll waits this long at a time
constexpr auto kFramePeriod = std::chrono::milliseconds(2);

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

// The replaced calls may come before static construction and after static destruction.
State& state() {
    static State* s = new State;
    return *s;
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

bool interrupted(std::atomic<int>& n) {
    int left = n.load();
    while (left > 0 && !n.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
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

int V4l2Node::ioctl(unsigned long request, void* arg) {
    if (interrupted(interrupts)) {
        return fail(EINTR);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged ? fail(ENODEV) : control(request, arg);
}

int V4l2Node::control(unsigned long request, void* arg) {
    auto find = [this](std::uint32_t pixelFormat) -> const Format* {
        for (const Format& f : formats) {
            if (f.pixelFormat == pixelFormat) {
                return &f;
            }
        }
        return nullptr;
    };
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* c = static_cast<v4l2_capability*>(arg);
            *c = v4l2_capability{};
            std::strcpy(reinterpret_cast<char*>(c->card), "Kelvix Thermal Camera");
            c->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(arg);
            return d->index < formats.size() ? (d->pixelformat = formats[d->index].pixelFormat, 0)
                                             : fail(EINVAL);
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
            auto& pix = static_cast<v4l2_format*>(arg)->fmt.pix;
            if (request == VIDIOC_S_FMT && (current_ = find(pix.pixelformat)) == nullptr) {
                return fail(EINVAL);
            }
            const Format& f = current_ ? *current_ : formats.front();
            pix.pixelformat = f.pixelFormat;
            pix.width = f.width;
            pix.height = f.height;
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
            const Format& f = current_ ? *current_ : formats.front();
            r->count = std::min<std::uint32_t>(r->count, 4);
            buffers_.assign(r->count, std::vector<unsigned char>(f.width * f.height * 2));
            queued_.assign(r->count, false);
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->index >= buffers_.size()) {
                return fail(EINVAL);
            }
            b->length = static_cast<std::uint32_t>(buffers_[b->index].size());
            b->m.offset = static_cast<std::uint32_t>(b->index * kStride);
            queued_[b->index] = queued_[b->index] || request == VIDIOC_QBUF;
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            const auto now = std::chrono::steady_clock::now();
            auto it = std::find(queued_.begin(), queued_.end(), true);
            if (!streaming || stalled || now < nextFrame_ || it == queued_.end()) {
                return fail(EAGAIN);
            }
            nextFrame_ = now + kFramePeriod;
            *it = false;
            b->index = static_cast<std::uint32_t>(it - queued_.begin());
            b->bytesused = static_cast<std::uint32_t>(buffers_[b->index].size());
            b->flags = 0;
            ++counter_;
            std::memcpy(buffers_[b->index].data(), &counter_, sizeof(counter_));
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
            streaming = request == VIDIOC_STREAMON;
            if (!streaming) {
                queued_.assign(queued_.size(), false);
            }
            return 0;
        default:
            return fail(ENOTTY);
    }
}

void* V4l2Node::map(std::size_t length, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = static_cast<std::size_t>(offset) / kStride;
    if (n >= buffers_.size() || length > buffers_[n].size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return buffers_[n].data();
}

short V4l2Node::pollEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged) {
        return POLLERR;
    }
    const bool due = std::chrono::steady_clock::now() >= nextFrame_;
    const bool queued = std::find(queued_.begin(), queued_.end(), true) != queued_.end();
    return streaming && !stalled && due && queued ? POLLIN : 0;
}

}  // namespace shim

extern "C" {

int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
void* __real_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int __real_munmap(void* addr, size_t length);
int __real_poll(struct pollfd* fds, nfds_t n, int timeout);

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    std::shared_ptr<shim::V4l2Node> node;
    {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        auto failure = shim::state().failures.find(path);
        if (failure != shim::state().failures.end()) {
            return shim::fail(failure->second);
        }
        auto it = shim::state().paths.find(path);
        if (it == shim::state().paths.end()) {
            return __real_open(path, flags, mode);
        }
        node = it->second;
    }
    const int fd = __real_open("/dev/null", O_RDWR | O_CLOEXEC);  // a descriptor of its own
    std::lock_guard<std::mutex> lock(shim::state().mutex);
    shim::state().fds[fd] = node;
    return fd;
}

int __wrap_close(int fd) {
    {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        shim::state().fds.erase(fd);
    }
    return __real_close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    static auto real = shim::next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (auto node = shim::nodeOf(fd)) {
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
    return real(fd, request, arg);
}

void* __wrap_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    auto node = shim::nodeOf(fd);
    if (!node) {
        return __real_mmap(addr, length, prot, flags, fd, offset);
    }
    void* p = node->map(length, offset);
    std::lock_guard<std::mutex> lock(shim::state().mutex);
    shim::state().mapped.insert(p);
    return p;
}

int __wrap_munmap(void* addr, size_t length) {
    {
        std::lock_guard<std::mutex> lock(shim::state().mutex);
        if (shim::state().mapped.erase(addr) != 0) {
            return 0;  // an emulated buffer stays with its node
        }
    }
    return __real_munmap(addr, length);
}

int __wrap_poll(struct pollfd* fds, nfds_t n, int timeout) {
    nfds_t at = 0;
    std::shared_ptr<shim::V4l2Node> node;
    for (; at < n && !(node = shim::nodeOf(fds[at].fd)); ++at) {
    }
    if (!node) {
        return __real_poll(fds, n, timeout);
    }
    std::vector<pollfd> others(fds, fds + n);
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(at));
    for (;;) {
        if (shim::interrupted(node->interrupts)) {
            return shim::fail(EINTR);
        }
        fds[at].revents = node->pollEvents();
        int ready = fds[at].revents != 0 ? 1 : 0;
        const int r = __real_poll(others.data(), others.size(), ready != 0 ? 0 : shim::kSliceMs);
        for (nfds_t i = 0, k = 0; i < n; ++i) {
            if (i != at) {
                fds[i].revents = r > 0 ? others[k++].revents : 0;
                ready += fds[i].revents != 0 ? 1 : 0;
            }
        }
        if (ready != 0) {
            return ready;
        }
        if (node->stalled && timeout >= 0) {  // the whole time-out passes at once
            ++node->timeouts;
            node->lastTimeoutMs = timeout;
            return 0;
        }
    }
}

}  // extern "C"
