// libcurl behind the downloads: http and https only, bounded size, rate and time, the body
// written to a new file of its own beside the target and moved into place only when complete.
#include "platform/Http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Creates "<target>.<random>.part" exclusively: a name that exists already, a planted link
// among them, is never opened but passed over for another.
std::FILE* createPartialFile(const std::string& target, std::string& partial) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(random()));
        partial = target + suffix;
        const int fd =
            ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            std::FILE* file = ::fdopen(fd, "wb");
            if (file == nullptr) {
                ::close(fd);
                std::remove(partial.c_str());
            }
            return file;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}

// A transfer that timed out: at its deadline, or earlier because it fell below the minimum rate
// once connected (a connection not made in time is a plain failure).
DownloadResult timeoutKind(CURL* curl, std::int64_t deadlineMs) {
    curl_off_t totalUs = 0;
    curl_off_t connectUs = 0;
    curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &totalUs);
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectUs);
    // libcurl ends a transfer within milliseconds of its deadline.
    if (totalUs / 1000 + 100 >= deadlineMs) {
        return DownloadResult::TimedOut;
    }
    return connectUs > 0 ? DownloadResult::TooSlow : DownloadResult::Failed;
}

}  // namespace

DownloadResult downloadToFile(const std::string& url, const std::wstring& path,
                              const TransferLimits& limits) {
    globalInit();
    if (limits.deadlineMs <= 0) {
        return DownloadResult::TimedOut;
    }
    // Written beside the target and moved into place when complete, so a failed download
    // never leaves a partial or emptied file under the final name.
    const std::string target = toNarrow(path);
    std::string partial;
    std::FILE* file = createPartialFile(target, partial);
    if (file == nullptr) {
        return DownloadResult::Failed;
    }
    CURL* curl = curl_easy_init();
    bool ok = false;
    CURLcode code = CURLE_OK;
    DownloadResult timeout = DownloadResult::Failed;
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
        // A server that stalls or drips is given up early; one that keeps pace, at the deadline.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.minBytesPerSecond);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, httpTimeoutSeconds());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.deadlineMs));
        code = curl_easy_perform(curl);
        ok = code == CURLE_OK;
        if (code == CURLE_OPERATION_TIMEDOUT) {
            timeout = timeoutKind(curl, limits.deadlineMs);
        }
        curl_easy_cleanup(curl);
    }
    if (std::fclose(file) != 0) {
        ok = false;
    }
    if (ok && std::rename(partial.c_str(), target.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        std::remove(partial.c_str());
    }
    if (ok) {
        return DownloadResult::Done;
    }
    if (sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        return DownloadResult::TooLarge;
    }
    if (code == CURLE_OPERATION_TIMEDOUT) {
        return timeout;
    }
    return code == CURLE_UNSUPPORTED_PROTOCOL ? DownloadResult::ProtocolRefused
                                              : DownloadResult::Failed;
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
