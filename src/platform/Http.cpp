// libcurl behind the downloads: http and https only, bounded size and rate, the body written to
// a new locked partial file of its own beside the target and moved into place only when
// complete and accepted; partial files removed on a terminating signal or, when a killed
// process left them, by a later download.
#include "platform/Http.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <random>

#include "platform/Strings.h"

namespace platform {

long httpTimeoutSeconds() {
    const char* text = std::getenv("KELVIX_HTTP_TIMEOUT");
    if (text != nullptr) {
        long v = std::strtol(text, nullptr, 10);
        if (v > 0) {
            return v;
        }
    }
    return 10;
}

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The partial files of the running downloads, for the signal handler: a slot is claimed,
// written, then published; the handler takes over published ones only.
enum SlotState : int { kFree, kWriting, kPublished, kTakenBySignal };
struct PartialSlot {
    std::atomic<int> state{kFree};
    char path[4096];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slots");
PartialSlot partialSlots[16];

// The slot now naming path; -1 when none is free or the path does not fit (the file is then
// left to a later run's clean-up).
int publishPartial(const std::string& path) {
    if (path.size() >= sizeof partialSlots[0].path) {
        return -1;
    }
    for (int i = 0; i < static_cast<int>(std::size(partialSlots)); ++i) {
        int expected = kFree;
        if (partialSlots[i].state.compare_exchange_strong(expected, kWriting)) {
            std::memcpy(partialSlots[i].path, path.c_str(), path.size() + 1);
            partialSlots[i].state.store(kPublished);
            return i;
        }
    }
    return -1;
}

void withdrawPartial(int slot) {
    int expected = kPublished;
    // A slot a signal took over stays taken: the process is ending.
    if (slot >= 0) {
        partialSlots[slot].state.compare_exchange_strong(expected, kFree);
    }
}

void onTerminatingSignal(int signal) {
    for (PartialSlot& slot : partialSlots) {
        int expected = kPublished;
        if (slot.state.compare_exchange_strong(expected, kTakenBySignal)) {
            ::unlink(slot.path);
        }
    }
    // The handler was reset: once it returns, the signal ends the process as it would have.
    ::raise(signal);
}

struct Sink {
    std::FILE* file;
    std::uint64_t written;
    std::uint64_t maxBytes;
    bool tooLarge;
};

// Writing less than offered makes the transfer fail.
size_t writeToFile(char* data, size_t size, size_t count, void* target) {
    Sink& sink = *static_cast<Sink*>(target);
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    if (bytes > sink.maxBytes - sink.written) {
        sink.tooLarge = true;
        return 0;
    }
    sink.written += bytes;
    return std::fwrite(data, 1, bytes, sink.file);
}

constexpr char kPartialSuffix[] = ".part";
constexpr std::size_t kRandomDigits = 8;
// ".<8 hex digits>.part"
constexpr std::size_t kPartialTail = 1 + kRandomDigits + sizeof kPartialSuffix - 1;

// The target name of a partial file name; empty when the name is not one.
std::string partialTarget(const std::string& name) {
    if (name.size() <= kPartialTail || name.compare(name.size() - (sizeof kPartialSuffix - 1),
                                                    std::string::npos, kPartialSuffix) != 0) {
        return std::string();
    }
    const std::size_t dot = name.size() - kPartialTail;
    if (name[dot] != '.') {
        return std::string();
    }
    for (std::size_t i = dot + 1; i <= dot + kRandomDigits; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(name[i])) ||
            std::isupper(static_cast<unsigned char>(name[i]))) {
            return std::string();
        }
    }
    return name.substr(0, dot);
}

// Creates "<target>.<random>.part" exclusively (a name that exists already, a planted link
// among them, is never opened but passed over for another) and holds its lock: a clean-up
// removes only partial files nobody holds, so one that took the lock first may have removed
// the name, and another is tried.
std::FILE* createPartialFile(const std::string& target, std::string& partial) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x%s", static_cast<unsigned>(random()),
                      kPartialSuffix);
        partial = target + suffix;
        const int fd =
            ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST) {
                return nullptr;
            }
            continue;
        }
        // A file system without locks leaves the file unlocked, and no clean-up removes it.
        struct stat st {};
        if ((::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
            ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
            ::close(fd);
            continue;
        }
        std::FILE* file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            ::close(fd);
            std::remove(partial.c_str());
        }
        return file;
    }
    return nullptr;
}

// What ended a transfer that timed out: the minimum rate once connected, else the connection.
DownloadResult timeoutKind(CURL* curl) {
    curl_off_t connectUs = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectUs);
    return connectUs > 0 ? DownloadResult::TooSlow : DownloadResult::TimedOut;
}

}  // namespace

DownloadResult downloadToFile(const std::string& url, const std::wstring& path,
                              const TransferLimits& limits, const BodyCheck& check) {
    globalInit();
    // Written beside the target and moved into place when complete, so a failed download
    // never leaves a partial or emptied file under the final name.
    const std::string target = toNarrow(path);
    std::string partial;
    std::FILE* file = createPartialFile(target, partial);
    if (file == nullptr) {
        return DownloadResult::Failed;
    }
    const int slot = publishPartial(partial);
    CURL* curl = curl_easy_init();
    bool ok = false;
    CURLcode code = CURLE_OK;
    DownloadResult timeout = DownloadResult::Failed;
    bool refused = false;
    Sink sink{file, 0, limits.maxBytes, false};
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        // No file://, ftp:// or other scheme, neither in the link nor behind a redirect.
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, long{CURLPROTO_HTTP | CURLPROTO_HTTPS});
#endif
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, httpTimeoutSeconds());
        // Progress, not the clock, ends a transfer: a server that stalls or drips is given up,
        // one that keeps pace is followed up to the size cap however slow the line.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.minBytesPerSecond);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, httpTimeoutSeconds());
        code = curl_easy_perform(curl);
        ok = code == CURLE_OK;
        if (code == CURLE_OPERATION_TIMEDOUT) {
            timeout = timeoutKind(curl);
        }
        curl_easy_cleanup(curl);
    }
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        ok = false;
    }
    if (ok && check && !check(toWide(partial))) {
        ok = false;
        refused = true;
    }
    // Moved while still locked, so that no clean-up takes it for a stale one.
    if (ok && std::rename(partial.c_str(), target.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        std::remove(partial.c_str());
    }
    std::fclose(file);
    withdrawPartial(slot);
    if (ok) {
        return DownloadResult::Done;
    }
    if (refused) {
        return DownloadResult::Refused;
    }
    if (sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        return DownloadResult::TooLarge;
    }
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return timeout;
        case CURLE_PARTIAL_FILE:
            return DownloadResult::CutShort;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return DownloadResult::ProtocolRefused;
        default:
            return DownloadResult::Failed;
    }
}

int removeStalePartialFiles(const std::wstring& dir,
                            const std::function<bool(const std::wstring& name)>& ours) {
    DIR* listing = ::opendir(toNarrow(dir).c_str());
    if (listing == nullptr) {
        return 0;
    }
    int removed = 0;
    const int dirFd = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        const std::string target = partialTarget(name);
        if (target.empty() || !ours(toWide(target))) {
            continue;
        }
        const int fd = ::openat(dirFd, name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        // Held by its download: still being written.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::unlinkat(dirFd, name.c_str(), 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(listing);
    return removed;
}

void removePartialFilesOnSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = onTerminatingSignal;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        sigaddset(&action.sa_mask, SIGHUP);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

bool canConnect(const std::string& url) {
    globalInit();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, httpTimeoutSeconds());
    bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    return ok;
}

std::string escapeBlanks(const std::string& url) {
    std::string out;
    out.reserve(url.size());
    for (char c : url) {
        if (c == ' ') {
            out += "%20";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace platform
